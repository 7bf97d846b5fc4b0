#include "stresscrypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>
#include <stdexcept>

namespace stress {
namespace {

template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, decltype([](T* p) { Free(p); })>;

EVP_PKEY* issuerKey() {
    static std::once_flag once;
    static EVP_PKEY* key = nullptr;
    std::call_once(once, [] { key = EVP_RSA_gen(1024); });
    if (key == nullptr) throw std::runtime_error("OpenSSL could not make a certificate key");
    return key;
}

}  // namespace

Bytes makeCertificate(const std::string& commonName) {
    Owned<X509, X509_free> cert(X509_new());
    if (!cert) throw std::runtime_error("X509_new failed");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), issuerKey());
    if (X509_sign(cert.get(), issuerKey(), EVP_sha256()) <= 0) throw std::runtime_error("X509_sign failed");
    const int length = i2d_X509(cert.get(), nullptr);
    if (length <= 0) throw std::runtime_error("i2d_X509 failed");
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    i2d_X509(cert.get(), &out);
    return der;
}

bool verifySignature(const Bytes& n, const Bytes& e, const Bytes& data, const Bytes& signature) {
    Owned<BIGNUM, BN_free> bn(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
    Owned<BIGNUM, BN_free> be(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
    Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free> build(OSSL_PARAM_BLD_new());
    if (!bn || !be || !build) return false;
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, bn.get());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, be.get());
    Owned<OSSL_PARAM, OSSL_PARAM_free> params(OSSL_PARAM_BLD_to_param(build.get()));
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> fromData(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata_init(fromData.get()) != 1 ||
        EVP_PKEY_fromdata(fromData.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return false;
    Owned<EVP_PKEY, EVP_PKEY_free> key(raw);
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    Bytes recovered(n.size());
    std::size_t length = recovered.size();
    if (EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &length, signature.data(), signature.size()) != 1)
        return false;
    recovered.resize(length);
    return recovered == data;
}

Bytes randomBytes(std::size_t count) {
    Bytes bytes(count);
    if (count > 0 && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1)
        throw std::runtime_error("RAND_bytes failed");
    return bytes;
}

}  // namespace stress
