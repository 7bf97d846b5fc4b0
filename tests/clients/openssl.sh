#!/usr/bin/env bash
# OpenSSL 3 through the libp11 engine: loads the card's private and public
# key by pkcs11: URI, signs a certificate request and a self-signed
# certificate with the card key, verifies both with plain OpenSSL, stores the
# certificate on the card and loads it back by URI, and signs a file.
# Arguments: the load_cert_by_uri helper program.
source "$(dirname "$0")/common.sh"
load_cert_by_uri=${1:?usage: openssl.sh LOAD_CERT_BY_URI}
engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
[ -f "$engine" ] || fail "the libp11 engine is not installed ($engine; package libengine-pkcs11-openssl)"
[ -x "$load_cert_by_uri" ] || fail "no helper program $load_cert_by_uri"
clients_start

write_openssl_config openssl.cnf
export OPENSSL_CONF=$work/openssl.cnf
key="pkcs11:id=%70%10;type=private;pin-value=$USER_PIN"

step "generate the card key with pkcs11-tool"
run tool_user --keypairgen --key-type rsa:2048 --id 7010 --label sslkey
run tool --read-object --type pubkey --id 7010 --output-file pub.der
run openssl pkey -pubin -inform DER -in pub.der -out pub.pem

step "load the private and the public key by URI"
run openssl pkey -engine pkcs11 -inform engine -in "$key" -pubout -out loaded-private.pem
same_files pub.pem loaded-private.pem
run openssl pkey -engine pkcs11 -inform engine -pubin -in "pkcs11:object=sslkey;type=public" -pubout \
    -out loaded-public.pem
same_files pub.pem loaded-public.pem

step "sign a certificate request with the card key"
run openssl req -new -engine pkcs11 -keyform engine -key "$key" -subj "/CN=Zentrik Request" -out request.pem
run openssl req -verify -noout -in request.pem
expect_in "$out" "verify OK"
run openssl req -noout -pubkey -in request.pem
expect_in "$out" "$(cat pub.pem)"

step "make a self-signed certificate with the card key"
run openssl req -new -x509 -days 2 -engine pkcs11 -keyform engine -key "$key" -subj "/CN=Zentrik Card CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,digitalSignature \
    -out cert.pem
run openssl verify -CAfile cert.pem cert.pem
expect_in "$out" "cert.pem: OK"
run openssl x509 -in cert.pem -noout -pubkey
expect_in "$out" "$(cat pub.pem)"

step "store the certificate on the card and load it by URI"
run openssl x509 -in cert.pem -outform DER -out cert.der
run tool_user --write-object cert.der --type cert --id 7010 --label sslkey
run "$load_cert_by_uri" "pkcs11:object=sslkey;type=cert" loaded.der
same_files cert.der loaded.der

step "sign a file with the card key, verify with OpenSSL"
echo "signed through the engine" >message.txt
run openssl dgst -sha256 -engine pkcs11 -keyform engine -sign "$key" -out message.sig message.txt
run openssl dgst -sha256 -verify pub.pem -signature message.sig message.txt
expect_in "$out" "Verified OK"
# A certificate issued by the card CA to a software key.
run openssl req -new -newkey rsa:1024 -nodes -keyout leaf.key -subj "/CN=Zentrik Leaf" -out leaf.csr
run openssl x509 -req -in leaf.csr -engine pkcs11 -CAkeyform engine -CAkey "$key" -CA cert.pem \
    -set_serial 7 -days 1 -out leaf.pem
run openssl verify -CAfile cert.pem leaf.pem
expect_in "$out" "leaf.pem: OK"

check_trace_log
