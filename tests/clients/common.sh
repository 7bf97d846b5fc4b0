# Shared part of the client flows (sourced, not run). A flow calls
# clients_start, which starts a private bench (pcscd with our reader driver and
# the vpcd readers), puts a freshly personalised simulated card into the first
# plain reader and writes the module's configuration (trace log and cache in
# the flow's own directory). Everything the bench started is stopped by its
# recorded PIDs when the flow exits, whatever the outcome.
#
# Environment from CTest: ZENTRIK_MODULE (the built module), ZENTRIK_BUILD
# (the build holding cardsim and the reader driver), ZENTRIK_SOURCE.
# A missing client program is a failure, never a skip.

set -euo pipefail

: "${ZENTRIK_MODULE:?ZENTRIK_MODULE must name the built module}"
: "${ZENTRIK_BUILD:?ZENTRIK_BUILD must name the build directory}"
: "${ZENTRIK_SOURCE:?ZENTRIK_SOURCE must name the source tree}"
export ZENTRIK_BUILD
module=$ZENTRIK_MODULE
bench_sh="$ZENTRIK_SOURCE/tools/bench/bench.sh"
flow=$(basename "$0" .sh)

# The card's PINs; distinctive, so a search of the trace log for them means
# something.
USER_PIN=qx7291
SO_PIN=Zs0Pin44
# The slot of "Zentrik Virtual 00 00", the first reader pcscd lists.
SLOT=0

fail() {
    echo "FAIL [$flow]: $*" >&2
    exit 1
}

step() { echo "--- [$flow] $*"; }

# Fails unless every named program is on the PATH.
require() {
    local program
    for program in "$@"; do
        command -v "$program" >/dev/null 2>&1 ||
            fail "$program is not installed (scripts/install-deps.sh installs the clients)"
    done
}

# expect_in TEXT NEEDLE...: fails unless TEXT contains every NEEDLE.
expect_in() {
    local text=$1 needle
    shift
    for needle in "$@"; do
        grep -qF -- "$needle" <<<"$text" || fail "expected \"$needle\" in:"$'\n'"$text"
    done
}

# expect_not_in TEXT NEEDLE...: fails if TEXT contains any NEEDLE.
expect_not_in() {
    local text=$1 needle
    shift
    for needle in "$@"; do
        if grep -qF -- "$needle" <<<"$text"; then
            fail "did not expect \"$needle\" in:"$'\n'"$text"
        fi
    done
}

# run CMD...: runs a command, echoes its output on failure and fails; on
# success prints nothing and leaves the output in $out.
run() {
    if ! out=$("$@" 2>&1); then
        fail "command failed: $*"$'\n'"$out"
    fi
}

# expect_failure CMD...: the command must fail; its output is left in $out.
expect_failure() {
    if out=$("$@" 2>&1); then
        fail "command succeeded but should have failed: $*"$'\n'"$out"
    fi
}

same_files() {
    cmp -s "$1" "$2" || fail "$1 and $2 differ"
}

# digest_info FILE: the DER DigestInfo of FILE's SHA-256 hash, what a
# CKM_RSA_PKCS signature of a SHA-256 hash covers.
digest_info() {
    printf '\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20'
    openssl dgst -sha256 -binary "$1"
}

tool() { pkcs11-tool --module "$module" --slot "$SLOT" "$@"; }
tool_user() { tool --login --pin "$USER_PIN" "$@"; }

# An OpenSSL configuration that loads the libp11 engine with our module.
. "$ZENTRIK_SOURCE/scripts/openssl-engine.sh"
write_openssl_config() { write_openssl_engine_config "$1" "$module"; }

stop_clients_bench() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "${bench_dir:-}" ]; then
        "$bench_sh" stop "$bench_dir" >/dev/null 2>&1 || true
    fi
    if [ $status -ne 0 ] && [ -n "${work:-}" ]; then
        echo "[$flow] work directory kept: $work" >&2
    elif [ -n "${work:-}" ]; then
        rm -rf "$work"
    fi
    exit $status
}

clients_start() {
    [ -f "$module" ] || fail "no module at $module"
    require pkcs11-tool opensc-tool openssl
    work=$(mktemp -d "/tmp/zentrik-clients-$flow-XXXXXX")
    bench_dir=$(mktemp -d /tmp/zentrik-bench-sh-XXXXXX)
    trap stop_clients_bench EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    eval "$("$bench_sh" start --dir "$bench_dir" --reader "plain:Zentrik Plain")"
    local image
    image=$("$bench_sh" init "$bench_dir" card.img --user-pin "$USER_PIN" --so-pin "$SO_PIN" \
        --serial 5a454e54494b3031 2>/dev/null)
    "$bench_sh" insert "$bench_dir" "Zentrik Virtual 00 00" "$image"
    mkdir -p "$work/log" "$work/cache"
    printf 'loglevel = 1\nlogpath = %s\ncache = %s\n' "$work/log" "$work/cache" >"$work/zentrik.txt"
    export ZENTRIK_CONF="$work/zentrik.txt"
    cd "$work"
}

# The PINs (and any further ones named) must never reach the module's trace
# log; a flow calls this last.
check_trace_log() {
    local logs
    logs=$(find "$work/log" -name 'vxpkcs11-*.log' | wc -l)
    [ "$logs" -gt 0 ] || fail "the module wrote no trace log"
    local pin hex spaced
    for pin in "$USER_PIN" "$SO_PIN" "$@"; do
        # As text, and as the hex bytes of an APDU dump.
        hex=$(printf '%s' "$pin" | od -An -tx1 | tr -d ' \n')
        spaced=$(sed 's/../& /g; s/ $//' <<<"$hex")
        if grep -rqiF -e "$pin" -e "$hex" -e "$spaced" "$work/log"; then
            fail "a PIN reached the trace log in $work/log"
        fi
    done
    echo "--- [$flow] passed"
}
