#!/usr/bin/env bash
# The PC/SC test bench from a shell: a private pcscd with virtual readers and
# simulated Ferrix cards, the same set-up the C++ tests get from zentrik_bench.
#
#   bench.sh start [--dir DIR] [--no-vpcd] [--reader pinpad|plain:NAME]...
#       starts pcscd (own mount namespace, socket DIR/pcscd.comm) and prints
#       the variables a PC/SC client needs: eval "$(bench.sh start)"
#   bench.sh init   DIR IMAGE [cardsim init options]   personalise a card image
#   bench.sh insert DIR READER IMAGE    serve IMAGE as the card in READER
#   bench.sh remove DIR READER          take the card out (stops its process)
#   bench.sh ctl    DIR READER REQUEST  a control request (status, remove,
#                                       insert, keypad pin:1234, latency US US,
#                                       inject INS N SW, trace, counters, clear)
#   bench.sh status DIR                 readers as PC/SC lists them
#   bench.sh restart DIR                stop pcscd and start it again (the
#                                       cards reconnect by themselves)
#   bench.sh stop   DIR                 stop every process this bench started
#
# READER is a reader's PC/SC name or its beginning ("Zentrik PinPad").
# Programs come from the build in $ZENTRIK_BUILD (default build/release);
# CARDSIM and IFDZENTRIK override single paths. Processes are stopped by the
# PIDs recorded in DIR, never by name.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${ZENTRIK_BUILD:-$root/build/release}
cardsim=${CARDSIM:-$build/tools/cardsim/cardsim}
driver=${IFDZENTRIK:-$build/tools/ifdhandler/libifdzentrik.so}
vpcd_driver=/usr/lib/pcsc/drivers/serial/libifdvpcd.so

die() { echo "bench.sh: $*" >&2; exit 1; }

free_port() {
    # A port free now, and with "pair" the next one too (vpcd uses PORT+1).
    python3 - "$1" <<'EOF'
import socket, sys
pair = sys.argv[1] == "pair"
for _ in range(200):
    s = socket.socket(); s.bind(("", 0)); port = s.getsockname()[1]; s.close()
    if not pair:
        print(port); break
    t = socket.socket()
    try:
        t.bind(("", port + 1)); t.close(); print(port); break
    except OSError:
        t.close()
EOF
}

client_env() { export PCSCLITE_CSOCK_NAME="$1/pcscd.comm"; }

list_readers() {
    client_env "$1"
    opensc-tool -l 2>/dev/null | sed -n 's/^[0-9][0-9]* *\(Yes\|No\) *\(PIN pad\)\? *//p'
}

# The PC/SC name and port of the reader that READER names.
resolve() {
    local dir=$1 wanted=$2 name port
    while IFS=$'\t' read -r port name; do
        if [[ "$name" == "$wanted"* || "$wanted" == "$name"* ]]; then
            echo "$port"$'\t'"$name"; return 0
        fi
    done < "$dir/readers.tsv"
    die "no reader \"$wanted\" on the bench in $dir"
}

card_present() {
    client_env "$1"
    opensc-tool -l 2>/dev/null | grep -F "$2" | grep -q " Yes "
}

wait_for() {
    local what=$1; shift
    for _ in $(seq 1 200); do
        if "$@"; then return 0; fi
        sleep 0.05
    done
    die "timed out waiting for $what"
}

stop_pid_file() {
    local file=$1 pid
    [ -f "$file" ] || return 0
    pid=$(cat "$file")
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
        kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -f "$file"
}

# Starts pcscd on the bench's configuration (own mount namespace, socket
# DIR/pcscd.comm) and waits until it lists every reader of the bench.
launch_pcscd() {
    local dir=$1
    mkdir -p /run/pcscd
    # unshare and sh exec their successors: $! ends up being pcscd's PID.
    nohup unshare -m sh -c 'mount --make-rprivate / && mount --bind "$0" /run/pcscd && exec pcscd -f -c "$1"' \
        "$dir" "$dir/conf" >> "$dir/pcscd.log" 2>&1 < /dev/null &
    local pid=$!
    echo $pid > "$dir/pcscd.bench-pid"
    local expected listed ok=0; expected=$(wc -l < "$dir/readers.tsv")
    for _ in $(seq 1 200); do
        listed=$(PCSCLITE_CSOCK_NAME="$dir/pcscd.comm" opensc-tool -l 2>/dev/null | grep -c '^[0-9]' || true)
        if [ "$listed" -ge "$expected" ]; then ok=1; break; fi
        kill -0 $pid 2>/dev/null || break
        sleep 0.05
    done
    if [ $ok = 0 ]; then
        # A start that fails leaves nothing running behind it.
        stop_pid_file "$dir/pcscd.bench-pid"
        die "pcscd did not list the bench's readers (see $dir/pcscd.log)"
    fi
}

cmd_restart() {
    local dir=$1
    stop_pid_file "$dir/pcscd.bench-pid"
    launch_pcscd "$dir"
}

cmd_start() {
    local dir="" vpcd=1 readers=()
    while [ $# -gt 0 ]; do
        case "$1" in
            --dir) dir=$2; shift 2 ;;
            --no-vpcd) vpcd=0; shift ;;
            --reader) readers+=("$2"); shift 2 ;;
            *) die "unknown option $1" ;;
        esac
    done
    [ ${#readers[@]} -gt 0 ] || readers=("pinpad:Zentrik PinPad" "plain:Zentrik Plain")
    [ -f "$driver" ] || die "driver not built: $driver"
    [ -n "$dir" ] || dir=$(mktemp -d /tmp/zentrik-bench-sh-XXXXXX)
    mkdir -p "$dir/conf"
    : > "$dir/readers.tsv"
    if [ $vpcd = 1 ]; then
        local port; port=$(free_port pair)
        printf 'FRIENDLYNAME "Zentrik Virtual"\nDEVICENAME /dev/null:%s\nLIBPATH %s\nCHANNELID %s\n' \
            "$port" "$vpcd_driver" "$port" > "$dir/conf/vpcd.conf"
        printf '%s\tZentrik Virtual 00 00\n%s\tZentrik Virtual 00 01\n' "$port" $((port + 1)) >> "$dir/readers.tsv"
    fi
    : > "$dir/conf/zentrik.conf"
    for entry in "${readers[@]}"; do
        local kind=${entry%%:*} name=${entry#*:} port
        [[ "$kind" == pinpad || "$kind" == plain ]] || die "reader kind must be pinpad or plain: $entry"
        port=$(free_port single)
        printf 'FRIENDLYNAME "%s"\nDEVICENAME %s:%s\nLIBPATH %s\n\n' "$name" "$kind" "$port" "$driver" \
            >> "$dir/conf/zentrik.conf"
        printf '%s\t%s\n' "$port" "$name" >> "$dir/readers.tsv"
    done
    launch_pcscd "$dir"
    echo "export PCSCLITE_CSOCK_NAME='$dir/pcscd.comm'"
    echo "export ZENTRIK_BENCH_DIR='$dir'"
}

cmd_init() {
    local dir=$1 image=$2; shift 2
    "$cardsim" init "$dir/$image" "$@" >&2
    echo "$dir/$image"
}

cmd_insert() {
    local dir=$1 reader=$2 image=$3 port name
    IFS=$'\t' read -r port name < <(resolve "$dir" "$reader")
    [ -f "$dir/card-$port.pid" ] && die "a card is already in $name"
    nohup "$cardsim" serve "$image" --port "$port" --control "$dir/card-$port.sock" \
        >> "$dir/serve-$port.log" 2>&1 < /dev/null &
    local pid=$!
    echo $pid > "$dir/card-$port.pid"
    for _ in $(seq 1 200); do
        card_present "$dir" "$name" && return 0
        if ! kill -0 $pid 2>/dev/null; then
            rm -f "$dir/card-$port.pid"
            die "cardsim serve ended; see $dir/serve-$port.log"
        fi
        sleep 0.05
    done
    stop_pid_file "$dir/card-$port.pid"
    die "timed out waiting for the card in $name"
}

cmd_remove() {
    local dir=$1 reader=$2 port name
    IFS=$'\t' read -r port name < <(resolve "$dir" "$reader")
    stop_pid_file "$dir/card-$port.pid"
    wait_for "$name to be empty" sh -c "! PCSCLITE_CSOCK_NAME='$dir/pcscd.comm' opensc-tool -l 2>/dev/null | grep -F '$name' | grep -q ' Yes '"
}

cmd_ctl() {
    local dir=$1 reader=$2 port name; shift 2
    IFS=$'\t' read -r port name < <(resolve "$dir" "$reader")
    python3 - "$dir/card-$port.sock" "$*" <<'EOF'
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
s.sendall((sys.argv[2] + "\n").encode())
data = b""
while True:
    chunk = s.recv(65536)
    if not chunk:
        break
    data += chunk
    lines = data.decode().splitlines()
    if data.endswith(b"\n") and lines and (lines[-1] == "ok" or lines[-1].startswith("err")):
        break
for line in lines[:-1]:
    print(line)
if lines[-1] != "ok":
    print(lines[-1], file=sys.stderr)
    sys.exit(1)
EOF
}

cmd_stop() {
    local dir=$1
    for f in "$dir"/card-*.pid; do [ -e "$f" ] && stop_pid_file "$f"; done
    stop_pid_file "$dir/pcscd.bench-pid"
    case "$dir" in /tmp/zentrik-bench-sh-*) rm -rf "$dir" ;; esac
}

[ $# -ge 1 ] || { sed -n '2,20p' "$0"; exit 2; }
command=$1; shift
case "$command" in
    start) cmd_start "$@" ;;
    init) [ $# -ge 2 ] || die "usage: init DIR IMAGE [options]"; cmd_init "$@" ;;
    insert) [ $# -eq 3 ] || die "usage: insert DIR READER IMAGE"; cmd_insert "$@" ;;
    remove) [ $# -eq 2 ] || die "usage: remove DIR READER"; cmd_remove "$@" ;;
    ctl) [ $# -ge 3 ] || die "usage: ctl DIR READER REQUEST"; cmd_ctl "$@" ;;
    status) [ $# -eq 1 ] || die "usage: status DIR"; list_readers "$1" ;;
    restart) [ $# -eq 1 ] || die "usage: restart DIR"; cmd_restart "$1" ;;
    stop) [ $# -eq 1 ] || die "usage: stop DIR"; cmd_stop "$1" ;;
    *) die "unknown command $command" ;;
esac
