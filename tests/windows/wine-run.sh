#!/bin/sh
# Runs a Windows executable under 64-bit Wine, headless.
#   wine-run.sh <wine prefix directory> <program.exe> [arguments...]
# The prefix is created on first use; concurrent first runs (ctest -j) wait for
# one another on a lock file so that only one of them runs wineboot.
set -eu
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${ZENTRIK_WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
wine=${ZENTRIK_WINE:-/usr/lib/wine/wine64}

if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    (
        flock 9
        if [ ! -f "$prefix/system.reg" ]; then
            "$wine" wineboot -i >/dev/null 2>&1 || true
        fi
    ) 9>"$prefix.lock"
fi
exec "$wine" "$@"
