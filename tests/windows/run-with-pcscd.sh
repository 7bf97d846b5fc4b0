#!/bin/sh
# Runs a Windows test executable under Wine against a private pcscd, with the
# winscard bridge in place of Wine's stub winscard.dll.
#   run-with-pcscd.sh <bridge dir> <wine prefix> <program.exe> [arguments...]
# pcscd runs in its own mount namespace with a private /run/pcscd, so it never
# meets the system's daemon or another bench; it serves two vpcd readers
# (no card) on a free TCP port. The expected reader names reach the program in
# ZENTRIK_BENCH_READERS. pcscd is stopped by its PID on every exit.
# Exits 77 (skipped) where a private pcscd cannot be started.
set -eu
bridge=$1
prefix=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
vpcd=/usr/lib/pcsc/drivers/serial/libifdvpcd.so

if [ ! -x /usr/sbin/pcscd ] || [ ! -f "$vpcd" ] || [ ! -f "$bridge/zpcscbridge.dll.so" ]; then
    echo "run-with-pcscd: pcscd, vpcd or the bridge is missing" >&2
    exit 77
fi

bench=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$bench"
}
trap cleanup EXIT INT TERM

# A port nobody listens on: ask the kernel for one, then hand it to vpcd.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
name="Zentrik Wine Bench"
mkdir -p "$bench/conf" "$bench/run"
cat >"$bench/conf/vpcd" <<CONF
FRIENDLYNAME "$name"
DEVICENAME /dev/null:$port
LIBPATH $vpcd
CHANNELID $port
CONF

mkdir -p /run/pcscd 2>/dev/null || true
unshare -m sh -c "mount --make-rprivate / && mount --bind '$bench/run' /run/pcscd && exec /usr/sbin/pcscd -f -c '$bench/conf'" \
    >"$bench/pcscd.log" 2>&1 &
pid=$!

export PCSCLITE_CSOCK_NAME="$bench/run/pcscd.comm"
# Wait for the socket (at most about 5 s).
tries=0
while [ ! -S "$PCSCLITE_CSOCK_NAME" ]; do
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "run-with-pcscd: pcscd did not start:" >&2
        cat "$bench/pcscd.log" >&2
        pid=
        exit 77
    fi
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ]; then
        echo "run-with-pcscd: pcscd socket did not appear" >&2
        exit 1
    fi
    sleep 0.1
done

export ZENTRIK_BENCH_READERS="$name 00 00|$name 00 01"
export WINEDLLPATH="$bridge"
export ZENTRIK_WINEDLLOVERRIDES="mscoree,mshtml=;winscard=n"
set +e
"$here/wine-run.sh" "$prefix" "$@"
status=$?
set -e
exit $status
