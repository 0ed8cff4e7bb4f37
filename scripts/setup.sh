#!/usr/bin/env bash
# Installs what building and testing scanflash needs on a Debian machine. As root it installs
# the missing packages with apt-get, the optional ones included; otherwise it names them and
# stops when a required one is missing. With the argument "fuzz" clang and its runtime are
# required too.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev)
# The Windows cross builds (x64 and x86) and their test runs under Wine; without them `make
# test` skips them.
windows_packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine googletest python3)
# The x86 build's test run needs 32-bit Wine, from Debian's i386 architecture. It is installed
# only where the kernel runs 32-bit programs: elsewhere it would stop every Wine run (see
# have-wine32.sh), and `make test` skips the x86 tests.
wine32_package=wine32:i386
# The libFuzzer targets; without them `make test` skips their smoke runs.
fuzz_packages=(clang libclang-rt-14-dev)
# The release packages (with the Windows packages above) and their checks; without them
# `make test` skips the package preset.
package_packages=(dpkg-dev file lintian mandoc fakeroot)
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
for package in "${windows_packages[@]}" "${fuzz_packages[@]}" "${package_packages[@]}" "${umockdev_packages[@]}"; do
    installed "$package" || missing_optional+=("$package")
done

if [ "$(id -u)" -ne 0 ]; then
    if ! installed "$wine32_package" && bash "$(dirname "$0")/have-wine32.sh" kernel >/dev/null; then
        missing_optional+=("$wine32_package")
    fi
    if [ ${#missing_optional[@]} -ne 0 ]; then
        echo "Without ${missing_optional[*]} the Windows builds or their tests, the fuzz runs, the package checks or the emulated device tests are skipped." >&2
        if [[ " ${missing_optional[*]} " == *" $wine32_package "* ]]; then
            echo "The i386 architecture comes first: sudo dpkg --add-architecture i386 && sudo apt-get update" >&2
        fi
        echo "Install them with: sudo apt-get install --no-install-recommends ${missing_optional[*]}" >&2
    fi
    if [ ${#missing[@]} -ne 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    exit 0
fi
export DEBIAN_FRONTEND=noninteractive
missing+=("${missing_optional[@]}")
if [ ${#missing[@]} -ne 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# Only now: the kernel's test needs binutils, which g++ brings.
if ! installed "$wine32_package"; then
    if refused=$(bash "$(dirname "$0")/have-wine32.sh" kernel); then
        echo "Installing: $wine32_package"
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            dpkg --add-architecture i386
        fi
        if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends \
            "$wine32_package" >/dev/null; }; then
            echo "$wine32_package could not be installed: the x86 tests will be skipped" >&2
        fi
    else
        echo "$wine32_package is not installed: $refused" >&2
    fi
fi
