#!/usr/bin/env bash
# TLS client authentication with the card key, the way users meet it: a
# 2048-bit key generated on the card, a certificate for it issued by a
# software CA and stored beside it, and `openssl s_server -Verify 1` on
# 127.0.0.1 that demands and checks the client certificate. For TLS 1.2 and
# TLS 1.3 each: OpenSSL s_client with the libp11 engine key, NSS tstclnt with
# the card's certificate, GnuTLS gnutls-cli with the key by pkcs11: URI (the
# module registered for p11-kit in the user's configuration). OpenSSL and
# GnuTLS sign the CertificateVerify with RSA-PSS whenever both sides offer it,
# and TLS 1.3 allows nothing else for RSA keys. Last, NSS tstclnt over TLS 1.3
# with a key made in software and imported without its public half.
source "$(dirname "$0")/common.sh"
require tstclnt modutil certutil gnutls-cli p11-kit
engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
[ -f "$engine" ] || fail "the libp11 engine is not installed ($engine; package libengine-pkcs11-openssl)"
clients_start

label="Zentrik 3.1 Ferrix"
key_uri="pkcs11:token=Zentrik%203.1%20Ferrix;object=tlsclient;type=private"
cert_uri="pkcs11:token=Zentrik%203.1%20Ferrix;object=tlsclient;type=cert"
client_cn="Zentrik TLS Client"

step "the card key and its certificate, issued by a software CA"
run tool_user --keypairgen --key-type rsa:2048 --id 7040 --label tlsclient
write_openssl_config openssl.cnf
# Only the card's side loads the engine; the CA and the server are plain
# OpenSSL.
engine_openssl() { OPENSSL_CONF=$work/openssl.cnf openssl "$@"; }
run openssl req -new -x509 -newkey rsa:2048 -nodes -keyout ca.key -subj "/CN=Zentrik TLS CA" -days 2 \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign -out ca.pem
run engine_openssl req -new -engine pkcs11 -keyform engine -key "$key_uri;pin-value=$USER_PIN" -subj "/CN=$client_cn" \
    -out client.csr
printf 'extendedKeyUsage=clientAuth\nkeyUsage=critical,digitalSignature\n' >client.ext
run openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -set_serial 40 -days 2 -extfile client.ext \
    -out client.pem
run openssl x509 -in client.pem -outform DER -out client.der
run tool_user --write-object client.der --type cert --id 7040 --label tlsclient
printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' >server.ext
run openssl req -new -newkey rsa:2048 -nodes -keyout server.key -subj "/CN=127.0.0.1" -out server.csr
run openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -set_serial 41 -days 2 -extfile server.ext \
    -out server.pem

step "NSS database with the module and the CA; p11-kit configuration for GnuTLS"
mkdir nssdb
printf '%s\n' "$USER_PIN" >pin.txt
run certutil -N -d sql:nssdb --empty-password
run modutil -dbdir sql:nssdb -add Zentrik -libfile "$module" -mechanisms FRIENDLY -force
run certutil -A -d sql:nssdb -n "Zentrik TLS CA" -t "CT,," -i ca.pem
# p11-kit reads a user's own module files, except in a program running as
# root: there, as in the install test, a private mount namespace puts a
# directory holding only our module file over the system's module files.
mkdir -p home/.config/pkcs11/modules p11-kit-modules
printf 'module: %s\n' "$module" | tee home/.config/pkcs11/modules/zentrik.module >p11-kit-modules/zentrik.module
p11_kit_module_dir=/usr/share/p11-kit/modules
if [ "$(id -u)" -eq 0 ]; then
    [ -d "$p11_kit_module_dir" ] || fail "no $p11_kit_module_dir to stand in for"
    unshare -m true 2>/dev/null || fail "running as root, but no mount namespace for the p11-kit registration"
fi

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# handshake NAME VERSION CLIENT...: serves one connection with
# `openssl s_server -Verify 1` limited to VERSION (1.2 or 1.3), runs the
# client against it and requires both the client and the server's check of
# the client certificate to succeed. The server is stopped by its PID.
handshake() {
    local name=$1 version=$2 port server_pid ready
    shift 2
    port=$(free_port)
    openssl s_server -accept "127.0.0.1:$port" -naccept 1 -cert server.pem \
        -key server.key -CAfile ca.pem -Verify 1 -verify_return_error "-tls1_${version#1.}" \
        -www >"server-$name.log" 2>&1 </dev/null &
    server_pid=$!
    ready=0
    for _ in $(seq 1 100); do
        if grep -q "ACCEPT" "server-$name.log" 2>/dev/null; then
            ready=1
            break
        fi
        sleep 0.05
    done
    [ $ready -eq 1 ] || { kill "$server_pid" 2>/dev/null; fail "s_server did not start:"$'\n'"$(cat "server-$name.log")"; }
    # A client that hangs (a handshake that never ends) fails after a while.
    if ! out=$(PORT=$port timeout -k 5 30 bash -c '"$@"' client "$@" 2>&1); then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        fail "$name over TLS $version failed:"$'\n'"$out"$'\n'"server:"$'\n'"$(cat "server-$name.log")"
    fi
    # s_server -naccept 1 ends after the connection; allow it a moment.
    for _ in $(seq 1 100); do
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.05
    done
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    # The page s_server -www sends describes the session; the server's log
    # shows that it checked the client's certificate.
    expect_in "$out" "HTTP/1.0 200 ok" "Protocol  : TLSv$version"
    local log
    log=$(cat "server-$name.log")
    expect_in "$log" "depth=0 CN = $client_cn" "1 server accepts that finished"
    expect_not_in "$log" "verify error" "alert"
}

# Each client asks for the page s_server -www answers with (after the
# handshake, which the server fails without a valid client certificate) and
# ends when the server closes the connection.
request=$'GET / HTTP/1.0\r\n\r\n'
export request key_uri cert_uri label USER_PIN work p11_kit_module_dir
openssl_client() {
    engine_openssl s_client -connect "127.0.0.1:$PORT" -engine pkcs11 -keyform engine \
        -key "$key_uri;pin-value=$USER_PIN" -cert client.pem -CAfile ca.pem -verify_return_error \
        -ign_eof <<<"$request"
}
printf '%s' "$request" >request.txt
# tstclnt ends at the server's close only when it reads the request from a
# file (-A); from standard input it keeps waiting.
nss_client() {
    tstclnt -h 127.0.0.1 -p "$PORT" -d sql:nssdb -n "$label:tlsclient" -w "$USER_PIN" -V "$1" -A request.txt \
        </dev/null
}
gnutls_client() {
    local command=(gnutls-cli --x509cafile ca.pem --x509keyfile "$key_uri;pin-value=$USER_PIN"
        --x509certfile "$cert_uri" --priority "$1" -p "$PORT" 127.0.0.1)
    if [ "$(id -u)" -ne 0 ]; then
        HOME=$work/home "${command[@]}" <<<"$request"
        return
    fi
    unshare -m bash -c 'mount --make-rprivate / && mount --bind "$1" "$2" && shift 2 && exec "$@"' \
        namespace "$work/p11-kit-modules" "$p11_kit_module_dir" "${command[@]}" <<<"$request"
}
# The clients run under timeout(1), in a shell of their own.
export -f engine_openssl openssl_client nss_client gnutls_client

for version in 1.2 1.3; do
    step "TLS $version: openssl s_client with the engine key"
    handshake "openssl-$version" "$version" openssl_client
    step "TLS $version: NSS tstclnt with the card's certificate"
    handshake "nss-$version" "$version" nss_client "tls$version:tls$version"
    step "TLS $version: GnuTLS gnutls-cli with the key by URI"
    handshake "gnutls-$version" "$version" gnutls_client "NORMAL:-VERS-ALL:+VERS-TLS$version"
done

# A key made in software and imported as certificate importers leave it:
# the private key without its public half (pkcs11-tool --write-object of a
# private key). NSS sizes an RSA-PSS signature from the private key's
# modulus, and TLS 1.3 allows nothing else for RSA keys.
step "a key imported without its public half"
run openssl req -new -newkey rsa:2048 -nodes -keyout imported.key -subj "/CN=Zentrik TLS imported" -out imported.csr
run openssl x509 -req -in imported.csr -CA ca.pem -CAkey ca.key -set_serial 42 -days 2 -extfile client.ext \
    -outform DER -out imported.der
run tool_user --write-object imported.key --type privkey --id 7041 --label imported
run tool_user --write-object imported.der --type cert --id 7041 --label imported
run tool_user --list-objects --type pubkey
expect_not_in "$out" "imported"
# NSS counts a certificate as a user's when it finds its key: without a
# login only a public key shows that, so this database does not mark the
# module friendly, and NSS logs in before it looks for the certificate
# (as Firefox does, asking for the PIN first).
mkdir nssdb-login
run certutil -N -d sql:nssdb-login --empty-password
run modutil -dbdir sql:nssdb-login -add Zentrik -libfile "$module" -force
run certutil -A -d sql:nssdb-login -n "Zentrik TLS CA" -t "CT,," -i ca.pem
imported_client() {
    tstclnt -h 127.0.0.1 -p "$PORT" -d sql:nssdb-login -n "$label:imported" -w "$USER_PIN" -V tls1.3:tls1.3 \
        -A request.txt </dev/null
}
export -f imported_client
step "TLS 1.3: NSS tstclnt signs with the imported key, with RSA-PSS"
client_cn="Zentrik TLS imported"
handshake nss-imported 1.3 imported_client
# What NSS asked of the module, from its trace log: one signature with the
# scheme it picked, CKM_RSA_PKCS_PSS (13) with SHA-256, MGF1 with SHA-256
# and a 32-byte salt (rsa_pss_rsae_sha256). An NSS that finds no modulus on
# the private key first sizes the signature by signing with CKM_RSA_PKCS.
mechanisms=$(grep -ho "pMechanism = .*" "$(ls -t log/vxpkcs11-tstclnt-*.log | head -1)")
[ "$mechanisms" = "pMechanism = [mechanismType=13, ulParametrLen=24, pParametr=500200000000000002000000000000002000000000000000]" ] ||
    fail "NSS did not sign the handshake in one RSA-PSS operation:"$'\n'"$mechanisms"

check_trace_log
