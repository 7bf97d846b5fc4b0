#!/usr/bin/env bash
# OpenSC's pkcs11-tool through the module: lists the token, logs in, generates
# a 2048-bit key on the card, signs and decrypts with it (OpenSSL checks both
# with the public key), writes, reads and deletes a certificate and a data
# object, and changes the PIN and back.
source "$(dirname "$0")/common.sh"
clients_start

step "list slots and the token"
run tool --list-token-slots
expect_in "$out" "Zentrik 3.1 Ferrix" "5A454E54494B3031" "Zentrik Virtual 00 00"
run tool --list-mechanisms
expect_in "$out" "RSA-PKCS-KEY-PAIR-GEN" "RSA-PKCS"

step "log in"
run tool_user --show-info
expect_not_in "$out" "error" "CKR_"
expect_failure tool --login --pin 999999 --list-objects
expect_in "$out" "CKR_PIN_INCORRECT"

step "generate a 2048-bit key pair on the card"
run tool_user --keypairgen --key-type rsa:2048 --id 7001 --label toolkey
expect_in "$out" "Key pair generated" "toolkey"
run tool --read-object --type pubkey --id 7001 --output-file pub.der
run openssl pkey -pubin -inform DER -in pub.der -out pub.pem
run openssl pkey -pubin -in pub.pem -noout -text
expect_in "$out" "Public-Key: (2048 bit)"

step "sign with the card key, verify with OpenSSL"
echo "signed by pkcs11-tool" >message.txt
# The card signs with CKM_RSA_PKCS: the input is the SHA-256 DigestInfo.
digest_info message.txt >message.info
run tool_user --sign -m RSA-PKCS --id 7001 --input-file message.info --output-file message.sig
[ "$(stat -c %s message.sig)" -eq 256 ] || fail "signature is not 256 bytes"
run openssl dgst -sha256 -verify pub.pem -signature message.sig message.txt
expect_in "$out" "Verified OK"

step "decrypt on the card what OpenSSL encrypted"
echo "decrypted by pkcs11-tool" >secret.txt
run openssl pkeyutl -encrypt -pubin -inkey pub.pem -in secret.txt -out secret.enc
run tool_user --decrypt -m RSA-PKCS --id 7001 --input-file secret.enc --output-file secret.dec
same_files secret.txt secret.dec

step "pkcs11-tool --test finds no error"
# Among its checks, multi-part signing: the raw mechanisms answer that it is
# not supported, which it notes as a warning.
run tool_user --test
expect_in "$out" "No errors"

step "import a key pair made by OpenSSL and sign with it"
run openssl genrsa -out imported.pem 1024
run openssl rsa -in imported.pem -outform DER -out imported.der
run openssl rsa -in imported.pem -pubout -outform DER -out imported-pub.der
run openssl rsa -in imported.pem -pubout -out imported-pub.pem
run tool_user --write-object imported.der --type privkey --id 7003 --label imported
run tool_user --write-object imported-pub.der --type pubkey --id 7003 --label imported
run tool_user --sign -m RSA-PKCS --id 7003 --input-file message.info --output-file imported.sig
run openssl dgst -sha256 -verify imported-pub.pem -signature imported.sig message.txt
expect_in "$out" "Verified OK"

step "draw random bytes"
run tool --generate-random 32 --output-file random.bin
[ "$(stat -c %s random.bin)" -eq 32 ] || fail "not 32 random bytes"
[ "$(od -An -tx1 random.bin | tr -d ' \n')" != "$(printf '0%.0s' $(seq 64))" ] || fail "random bytes are all zero"

step "write a certificate and a data object, list and read them back"
run openssl req -new -x509 -newkey rsa:1024 -nodes -keyout other.key -subj "/CN=Zentrik Tool Cert" \
    -days 2 -outform DER -out cert.der
echo "a note on the card" >note.txt
run tool_user --write-object cert.der --type cert --id 7002 --label toolcert
run tool_user --write-object note.txt --type data --label toolnote
run tool_user --list-objects
expect_in "$out" "Private Key Object" "Public Key Object" "toolkey" "Certificate Object" "toolcert" \
    "Data object" "toolnote" "7001" "7002"
# Without a login the private key stays hidden.
run tool --list-objects
expect_not_in "$out" "Private Key Object"
expect_in "$out" "toolcert"
run tool --read-object --type cert --id 7002 --output-file cert.read
same_files cert.der cert.read
run tool_user --read-object --type data --label toolnote --output-file note.read
same_files note.txt note.read

step "delete the objects"
run tool_user --delete-object --type data --label toolnote
run tool_user --delete-object --type cert --id 7002
run tool_user --delete-object --type privkey --id 7003
run tool_user --delete-object --type pubkey --id 7003
run tool_user --list-objects
expect_not_in "$out" "toolnote" "toolcert" "7003"
expect_in "$out" "toolkey"

step "change the PIN and back"
run tool_user --change-pin --new-pin 60553322
expect_in "$out" "PIN successfully changed"
expect_failure tool --login --pin "$USER_PIN" --list-objects
expect_in "$out" "CKR_PIN_INCORRECT"
run tool --login --pin 60553322 --change-pin --new-pin "$USER_PIN"
run tool_user --list-objects
expect_in "$out" "toolkey"

check_trace_log 60553322
