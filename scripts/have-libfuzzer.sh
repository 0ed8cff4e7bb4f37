#!/usr/bin/env bash
# Succeeds when clang++ can build and link a libFuzzer target here.
set -u
command -v clang++ >/dev/null || exit 1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' \
    >"$scratch/probe.cpp"
clang++ -fsanitize=fuzzer "$scratch/probe.cpp" -o "$scratch/probe" >/dev/null 2>&1
