#!/usr/bin/env bash
# Installs what building and testing scanflash needs on a Debian machine. As root it installs
# the missing packages with apt-get, the optional ones included; otherwise it names them and
# stops when a required one is missing. With the argument "fuzz" clang and its runtime are
# required too.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev)
# The Windows cross build and its test run under Wine; without them `make test` skips it.
windows_packages=(g++-mingw-w64-x86-64-posix wine64 wine googletest python3)
# The libFuzzer targets; without them `make test` skips their smoke runs.
fuzz_packages=(clang libclang-rt-14-dev)
# The emulated device tests (the Linux scanflash against umockdev's emulated devices); without
# them `make test` skips those tests.
umockdev_packages=(umockdev libumockdev-dev pkg-config)
if [ "${1:-}" = "fuzz" ]; then
    packages+=("${fuzz_packages[@]}")
    fuzz_packages=()
fi

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
missing_optional=()
for package in "${windows_packages[@]}" "${fuzz_packages[@]}" "${umockdev_packages[@]}"; do
    installed "$package" || missing_optional+=("$package")
done

if [ "$(id -u)" -ne 0 ]; then
    if [ ${#missing_optional[@]} -ne 0 ]; then
        echo "Without ${missing_optional[*]} the Windows build, the fuzz runs or the emulated device tests are skipped." >&2
        echo "Install them with: sudo apt-get install --no-install-recommends ${missing_optional[*]}" >&2
    fi
    if [ ${#missing[@]} -ne 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    exit 0
fi
missing+=("${missing_optional[@]}")
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
