#!/usr/bin/env bash
# The demo: installs what it needs, builds the release configuration, starts
# the PC/SC test bench (a private pcscd with virtual readers) with a freshly
# personalised simulated Ferrix card, and has real applications use the card
# through the module: pkcs11-tool generates a 2048-bit key on the card,
# OpenSSL (libp11 engine) makes a self-signed certificate with it, the
# certificate goes onto the card, p11tool and zentrik-tool list the card, and OpenSSL signs a file with the card key and verifies the
# signature. The files it makes stay in build/release/demo. Everything the
# bench started is stopped by its recorded PIDs on every exit path.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh"

build="$root/build/release"
step() { echo "==> $*"; }

step "building the module, zentrik-tool, the card simulator and the reader driver (build/release)"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target zentrik-pkcs11 zentrik-tool cardsim ifdzentrik -j "$jobs" >/dev/null

module="$build/module/libzentrik-pkcs11.so"
bench_sh="$root/tools/bench/bench.sh"
export ZENTRIK_BUILD="$build"
pin=1234
token_uri="pkcs11:token=Zentrik%203.1%20Ferrix"
key_uri="pkcs11:object=demo-key;type=private;pin-value=$pin"

demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo/log"
# The module's configuration for the demo: trace log and object cache in the
# demo directory (see "Logs and caches" in README.md).
printf 'loglevel = 1\nlogpath = %s/log\ncache = %s/cache\n' "$demo" "$demo" >"$demo/zentrik.txt"
export ZENTRIK_CONF="$demo/zentrik.txt"
# OpenSSL loads the libp11 engine with our module.
. "$root/scripts/openssl-engine.sh"
write_openssl_engine_config "$demo/openssl.cnf" "$module"

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

step "starting a private pcscd with virtual readers ($bench_dir)"
eval "$("$bench_sh" start --dir "$bench_dir" --reader "pinpad:Zentrik PinPad")"

step "personalising a simulated Ferrix card (user PIN $pin) and inserting it into \"Zentrik Virtual 00 00\""
image=$("$bench_sh" init "$bench_dir" demo-card.img --user-pin "$pin" 2>/dev/null)
"$bench_sh" insert "$bench_dir" "Zentrik Virtual 00 00" "$image"

tool() { pkcs11-tool --module "$module" "$@"; }
# OpenSSL with the engine configuration; its "Engine set" chatter is dropped,
# and any other message shown when it fails.
engine_openssl() {
  if ! OPENSSL_CONF="$demo/openssl.cnf" openssl "$@" 2>"$demo/openssl.err"; then
    cat "$demo/openssl.err" >&2
    exit 1
  fi
}

step "pkcs11-tool --list-token-slots: the card as a Cryptoki token"
tool --list-token-slots

step "pkcs11-tool --keypairgen: generating a 2048-bit RSA key pair on the card"
tool --slot 0 --login --pin "$pin" --keypairgen --key-type rsa:2048 --id 01 --label demo-key | grep 'Object;'

step "openssl req -x509 -engine pkcs11: a self-signed certificate signed by the card key ($demo/demo-cert.pem)"
engine_openssl req -new -x509 -days 365 -engine pkcs11 -keyform engine -key "$key_uri" \
  -subj "/CN=Zentrik Demo" -out "$demo/demo-cert.pem"
openssl x509 -in "$demo/demo-cert.pem" -noout -subject -enddate
openssl verify -CAfile "$demo/demo-cert.pem" "$demo/demo-cert.pem"

step "pkcs11-tool --write-object: storing the certificate on the card beside its key"
openssl x509 -in "$demo/demo-cert.pem" -outform DER -out "$demo/demo-cert.der"
tool --slot 0 --login --pin "$pin" --write-object "$demo/demo-cert.der" --type cert --id 01 --label demo-key >/dev/null

step "p11tool --provider $module --list-all: what GnuTLS sees on the card"
p11tool --provider "$module" --list-all "$token_uri"

step "zentrik-tool info and list: the card through our own tool"
"$build/tools/zentrik-tool/zentrik-tool" --module "$module" info
"$build/tools/zentrik-tool/zentrik-tool" --module "$module" list

step "openssl dgst -sign with the card key: signing $demo/demo.txt"
echo "Signed on a Ferrix card through Zentrik, $(date -u)" >"$demo/demo.txt"
engine_openssl dgst -sha256 -engine pkcs11 -keyform engine -sign "$key_uri" \
  -out "$demo/demo.txt.sig" "$demo/demo.txt"

step "openssl dgst -verify with the certificate's public key (no card involved)"
openssl x509 -in "$demo/demo-cert.pem" -noout -pubkey >"$demo/demo-pub.pem"
openssl dgst -sha256 -verify "$demo/demo-pub.pem" -signature "$demo/demo.txt.sig" "$demo/demo.txt"

step "openssl s_client: a TLS 1.3 handshake authenticated by the card key (RSA-PSS), against s_server -Verify 1"
openssl req -new -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=127.0.0.1" -keyout "$demo/server.key" \
  -out "$demo/server.pem" 2>/dev/null
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
openssl s_server -accept "127.0.0.1:$port" -naccept 1 -tls1_3 -cert "$demo/server.pem" -key "$demo/server.key" \
  -CAfile "$demo/demo-cert.pem" -Verify 1 -verify_return_error -www >"$demo/tls-server.log" 2>&1 </dev/null &
server_pid=$!
for _ in $(seq 1 100); do grep -q ACCEPT "$demo/tls-server.log" 2>/dev/null && break; sleep 0.05; done
# s_server -www answers the request with a page about the session, after the
# handshake in which it checked the client certificate, and closes.
reply=$(printf 'GET / HTTP/1.0\r\n\r\n' | OPENSSL_CONF="$demo/openssl.cnf" openssl s_client -connect "127.0.0.1:$port" \
  -tls1_3 -engine pkcs11 -keyform engine -key "$key_uri" -cert "$demo/demo-cert.pem" -CAfile "$demo/server.pem" \
  -ign_eof 2>/dev/null | grep -a "HTTP/1.0 200 ok" || true)
# s_server -naccept 1 ends after the one connection; it is stopped by its PID
# only if the handshake never happened.
for _ in $(seq 1 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.05; done
kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
if [ -z "$reply" ] || ! grep -q "CN = Zentrik Demo" "$demo/tls-server.log"; then
  cat "$demo/tls-server.log" >&2
  echo "the TLS handshake with the card key failed" >&2
  exit 1
fi
echo "TLS 1.3 handshake done; the server verified the client certificate CN=Zentrik Demo signed for by the card"

step "done: certificate, signature and the module's trace log are in $demo"
