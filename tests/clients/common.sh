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

# Processes a flow starts itself (servers, an X server, a browser), stopped by
# PID when the flow exits, the last started first.
flow_pids=()
started() { flow_pids+=("$1"); }

# stop_pid PID: SIGTERM, a few seconds' grace, then SIGKILL; reaps the process.
stop_pid() {
    local pid=$1
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

stop_clients_bench() {
    local status=$? i
    trap - EXIT INT TERM HUP
    for ((i = ${#flow_pids[@]} - 1; i >= 0; i--)); do
        stop_pid "${flow_pids[i]}"
    done
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

# clients_start [READER...]: READER as bench.sh start takes it (pinpad:NAME,
# plain:NAME); by default one plain reader of our own beside vpcd's two.
clients_start() {
    [ -f "$module" ] || fail "no module at $module"
    require pkcs11-tool opensc-tool openssl
    work=$(mktemp -d "/tmp/zentrik-clients-$flow-XXXXXX")
    bench_dir=$(mktemp -d /tmp/zentrik-bench-sh-XXXXXX)
    trap stop_clients_bench EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    local readers=() reader
    for reader in "${@:-plain:Zentrik Plain}"; do readers+=(--reader "$reader"); done
    eval "$("$bench_sh" start --dir "$bench_dir" "${readers[@]}")"
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

# --- A software CA and certificates for keys on the card ---

TOKEN_URI="pkcs11:token=Zentrik%203.1%20Ferrix"

# make_test_ca CN: a software CA in ca.pem and ca.key (work directory).
make_test_ca() {
    run openssl req -new -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj "/CN=$1" -days 2 \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign -out ca.pem
}

# ca_issue CSR SERIAL OUT EXTENSION...: a certificate for CSR from the test CA,
# with the extensions given one per argument.
ca_issue() {
    local csr=$1 serial=$2 out=$3
    shift 3
    printf '%s\n' "$@" >"$out.ext"
    run openssl x509 -req -in "$csr" -CA ca.pem -CAkey ca.key -set_serial "$serial" -days 2 \
        -extfile "$out.ext" -out "$out"
}

# card_key_with_certificate ID LABEL CN: a 2048-bit key pair generated on the
# card, and a client certificate for it from the test CA stored on the card
# beside it (same ID and label); LABEL.pem and LABEL.der keep copies. The CSR
# is signed on the card through the libp11 engine.
card_key_with_certificate() {
    local id=$1 label=$2 cn=$3
    run tool_user --keypairgen --key-type rsa:2048 --id "$id" --label "$label"
    [ -f openssl.cnf ] || write_openssl_config openssl.cnf
    run env OPENSSL_CONF="$work/openssl.cnf" openssl req -new -engine pkcs11 -keyform engine \
        -key "$TOKEN_URI;object=$label;type=private;pin-value=$USER_PIN" -subj "/CN=$cn" -out "$label.csr"
    ca_issue "$label.csr" "0x$id" "$label.pem" extendedKeyUsage=clientAuth keyUsage=critical,digitalSignature
    run openssl x509 -in "$label.pem" -outform DER -out "$label.der"
    run tool_user --write-object "$label.der" --type cert --id "$id" --label "$label"
}

# server_certificate: server.pem and server.key for a TLS server on 127.0.0.1.
server_certificate() {
    run openssl req -new -newkey rsa:2048 -nodes -keyout server.key -subj "/CN=127.0.0.1" -out server.csr
    ca_issue server.csr 0x41 server.pem subjectAltName=IP:127.0.0.1 extendedKeyUsage=serverAuth
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# wait_until SECONDS WHAT CMD...: polls CMD every 0.1 s; fails after SECONDS.
wait_until() {
    local seconds=$1 what=$2 i
    shift 2
    for ((i = 0; i < seconds * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    fail "timed out after $seconds s waiting for $what"
}

# start_tls_server LOG VERSION [OPTION...]: `openssl s_server` on 127.0.0.1
# that demands a client certificate from the test CA and refuses a
# connection without one, limited to TLS VERSION (1.2 or 1.3); its output
# goes to LOG. Sets server_port and server_pid; the flow's exit stops it.
start_tls_server() {
    local log=$1 version=$2
    shift 2
    server_port=$(free_port)
    openssl s_server -accept "127.0.0.1:$server_port" -cert server.pem -key server.key -CAfile ca.pem \
        -Verify 1 -verify_return_error "-tls1_${version#1.}" "$@" >"$log" 2>&1 </dev/null &
    server_pid=$!
    started "$server_pid"
    wait_until 10 "s_server to listen" grep -qs ACCEPT "$log"
}
