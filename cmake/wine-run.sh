#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine: wine-run.sh PREFIX [PROGRAM [ARGUMENTS...]].
# PREFIX is the build directory's own Wine prefix, made on first use and reused afterwards;
# without a PROGRAM the script only makes sure the prefix exists. The program's exit code is
# the script's.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 PREFIX [PROGRAM [ARGUMENTS...]]" >&2
    exit 2
fi
prefix=$1
shift

export WINEPREFIX=$prefix
export WINEARCH=win64
export WINEDEBUG=-all
# Wine turns arguments, environment and file names into UTF-16 through the locale's charset.
export LC_ALL=C.UTF-8
# No .NET or browser engine: their installers would be offered while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

mkdir -p "$(dirname "$prefix")"
# Test runs start several programs at once; the first makes the prefix, the others wait.
exec 9>"$prefix.lock"
flock 9
# The marker names the set-up it stands for: a prefix made by an earlier set-up is made anew.
ready=$prefix/.scanflash-ready-null-graphics
if [ ! -e "$ready" ]; then
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # The server's own output is noise: drop it.
    wineserver -p >/dev/null 2>&1
    if ! wine wineboot -i >"$prefix.boot.log" 2>&1; then
        wineserver -k || true
        echo "wine-run.sh: making the Wine prefix failed, see $prefix.boot.log" >&2
        exit 1
    fi
    # Wine's null graphics driver: without a display, top-level windows (the product's hidden
    # window for the session's end) can be made only with it.
    if ! wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
        >>"$prefix.boot.log" 2>&1; then
        wineserver -k || true
        echo "wine-run.sh: setting the null graphics driver failed, see $prefix.boot.log" >&2
        exit 1
    fi
    # Stopping the server writes the registry out; only then does the prefix count as ready.
    wineserver -k
    wineserver -w
    touch "$ready"
fi
# One server serves the programs of a test run and ends by itself 5 s after the last one;
# status 2 means one is running already. Wine's own background processes (services, device
# host, plug and play) start with the first program a new server sees and inherit its
# output; CTest would then wait for them before it counted that test as finished. So a new
# server gets a first program here, with all output dropped.
if wineserver -p5 >/dev/null 2>&1; then
    wine cmd /c exit >/dev/null 2>&1 </dev/null
elif [ $? -ne 2 ]; then
    echo "wine-run.sh: the Wine server does not start" >&2
    exit 1
fi
flock -u 9
exec 9>&-

if [ $# -eq 0 ]; then
    exit 0
fi
exec wine "$@"
