#!/usr/bin/env bash
# PyKCS11: lists the slots and the token, logs in, generates a key pair on
# the card, reads the public key, signs, decrypts, draws random bytes and
# destroys the keys (pykcs11_flow.py). OpenSSL checks the signature and makes
# the ciphertext.
source "$(dirname "$0")/common.sh"
python=/usr/bin/python3
"$python" -c 'import PyKCS11' 2>/dev/null || fail "PyKCS11 is not installed for $python (package python3-pykcs11)"
clients_start

step "run the PyKCS11 flow"
echo "signed by PyKCS11" >message.txt
digest_info message.txt >message.info
run "$python" "$ZENTRIK_SOURCE/tests/clients/pykcs11_flow.py" "$module" "$SLOT" "$USER_PIN" message.info public.der \
    message.sig secret.dec
echo "$out"
expect_in "$out" "token=Zentrik 3.1 Ferrix" "serial=5A454E54494B3031" "mechanisms=CKM_RSA_PKCS" \
    "generated" "destroyed"

step "check the signature and the decryption with OpenSSL"
run openssl pkey -pubin -inform DER -in public.der -out public.pem
run openssl pkey -pubin -in public.pem -noout -text
expect_in "$out" "Public-Key: (1024 bit)"
run openssl dgst -sha256 -verify public.pem -signature message.sig message.txt
expect_in "$out" "Verified OK"
grep -qx "plaintext=decrypted by PyKCS11" secret.dec || fail "decryption gave: $(cat secret.dec)"

check_trace_log
