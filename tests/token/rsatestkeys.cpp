#include "rsatestkeys.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <memory>
#include <stdexcept>

namespace tokentest {

namespace {

template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, decltype([](T* p) { Free(p); })>;

Bytes bnParam(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) {
        throw std::runtime_error(std::string("no RSA parameter ") + name);
    }
    Owned<BIGNUM, BN_free> value(raw);
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(value.get())));
    BN_bn2bin(value.get(), bytes.data());
    return bytes;
}

}  // namespace

RsaKey generateRsaKey(int bits) {
    Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    if (!key) {
        throw std::runtime_error("RSA key generation failed");
    }
    RsaKey out;
    out.n = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_N);
    out.e = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_E);
    out.p = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1);
    out.q = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2);
    out.dp = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1);
    out.dq = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2);
    out.qinv = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    return out;
}

Bytes sha256(const Bytes& data) {
    Bytes digest(SHA256_DIGEST_LENGTH);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

Bytes pkcs1SignatureBlock(const Bytes& digest, std::size_t modulusLength) {
    static const Bytes prefix = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes info = prefix;
    info.insert(info.end(), digest.begin(), digest.end());
    Bytes block(modulusLength, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    block[modulusLength - info.size() - 1] = 0x00;
    std::copy(info.begin(), info.end(), block.end() - static_cast<std::ptrdiff_t>(info.size()));
    return block;
}

bool verifySha256Signature(const Bytes& n, const Bytes& e, const Bytes& digest,
                           const Bytes& signature) {
    Owned<BIGNUM, BN_free> bn(BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr));
    Owned<BIGNUM, BN_free> be(BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr));
    Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free> build(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, bn.get());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, be.get());
    Owned<OSSL_PARAM, OSSL_PARAM_free> params(OSSL_PARAM_BLD_to_param(build.get()));
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> fromData(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata_init(fromData.get()) != 1 ||
        EVP_PKEY_fromdata(fromData.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return false;
    }
    Owned<EVP_PKEY, EVP_PKEY_free> key(raw);
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1) {
        return false;
    }
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(),
                           digest.size()) == 1;
}

}  // namespace tokentest
