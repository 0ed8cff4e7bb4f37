#!/usr/bin/env bash
# Builds the release artefacts and copies them into DIST (dist/ unless given): the Windows
# zips from the windows-release (x64) and windows-x86-release (x86) presets and the Debian
# package from the package preset, each packed by CPack in its build tree's packages/ folder.
# JOBS sets the build's parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
dist=${1:-dist}

if ! missing=$(bash scripts/have-package-tools.sh build); then
    echo "package.sh: cannot build the packages without: $missing (make setup installs them as root)" >&2
    exit 1
fi

for preset in windows-release windows-x86-release package; do
    echo "-- $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "${JOBS:-2}"
    rm -rf "build/$preset/packages"
    if ! (cd "build/$preset" && cpack) >"build/$preset/cpack.log" 2>&1; then
        cat "build/$preset/cpack.log" >&2
        exit 1
    fi
done

mkdir -p "$dist"
for artefact in build/windows-release/packages/*.zip build/windows-x86-release/packages/*.zip \
    build/package/packages/*.deb; do
    cp "$artefact" "$dist/"
    echo "$dist/$(basename "$artefact"): $(stat -c %s "$artefact") bytes"
done
