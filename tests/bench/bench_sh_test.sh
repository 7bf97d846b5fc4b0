#!/usr/bin/env bash
# bench.sh from a shell, as scripts and people use it: start a private pcscd,
# personalise and insert cards, talk to one with opensc-tool, read its
# counters, remove it, and stop; afterwards none of the processes the bench
# recorded is alive and its directory is gone. A request for a reader that
# does not exist fails without starting anything, and so does a start whose
# readers never appear.
# Needs CARDSIM and IFDZENTRIK (the programs of this build).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
bench_sh="$here/../../tools/bench/bench.sh"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_eq() { [ "$1" == "$2" ] || fail "$3: expected '$1', got '$2'"; }

dir=$(mktemp -d /tmp/zentrik-bench-sh-XXXXXX)
recorded_pids=()
cleanup() {
    "$bench_sh" stop "$dir" >/dev/null 2>&1 || true
    rm -rf "$dir"
}
trap cleanup EXIT

# A start whose readers never appear fails and leaves no pcscd behind.
broken=$(mktemp -d /tmp/zentrik-bench-sh-XXXXXX)
if IFDZENTRIK=/etc/hostname "$bench_sh" start --dir "$broken" --no-vpcd >/dev/null 2>&1; then
    fail "start with a driver that is no library succeeded"
fi
ps -eo args | grep -F "$broken/conf" | grep -qv grep && fail "a failed start left its pcscd running"
[ -e "$broken/pcscd.bench-pid" ] && fail "a failed start left its PID file"
rm -rf "$broken"

if ! eval "$("$bench_sh" start --dir "$dir")"; then
    echo "FAIL: bench.sh start" >&2
    cat "$dir/pcscd.log" >&2 2>/dev/null
    exit 1
fi
expect_eq "$dir/pcscd.comm" "$PCSCLITE_CSOCK_NAME" "client socket"
expect_eq "$dir" "$ZENTRIK_BENCH_DIR" "bench directory"

readers=$("$bench_sh" status "$dir")
for name in "Zentrik Virtual 00 00" "Zentrik Virtual 00 01" "Zentrik PinPad" "Zentrik Plain"; do
    grep -q "^$name" <<<"$readers" || fail "reader '$name' not listed: $readers"
done

image=$("$bench_sh" init "$dir" card.img --user-pin 4711 2>/dev/null)
expect_eq "$dir/card.img" "$image" "image path"
"$bench_sh" insert "$dir" "Zentrik Virtual 00 00" "$image" || fail "insert into the vpcd reader"
"$bench_sh" insert "$dir" "Zentrik PinPad" "$image" || fail "insert into the pin-pad reader"
"$bench_sh" insert "$dir" "Zentrik PinPad" "$image" 2>/dev/null && fail "a second card went into an occupied reader"

index=$(opensc-tool -l 2>/dev/null | grep "Zentrik Virtual 00 00" | awk '{print $1}')
[ -n "$index" ] || fail "opensc-tool does not list the vpcd reader"
out=$(opensc-tool -r "$index" -s 00:A4:04:00:09:F0:56:58:46:52:01:00:00:41 \
                  -s 80:20:01:00:10:34:37:31:31:00:00:00:00:00:00:00:00:00:00:00:00 2>&1)
expect_eq 2 "$(grep -c 'SW1=0x90, SW2=0x00' <<<"$out")" "SELECT and the personalised PIN through opensc-tool"

counters=$("$bench_sh" ctl "$dir" "Zentrik Virtual 00 00" counters)
grep -Eq '^20 1$' <<<"$counters" || fail "one authenticate counted: $counters"
grep -Eq '^A4 [1-9]' <<<"$counters" || fail "SELECT counted: $counters"
"$bench_sh" ctl "$dir" "Zentrik Virtual 00 00" "no such request" 2>/dev/null && fail "unknown control request accepted"

"$bench_sh" remove "$dir" "Zentrik Virtual 00 00" || fail "remove"
"$bench_sh" status "$dir" >/dev/null
opensc-tool -l 2>/dev/null | grep "Zentrik Virtual 00 00" | grep -q " Yes " && fail "card still present after remove"
"$bench_sh" insert "$dir" "No Such Reader" "$image" 2>/dev/null && fail "insert into an unknown reader"

for f in "$dir"/card-*.pid "$dir"/pcscd.bench-pid; do [ -f "$f" ] && recorded_pids+=("$(cat "$f")"); done
[ ${#recorded_pids[@]} -ge 2 ] || fail "the bench recorded no processes"
"$bench_sh" stop "$dir" || fail "stop"
sleep 0.2
for pid in "${recorded_pids[@]}"; do
    kill -0 "$pid" 2>/dev/null && fail "process $pid still runs after stop"
done
[ -e "$dir" ] && fail "bench directory left behind"

if [ $failures -ne 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "bench.sh: all checks passed"
