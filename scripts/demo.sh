#!/usr/bin/env bash
# The demo: installs what it needs, builds the release configuration, starts
# the PC/SC test bench (a private pcscd with two vpcd readers and a pin-pad
# reader) with a personalised simulated Ferrix card in the pin-pad reader, and
# shows the module through a real Cryptoki client. Everything the bench
# started is stopped by its recorded PIDs on every exit path.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh"

echo "=== building the release configuration ==="
build="$root/build/release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target zentrik-pkcs11 cardsim ifdzentrik -j "$jobs"

module="$build/module/libzentrik-pkcs11.so"
bench_sh="$root/tools/bench/bench.sh"
export ZENTRIK_BUILD="$build"

# bench.sh stop removes directories with this prefix once their processes end.
bench_dir=$(mktemp -d /tmp/zentrik-bench-sh-XXXXXX)
stop_bench() {
  trap - EXIT INT TERM HUP
  "$bench_sh" stop "$bench_dir" || true
}
trap stop_bench EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

echo "=== starting the PC/SC bench in $bench_dir ==="
eval "$("$bench_sh" start --dir "$bench_dir" --reader "pinpad:Zentrik PinPad")"
image=$("$bench_sh" init "$bench_dir" demo-card.img)
"$bench_sh" insert "$bench_dir" "Zentrik PinPad" "$image"
# A second card (user PIN 1234) in a plain reader, where the PIN is typed on
# the computer.
plain_image=$("$bench_sh" init "$bench_dir" demo-plain-card.img)
"$bench_sh" insert "$bench_dir" "Zentrik Virtual 00 00" "$plain_image"
"$bench_sh" status "$bench_dir"

echo "=== pkcs11-tool --module $module --show-info ==="
pkcs11-tool --module "$module" --show-info

echo "=== pkcs11-tool --module $module --list-slots ==="
pkcs11-tool --module "$module" --list-slots

echo "=== pkcs11-tool --module $module --list-token-slots ==="
pkcs11-tool --module "$module" --list-token-slots

echo "=== pkcs11-tool --module $module --slot 0 --login --pin 1234 --show-info ==="
pkcs11-tool --module "$module" --slot 0 --login --pin 1234 --show-info

echo "=== pkcs11-tool --module $module --slot 0 --login --pin 1234 --change-pin --new-pin 5678 (and back) ==="
pkcs11-tool --module "$module" --slot 0 --login --pin 1234 --change-pin --new-pin 5678
pkcs11-tool --module "$module" --slot 0 --login --pin 5678 --change-pin --new-pin 1234

echo "=== pkcs11-tool: write a data object, list the objects, read it back, delete it ==="
demo_data="$bench_dir/demo-data.txt"
echo "Hello from the Zentrik demo" >"$demo_data"
pkcs11-tool --module "$module" --slot 0 --login --pin 1234 --write-object "$demo_data" --type data --label demo-note
pkcs11-tool --module "$module" --slot 0 --login --pin 1234 --list-objects
pkcs11-tool --module "$module" --slot 0 --read-object --type data --label demo-note
echo
pkcs11-tool --module "$module" --slot 0 --login --pin 1234 --delete-object --type data --label demo-note
