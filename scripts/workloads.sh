#!/usr/bin/env bash
# Everyday client workloads on the PC/SC bench, counted by the simulator:
# prints a Markdown table of the APDUs (with the commands by INS) and the wall
# time of each workload, with the module's default card hold and with
# "cardhold = 0". The card holds a 2048-bit key pair, its certificate and six
# data objects (three of them private). Run by scripts/bench.sh after the
# per-call tables; usable alone after a release build:
#   bash scripts/workloads.sh [--apdu-ms MS] [--byte-ms MS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/release"
module="$build/module/libzentrik-pkcs11.so"
apdu_ms=3
byte_ms=0.1
while [ $# -gt 0 ]; do
    case "$1" in
        --apdu-ms) apdu_ms=$2; shift 2 ;;
        --byte-ms) byte_ms=$2; shift 2 ;;
        *) shift ;;
    esac
done
pin=1234
reader="Zentrik Virtual 00 00"
bench="$root/tools/bench/bench.sh"
for tool in pkcs11-tool p11tool certutil modutil openssl; do
    command -v "$tool" >/dev/null || { echo "workloads: $tool is not installed" >&2; exit 1; }
done

work=$(mktemp -d /tmp/zentrik-workloads-XXXXXX)
bench_dir=""
finish() {
    [ -n "$bench_dir" ] && "$bench" stop "$bench_dir" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap finish EXIT INT TERM HUP
eval "$("$bench" start)"
bench_dir=$ZENTRIK_BENCH_DIR
image=$("$bench" init "$bench_dir" card.img)
"$bench" insert "$bench_dir" "$reader" "$image" >/dev/null
ctl() { "$bench" ctl "$bench_dir" "$reader" "$@"; }
export HOME=$work
printf 'cache = %s/cache\n' "$work" >"$work/hold.txt"
printf 'cache = %s/cache\ncardhold = 0\n' "$work" >"$work/nohold.txt"
export ZENTRIK_CONF=$work/hold.txt

# The card's content, made through the module without latency.
p11() { pkcs11-tool --module "$module" "$@"; }
p11 --login --pin "$pin" --keypairgen --key-type rsa:2048 --id 01 --label key >/dev/null 2>&1
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/k.pem" -subj /CN=Workload -days 2 \
    -outform DER -out "$work/cert.der" 2>/dev/null
p11 --login --pin "$pin" --write-object "$work/cert.der" --type cert --id 01 --label cert >/dev/null 2>&1
for i in 1 2 3 4 5 6; do
    head -c 200 /dev/urandom >"$work/data$i"
    private=""
    [ "$i" -gt 3 ] && private=--private
    p11 --login --pin "$pin" --write-object "$work/data$i" --type data --label "data$i" $private >/dev/null 2>&1
done
echo "message" >"$work/message"

certutil -N -d "sql:$work/nssdb" --empty-password >/dev/null 2>&1 || mkdir -p "$work/nssdb"
[ -f "$work/nssdb/cert9.db" ] || certutil -N -d "sql:$work/nssdb" --empty-password
modutil -dbdir "sql:$work/nssdb" -add Zentrik -libfile "$module" -force >/dev/null 2>&1 || true
echo "$pin" >"$work/pin.txt"
label=$(pkcs11-tool --module "$module" -L 2>/dev/null | sed -n 's/.*token label *: *//p' | head -1)
engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
. "$root/scripts/openssl-engine.sh"
write_openssl_engine_config "$work/openssl.cnf" "$module"

ctl "latency $(awk "BEGIN{print int($apdu_ms*1000)}") $(awk "BEGIN{print int($byte_ms*1000)}")" >/dev/null
# One row: the workload run once untimed (the cache files are current, as a
# second run in a new process finds them), then measured.
row() {
    local name=$1
    shift
    "$@" >/dev/null 2>&1 || true
    ctl clear >/dev/null
    local start end status=0
    start=$(date +%s%N)
    "$@" >"$work/out" 2>&1 || status=$?
    end=$(date +%s%N)
    local counters total
    counters=$(ctl counters | awk '{printf "%s%s ×%s", sep, $1, $2; sep=", "}')
    total=$(ctl counters | awk '{n += $2} END {print n + 0}')
    local note=""
    [ "$status" -ne 0 ] && note=" (exit $status)"
    printf '| %s | %s | %s | %d%s |\n' "$name" "$total" "$counters" $(((end - start) / 1000000)) "$note"
}
table() {
    echo "| workload | APDUs | by INS | wall ms |"
    echo "|---|---:|---|---:|"
    row "pkcs11-tool -L" p11 -L
    row "pkcs11-tool --login -O (9 objects, warm cache files)" p11 --login --pin "$pin" -O
    row "pkcs11-tool --login --sign -m RSA-PKCS" \
        p11 --login --pin "$pin" --sign -m RSA-PKCS --id 01 -i "$work/message" -o "$work/sig"
    row "NSS certutil -K -h TOKEN" certutil -K -d "sql:$work/nssdb" -h "$label" -f "$work/pin.txt"
    row "GnuTLS p11tool --list-all" p11tool --provider "$module" --list-all
    if [ -f "$engine" ]; then
        row "OpenSSL dgst -sign (libp11 engine)" env OPENSSL_CONF="$work/openssl.cnf" openssl dgst -sha256 \
            -engine pkcs11 -keyform engine -sign "pkcs11:id=%01;type=private;pin-value=$pin" \
            -out "$work/dgst.sig" "$work/message"
    fi
}
echo
echo "Workloads, default card hold (latency ${apdu_ms} ms per APDU + ${byte_ms} ms per byte):"
echo
table
echo
echo "Workloads, cardhold = 0 (one card transaction per call):"
echo
export ZENTRIK_CONF=$work/nohold.txt
table
