#!/usr/bin/env bash
# Smart-card login through PAM: pam_pkcs11 with the module, a software CA it
# trusts and a certificate on the card that maps to the user, driven by
# pamtester. The right PIN logs in; a wrong PIN, and a certificate from the
# same CA for a key that is not the card's (stored under the card key's ID,
# so that the card's challenge signature does not verify), are refused.
# The service file lives in a private mount namespace in which a directory
# of the flow's own stands for /etc/pam.d, so no other program on the
# machine sees it; pam_pkcs11 reads its configuration from the flow's
# directory (config_file=).
source "$(dirname "$0")/common.sh"
require pamtester unshare mount
compgen -G "/lib/*/security/pam_pkcs11.so" >/dev/null || compgen -G "/usr/lib/*/security/pam_pkcs11.so" >/dev/null ||
    fail "pam_pkcs11 is not installed (package libpam-pkcs11)"
[ "$(id -u)" -eq 0 ] || fail "the PAM login needs root for a private /etc/pam.d"
clients_start

user=zentrik-pam
client_cn="Zentrik PAM User"
step "the card key and its certificate, issued by a software CA"
make_test_ca "Zentrik PAM CA"
card_key_with_certificate 7060 pamlogin "$client_cn"

step "pam_pkcs11 configuration and the service file"
mkdir cacerts crls pam.d
cp ca.pem cacerts/
run openssl rehash cacerts
printf '%s -> %s\n' "$client_cn" "$user" >cn_map
cat >pam_pkcs11.conf <<CONF
pam_pkcs11 {
  nullok = false;
  debug = false;
  use_first_pass = false;
  try_first_pass = false;
  use_authtok = false;
  card_only = true;
  wait_for_card = false;
  use_pkcs11_module = zentrik;
  pkcs11_module zentrik {
    module = $module;
    description = "Zentrik";
    slot_num = 0;
    support_threads = true;
    ca_dir = $work/cacerts;
    crl_dir = $work/crls;
    cert_policy = ca,signature;
  }
  use_mappers = cn;
  mapper cn {
    debug = false;
    module = internal;
    ignorecase = false;
    mapfile = file://$work/cn_map;
  }
}
CONF
printf 'auth required pam_pkcs11.so config_file=%s\n' "$work/pam_pkcs11.conf" >pam.d/zentrik-login

# login PIN: pamtester authenticates the user through the service, the PIN
# answering pam_pkcs11's prompt; the output is left in $out.
login() {
    out=$(printf '%s\n' "$1" | unshare -m sh -c \
        'mount --make-rprivate / && mount --bind "$0" /etc/pam.d && exec pamtester zentrik-login "$1" authenticate' \
        "$work/pam.d" "$user" 2>&1)
}

step "the right PIN logs in"
login "$USER_PIN" || fail "pamtester refused the right PIN:"$'\n'"$out"
expect_in "$out" "Welcome Zentrik 3.1 Ferrix!" "Checking signature" "pamtester: successfully authenticated"
step "a wrong PIN is refused"
if login 99999999; then fail "pamtester accepted a wrong PIN:"$'\n'"$out"; fi
expect_in "$out" "Wrong smartcard PIN" "pamtester: Authentication failure"

step "a certificate of another key is refused"
run openssl req -new -newkey rsa:2048 -nodes -keyout other.key -subj "/CN=$client_cn" -out other.csr
ca_issue other.csr 0x7061 other.pem extendedKeyUsage=clientAuth keyUsage=critical,digitalSignature
run openssl x509 -in other.pem -outform DER -out other.der
run tool_user --delete-object --type cert --id 7060
run tool_user --write-object other.der --type cert --id 7060 --label pamlogin
if login "$USER_PIN"; then fail "pamtester accepted a certificate of another key:"$'\n'"$out"; fi
expect_in "$out" "Verifying signature failed" "pamtester: Authentication failure"

check_trace_log 99999999
