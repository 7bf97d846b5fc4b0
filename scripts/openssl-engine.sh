# Sourced, not run, by the demo, the workload benchmark and the client tests.
# write_openssl_engine_config FILE MODULE: an OpenSSL configuration that loads
# the libp11 engine with MODULE (and lets "openssl req" take its subject from
# the command line).
write_openssl_engine_config() {
    cat >"$1" <<CONFIG
openssl_conf = init
[init]
engines = engines
[engines]
pkcs11 = pkcs11
[pkcs11]
engine_id = pkcs11
MODULE_PATH = $2
init = 0
[req]
distinguished_name = dn
[dn]
CONFIG
}
