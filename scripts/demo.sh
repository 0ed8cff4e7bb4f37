#!/usr/bin/env bash
# Builds a sample firmware file with scanfw and writes it into a simulated scanner with
# scanflash-demo, showing the console output of a whole update and its exit code.
set -euo pipefail
build=${1:-build/default}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Two images of fixed, made-up content.
head -c 70000 /dev/zero | tr '\0' '\132' > "$work/kern.img"
head -c 3000 /dev/zero | tr '\0' '\245' > "$work/appl.img"
"$build/tools/scanfw" pack --format bin --out "$work/sample.bin" --model EM7 \
    --block kern="$work/kern.img" --block appl="$work/appl.img" >/dev/null
"$build/tools/scanfw" info "$work/sample.bin"
echo
echo "\$ scanflash-demo -file:sample.bin"
set +e
(cd "$work" && "$OLDPWD/$build/sim/scanflash-demo" -file:sample.bin)
code=$?
set -e
echo "exit code: $code"
