#include "cardcrypto.h"

#include <memory>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

namespace cardsim::crypto {
namespace {

struct BnFree {
    void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
    void operator()(BN_CTX* ctx) const { BN_CTX_free(ctx); }
};

Bn toBn(const Bytes& bytes) {
    return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

Bytes fromBn(const BIGNUM* bn) {
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, bytes.data());
    return bytes;
}

std::optional<Bytes> paddedFromBn(const BIGNUM* bn, std::size_t length) {
    Bytes bytes(length);
    if (BN_bn2binpad(bn, bytes.data(), static_cast<int>(length)) < 0) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<Bytes> pkeyParam(EVP_PKEY* pkey, const char* name) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(pkey, name, &value) != 1) {
        return std::nullopt;
    }
    Bn owned(value);
    return fromBn(owned.get());
}

}  // namespace

Bytes randomBytes(std::size_t count) {
    Bytes bytes(count);
    if (count > 0 && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
        throw std::runtime_error("no random bytes available");
    }
    return bytes;
}

std::optional<RsaKey> generateRsaKey(unsigned keySize, const Bytes& publicExponent) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr), EVP_PKEY_CTX_free);
    Bn exponent = toBn(publicExponent);
    if (!ctx || !exponent || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(keySize)) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get()) != 1) {
        return std::nullopt;
    }
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
        return std::nullopt;
    }
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(raw, EVP_PKEY_free);
    RsaKey key;
    auto n = pkeyParam(pkey.get(), OSSL_PKEY_PARAM_RSA_N);
    auto e = pkeyParam(pkey.get(), OSSL_PKEY_PARAM_RSA_E);
    auto p = pkeyParam(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR1);
    auto q = pkeyParam(pkey.get(), OSSL_PKEY_PARAM_RSA_FACTOR2);
    auto dp = pkeyParam(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1);
    auto dq = pkeyParam(pkey.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2);
    auto qinv = pkeyParam(pkey.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    if (!n || !e || !p || !q || !dp || !dq || !qinv || n->size() != keySize / 8) {
        return std::nullopt;
    }
    key.n = *n;
    key.e = *e;
    key.p = *p;
    key.q = *q;
    key.dp = *dp;
    key.dq = *dq;
    key.qinv = *qinv;
    return key;
}

std::optional<Bytes> rsaPrivate(const RsaKey& key, const Bytes& input, std::size_t outputLength) {
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    Bn p = toBn(key.p), q = toBn(key.q), dp = toBn(key.dp), dq = toBn(key.dq);
    Bn qinv = toBn(key.qinv), c = toBn(input);
    Bn n(BN_new()), m1(BN_new()), m2(BN_new()), h(BN_new()), m(BN_new());
    if (!ctx || !p || !q || !dp || !dq || !qinv || !c || !n || !m1 || !m2 || !h || !m) {
        return std::nullopt;
    }
    if (BN_is_zero(p.get()) || BN_is_zero(q.get())) {
        return std::nullopt;
    }
    if (key.hasPublic()) {
        Bn modulus = toBn(key.n);
        if (!modulus || !BN_copy(n.get(), modulus.get())) return std::nullopt;
    } else if (BN_mul(n.get(), p.get(), q.get(), ctx.get()) != 1) {
        return std::nullopt;
    }
    if (BN_cmp(c.get(), n.get()) >= 0) {
        return std::nullopt;
    }
    // m1 = c^dp mod p, m2 = c^dq mod q, h = qinv (m1 - m2) mod p, m = m2 + h q
    if (BN_mod_exp(m1.get(), c.get(), dp.get(), p.get(), ctx.get()) != 1 ||
        BN_mod_exp(m2.get(), c.get(), dq.get(), q.get(), ctx.get()) != 1 ||
        BN_mod_sub(h.get(), m1.get(), m2.get(), p.get(), ctx.get()) != 1 ||
        BN_mod_mul(h.get(), h.get(), qinv.get(), p.get(), ctx.get()) != 1 ||
        BN_mul(m.get(), h.get(), q.get(), ctx.get()) != 1 ||
        BN_add(m.get(), m.get(), m2.get()) != 1) {
        return std::nullopt;
    }
    return paddedFromBn(m.get(), outputLength);
}

std::optional<Bytes> rsaPublic(const Bytes& nBytes, const Bytes& eBytes, const Bytes& input) {
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    Bn n = toBn(nBytes), e = toBn(eBytes), c = toBn(input), m(BN_new());
    if (!ctx || !n || !e || !c || !m || BN_is_zero(n.get()) || BN_cmp(c.get(), n.get()) >= 0 ||
        BN_mod_exp(m.get(), c.get(), e.get(), n.get(), ctx.get()) != 1) {
        return std::nullopt;
    }
    return paddedFromBn(m.get(), nBytes.size());
}

bool keyIsConsistent(const RsaKey& key) {
    if (!key.hasPrivate()) {
        return true;
    }
    std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
    Bn p = toBn(key.p), q = toBn(key.q), product(BN_new());
    if (!ctx || !p || !q || !product || BN_is_zero(p.get()) || BN_is_zero(q.get()) ||
        key.dp.empty() || key.dq.empty() || key.qinv.empty()) {
        return false;
    }
    if (!key.hasPublic()) {
        return true;
    }
    Bn n = toBn(key.n);
    return n && BN_mul(product.get(), p.get(), q.get(), ctx.get()) == 1 &&
           BN_cmp(product.get(), n.get()) == 0;
}

std::optional<Bytes> tripleDesEncrypt(const Bytes& key24, const Bytes& block8) {
    if (key24.size() != 24 || block8.size() != 8) {
        return std::nullopt;
    }
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    Bytes out(16);
    int length = 0;
    if (!ctx ||
        EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key24.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data(), &length, block8.data(), 8) != 1 || length != 8) {
        return std::nullopt;
    }
    out.resize(8);
    return out;
}

}  // namespace cardsim::crypto
