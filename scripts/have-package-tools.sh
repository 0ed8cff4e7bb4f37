#!/usr/bin/env bash
# Succeeds when the tools for the release packages are here; otherwise prints the missing
# ones. "build": what scripts/package.sh needs; "check" (the default): also what the
# package tests need.
set -u
tools=(x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres i686-w64-mingw32-g++-posix
       i686-w64-mingw32-windres dpkg-deb dpkg-shlibdeps file gzip)
if [ "${1:-check}" = check ]; then
    tools+=(wine python3 lintian mandoc)
    # dpkg installs into the test's own root as root, or under fakeroot.
    [ "$(id -u)" -eq 0 ] || tools+=(fakeroot)
fi
missing=()
for tool in "${tools[@]}"; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "${missing[*]}"
exit 1
