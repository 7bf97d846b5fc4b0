#!/usr/bin/env bash
# NSS: the module is added to a fresh NSS database with modutil; certutil
# lists the card's certificates (one of them X.509 version 1) and key; certutil issues a certificate signed
# by the card key and cmsutil signs a message with it; OpenSSL verifies both.
source "$(dirname "$0")/common.sh"
require modutil certutil cmsutil
clients_start

label="Zentrik 3.1 Ferrix"
nick="$label:nsscard"

step "a card CA: key pair on the card, self-signed certificate stored beside it"
run tool_user --keypairgen --key-type rsa:2048 --id 7030 --label nsscard
write_openssl_config openssl.cnf
run env OPENSSL_CONF="$work/openssl.cnf" openssl req -new -x509 -days 2 -engine pkcs11 -keyform engine \
    -key "pkcs11:id=%70%30;type=private;pin-value=$USER_PIN" -subj "/CN=Zentrik NSS CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,digitalSignature,keyEncipherment -out ca.pem
run openssl x509 -in ca.pem -outform DER -out ca.der
run tool_user --write-object ca.der --type cert --id 7030 --label nsscard

step "modutil: a fresh NSS database with the module"
mkdir nssdb
printf '%s\n' "$USER_PIN" >pin.txt
run certutil -N -d sql:nssdb --empty-password
# FRIENDLY: the card's certificates are public, so NSS reads them without a
# login (certutil -C looks up its issuer without a password callback).
run modutil -dbdir sql:nssdb -add Zentrik -libfile "$module" -mechanisms FRIENDLY -force
expect_in "$out" "Module \"Zentrik\" added to database"
# modutil exits non-zero because the empty readers have no token to describe.
out=$(modutil -dbdir sql:nssdb -list Zentrik 2>&1) || true
expect_in "$out" "Library file: $module" "PKCS #11 Version 2.20" "Slot: Zentrik Virtual 00 00" \
    "Token Name: $label" "Token Serial Number: 5A454E54494B3031" "User Pin: Initialized" \
    "Default Mechanism Flags: FRIENDLY"

step "certutil lists the card's certificate and key"
run certutil -L -d sql:nssdb -h "$label" -f pin.txt
expect_in "$out" "$nick"
run certutil -K -d sql:nssdb -h "$label" -f pin.txt
expect_in "$out" "rsa" "nsscard"

step "an X.509 version 1 certificate on the card is listed beside it"
# openssl x509 -req without extensions makes a version 1 certificate: its
# to-be-signed part has no version element.
run openssl req -new -newkey rsa:1024 -nodes -keyout v1.key -subj "/CN=Zentrik NSS V1" -out v1.csr
run openssl x509 -req -in v1.csr -signkey v1.key -days 2 -outform DER -out v1.der
run tool_user --write-object v1.der --type cert --id 7031 --label nssv1
run certutil -L -d sql:nssdb -h "$label" -f pin.txt
expect_in "$out" "$nick" "$label:nssv1"

step "certutil issues a certificate signed by the card key"
run openssl req -new -newkey rsa:1024 -nodes -keyout leaf.key -subj "/CN=Zentrik NSS Leaf" -outform DER \
    -out leaf.csr
run certutil -C -d sql:nssdb -f pin.txt -c "$nick" -i leaf.csr -o leaf.der -m 4711 -v 1 -Z SHA256
run openssl x509 -inform DER -in leaf.der -out leaf.pem
run openssl verify -CAfile ca.pem leaf.pem
expect_in "$out" "leaf.pem: OK"

step "cmsutil signs a message with the card key"
# The signer's certificate must chain to a trusted one: trust the card CA.
run certutil -M -d sql:nssdb -f pin.txt -n "$nick" -t "CT,C,C"
run certutil -L -d sql:nssdb -f pin.txt
expect_in "$out" "nsscard" "CT,C,C"
echo "signed by NSS with the card" >message.txt
run cmsutil -S -d sql:nssdb -f pin.txt -N "$nick" -H SHA256 -T -i message.txt -o message.p7s
run openssl cms -verify -inform DER -in message.p7s -content message.txt -binary -CAfile ca.pem \
    -purpose any -out verified.txt
same_files message.txt verified.txt

check_trace_log
