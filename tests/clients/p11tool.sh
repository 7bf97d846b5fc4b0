#!/usr/bin/env bash
# GnuTLS p11tool, pointed at the module with --provider: lists the token and
# its objects (public ones without a login, the private key with one), and
# exports the certificate and the public key, which must match what was
# stored.
source "$(dirname "$0")/common.sh"
require p11tool
clients_start

p11() { p11tool --provider "$module" "$@"; }
token="pkcs11:token=Zentrik%203.1%20Ferrix"

step "store a key pair and a certificate with pkcs11-tool"
run tool_user --keypairgen --key-type rsa:1024 --id 7020 --label gnutlskey
run tool --read-object --type pubkey --id 7020 --output-file pub.der
run openssl pkey -pubin -inform DER -in pub.der -out pub.pem
run openssl req -new -x509 -newkey rsa:1024 -nodes -keyout other.key -subj "/CN=Zentrik GnuTLS" \
    -days 2 -out cert.pem
run openssl x509 -in cert.pem -outform DER -out cert.der
run tool_user --write-object cert.der --type cert --id 7021 --label gnutlscert

step "list the tokens"
run p11 --list-tokens
expect_in "$out" "Zentrik 3.1 Ferrix" "Velmoran" "5A454E54494B3031" "Type: Hardware token"

step "list the objects without a login"
run p11 --list-all "$token"
expect_in "$out" "Type: X.509 Certificate" "Label: gnutlscert" "Type: Public key (RSA-1024)" "Label: gnutlskey"
expect_not_in "$out" "Type: Private key"

step "list the private keys with a login"
export GNUTLS_PIN=$USER_PIN
run p11 --login --list-privkeys "$token"
expect_in "$out" "Type: Private key (RSA-1024)" "Label: gnutlskey" "ID: 70:20"

step "export the certificate and the public key"
run p11 --export "$token;object=gnutlscert;type=cert"
[ "$(openssl x509 -fingerprint -sha256 -noout <<<"$out")" = "$(openssl x509 -fingerprint -sha256 -noout -in cert.pem)" ] ||
    fail "the exported certificate differs:"$'\n'"$out"
run p11 --export-pubkey "$token;object=gnutlskey;type=public"
expect_in "$out" "$(sed '1d;$d' pub.pem)"

check_trace_log
