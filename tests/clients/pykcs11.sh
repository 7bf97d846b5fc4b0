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

step "with the card in the second reader, only its slot has a token"
# The readers are slots 0 and 1 in pcscd's order; python-pkcs11 and
# ssh-keygen -D take the first slot a token-present list names.
"$bench_sh" remove "$bench_dir" "Zentrik Virtual 00 00"
"$bench_sh" insert "$bench_dir" "Zentrik Virtual 00 01" "$bench_dir/card.img"
run "$python" - "$module" <<'EOF'
import sys
import PyKCS11
lib = PyKCS11.PyKCS11Lib()
lib.load(sys.argv[1])
present = lib.getSlotList(tokenPresent=True)
print(f"present={present}")
print(f"all={lib.getSlotList()}")
print("token=" + lib.getTokenInfo(present[0]).label.strip())
EOF
expect_in "$out" "present=[1]" "all=[0, 1, 2, 3, 4, 5]" "token=Zentrik 3.1 Ferrix"

check_trace_log
