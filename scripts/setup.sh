#!/usr/bin/env bash
# Installs what building and testing scanflash needs on a Debian machine. As root it installs
# the missing packages with apt-get; otherwise it names them and stops.
set -euo pipefail

packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev)
# The Windows cross build and its test run under Wine; without them `make test` skips it.
windows_packages=(g++-mingw-w64-x86-64-posix wine64 wine googletest python3)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}
missing=()
for package in "${packages[@]}"; do
    installed "$package" || missing+=("$package")
done
missing_windows=()
for package in "${windows_packages[@]}"; do
    installed "$package" || missing_windows+=("$package")
done

if [ "$(id -u)" -ne 0 ]; then
    if [ ${#missing_windows[@]} -ne 0 ]; then
        echo "Without ${missing_windows[*]} the Windows build is skipped." >&2
        echo "Install them with: sudo apt-get install --no-install-recommends ${missing_windows[*]}" >&2
    fi
    if [ ${#missing[@]} -ne 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    exit 0
fi
missing+=("${missing_windows[@]}")
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
