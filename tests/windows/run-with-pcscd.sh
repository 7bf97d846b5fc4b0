#!/bin/sh
# Runs a Windows test executable under Wine against a private pcscd, with the
# winscard bridge in place of Wine's stub winscard.dll.
#   run-with-pcscd.sh [--card] <bridge dir> <wine prefix> <program.exe> [arguments...]
# pcscd runs in its own mount namespace with a private /run/pcscd, so it never
# meets the system's daemon or another bench; it serves two vpcd readers
# (no card) on a free TCP port. The expected reader names reach the program in
# ZENTRIK_BENCH_READERS.
# With --card, and ZENTRIK_CARDSIM naming the Linux cardsim program, a freshly
# personalised card (random serial, version 3.1, 400 blocks of 256 bytes) is
# served in the first reader before the program starts; the program finds its
# facts in ZENTRIK_BENCH_CARD_READER, ZENTRIK_BENCH_CARD_SERIAL (hex as given
# to cardsim), ZENTRIK_BENCH_CARD_VERSION, ZENTRIK_BENCH_CARD_TOTAL_MEMORY and
# ZENTRIK_BENCH_CARD_FREE_MEMORY (bytes, as the card image reports them).
# Without a cardsim these stay unset and card tests skip.
# pcscd and the card's simulator are stopped by their PIDs on every exit.
# Exits 77 (skipped) where a private pcscd cannot be started.
set -eu
with_card=0
if [ "${1:-}" = "--card" ]; then
    with_card=1
    shift
fi
bridge=$1
prefix=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
vpcd=/usr/lib/pcsc/drivers/serial/libifdvpcd.so

if [ ! -x /usr/sbin/pcscd ] || [ ! -f "$vpcd" ] || [ ! -f "$bridge/zpcscbridge.dll.so" ]; then
    echo "run-with-pcscd: pcscd, vpcd or the bridge is missing" >&2
    exit 77
fi

cardsim=
if [ "$with_card" = 1 ] && [ -n "${ZENTRIK_CARDSIM:-}" ] && [ -x "$ZENTRIK_CARDSIM" ]; then
    cardsim=$ZENTRIK_CARDSIM
fi

bench=$(mktemp -d)
pid=
card_pid=
cleanup() {
    if [ -n "$card_pid" ]; then
        kill "$card_pid" 2>/dev/null || true
        wait "$card_pid" 2>/dev/null || true
    fi
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

# True once pcscd reports a card in the reader named $1.
card_present() {
    python3 - "$1" <<'EOF'
import ctypes, sys
pcsc = ctypes.CDLL("libpcsclite.so.1")
class ReaderState(ctypes.Structure):
    _fields_ = [("reader", ctypes.c_char_p), ("user", ctypes.c_void_p),
                ("current", ctypes.c_ulong), ("event", ctypes.c_ulong),
                ("atr_length", ctypes.c_ulong), ("atr", ctypes.c_ubyte * 33)]
SCARD_SCOPE_SYSTEM, SCARD_STATE_PRESENT = 2, 0x20
context = ctypes.c_long()
if pcsc.SCardEstablishContext(ctypes.c_ulong(SCARD_SCOPE_SYSTEM), None, None, ctypes.byref(context)):
    sys.exit(1)
state = ReaderState(sys.argv[1].encode())
rv = pcsc.SCardGetStatusChange(context, ctypes.c_ulong(0), ctypes.byref(state), ctypes.c_ulong(1))
pcsc.SCardReleaseContext(context)
sys.exit(0 if rv == 0 and state.event & SCARD_STATE_PRESENT else 1)
EOF
}

if [ -n "$cardsim" ]; then
    image="$bench/card.img"
    serial=$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')
    "$cardsim" init "$image" --serial "$serial" --version 3.1 \
        --memory-blocks 400 --block-size 256 >"$bench/init.log" 2>&1 || {
        echo "run-with-pcscd: cardsim init failed:" >&2
        cat "$bench/init.log" >&2
        exit 1
    }
    # "memory:      400 blocks of 256 bytes, U used, F free"
    memory=$("$cardsim" inspect "$image" |
        sed -n 's/^memory: *\([0-9]*\) blocks of \([0-9]*\) bytes, [0-9]* used, \([0-9]*\) free$/\1 \2 \3/p')
    if [ -z "$memory" ]; then
        echo "run-with-pcscd: cardsim inspect shows no memory line" >&2
        exit 1
    fi
    read -r blocks block_size free_blocks <<MEMORY
$memory
MEMORY
    export ZENTRIK_BENCH_CARD_TOTAL_MEMORY=$((blocks * block_size))
    export ZENTRIK_BENCH_CARD_FREE_MEMORY=$((free_blocks * block_size))
    export ZENTRIK_BENCH_CARD_SERIAL="$serial"
    export ZENTRIK_BENCH_CARD_VERSION=3.1
    # The first vpcd reader listens on the entry's own port.
    "$cardsim" serve "$image" --port "$port" >"$bench/serve.log" 2>&1 &
    card_pid=$!
    tries=0
    until card_present "$name 00 00"; do
        tries=$((tries + 1))
        if ! kill -0 "$card_pid" 2>/dev/null || [ "$tries" -gt 100 ]; then
            echo "run-with-pcscd: pcscd does not see the card:" >&2
            cat "$bench/serve.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    export ZENTRIK_BENCH_CARD_READER="$name 00 00"
fi

export WINEDLLPATH="$bridge"
export ZENTRIK_WINEDLLOVERRIDES="mscoree,mshtml=;winscard=n"
set +e
"$here/wine-run.sh" "$prefix" "$@"
status=$?
set -e
exit $status
