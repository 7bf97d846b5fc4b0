// load_cert_by_uri URI OUT.der: loads a certificate through OpenSSL's libp11
// engine (configured by OPENSSL_CONF) and writes its DER encoding, as an
// application using the engine would. Exits 0 on success.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/conf.h>
#include <openssl/engine.h>
#include <openssl/x509.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URI OUT.der\n", argv[0]);
        return 2;
    }
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    ENGINE* engine = ENGINE_by_id("pkcs11");
    if (engine == nullptr || !ENGINE_init(engine)) {
        std::fprintf(stderr, "the pkcs11 engine cannot be loaded\n");
        return 1;
    }
    struct {
        const char* uri;
        X509* certificate;
    } request{argv[1], nullptr};
    const int loaded = ENGINE_ctrl_cmd(engine, "LOAD_CERT_CTRL", 0, &request, nullptr, 1);
    int status = 1;
    if (loaded && request.certificate != nullptr) {
        std::FILE* out = std::fopen(argv[2], "wb");
        if (out != nullptr && i2d_X509_fp(out, request.certificate) == 1) status = 0;
        if (out != nullptr) std::fclose(out);
        X509_free(request.certificate);
    } else {
        std::fprintf(stderr, "no certificate for %s\n", argv[1]);
    }
    ENGINE_finish(engine);
    ENGINE_free(engine);
    return status;
}
