#include "cryptohelpers.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>

#include "rsatestkeys.h"

namespace sessiontest {
namespace {

template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, decltype([](T* p) { Free(p); })>;

Owned<EVP_PKEY, EVP_PKEY_free> opensslKey(const PublicKey& key) {
    Owned<BIGNUM, BN_free> n(BN_bin2bn(key.n.data(), static_cast<int>(key.n.size()), nullptr));
    Owned<BIGNUM, BN_free> e(BN_bin2bn(key.e.data(), static_cast<int>(key.e.size()), nullptr));
    Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free> build(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
    Owned<OSSL_PARAM, OSSL_PARAM_free> params(OSSL_PARAM_BLD_to_param(build.get()));
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        ADD_FAILURE() << "OpenSSL refused the public key";
    }
    return Owned<EVP_PKEY, EVP_PKEY_free>(raw);
}

}  // namespace

Template GenerationRequest::publicTemplate() const {
    Template t;
    t.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addBool(CKA_TOKEN, true).addUlong(CKA_MODULUS_BITS, bits)
        .addBool(CKA_VERIFY, true).addBool(CKA_ENCRYPT, decrypt).add(CKA_LABEL, "generated public");
    if (!id.empty()) t.add(CKA_ID, id);
    return t;
}

Template GenerationRequest::privateTemplate() const {
    Template t;
    t.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addBool(CKA_TOKEN, true).addBool(CKA_PRIVATE, true)
        .addBool(CKA_SIGN, sign).addBool(CKA_DECRYPT, decrypt).add(CKA_LABEL, "generated private");
    if (!id.empty()) t.add(CKA_ID, id);
    return t;
}

CK_RV generateKeyPair(CK_SESSION_HANDLE session, Template publicKey, Template privateKey, KeyHandles& out) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    return p11()->C_GenerateKeyPair(session, &mechanism, publicKey.data(), publicKey.size(), privateKey.data(),
                                    privateKey.size(), &out.publicKey, &out.privateKey);
}

KeyHandles generateOnCard(CK_SESSION_HANDLE session, const GenerationRequest& request) {
    KeyHandles keys;
    EXPECT_EQ(CKR_OK, generateKeyPair(session, request.publicTemplate(), request.privateTemplate(), keys));
    EXPECT_NE(0u, keys.publicKey);
    EXPECT_NE(0u, keys.privateKey);
    return keys;
}

CK_RV signInit(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    return p11()->C_SignInit(session, &mechanism, key);
}

CK_RV sign(CK_SESSION_HANDLE session, const Bytes& data, Bytes& signature) {
    signature.assign(256, 0);
    CK_ULONG length = signature.size();
    const CK_RV rv = p11()->C_Sign(session, const_cast<CK_BYTE_PTR>(data.data()), data.size(), signature.data(),
                                   &length);
    signature.resize(rv == CKR_OK ? length : 0);
    return rv;
}

CK_RV decryptInit(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    return p11()->C_DecryptInit(session, &mechanism, key);
}

CK_RV decrypt(CK_SESSION_HANDLE session, const Bytes& encrypted, Bytes& message, CK_ULONG bufferSize) {
    message.assign(bufferSize, 0);
    CK_ULONG length = bufferSize;
    const CK_RV rv = p11()->C_Decrypt(session, const_cast<CK_BYTE_PTR>(encrypted.data()), encrypted.size(),
                                      message.data(), &length);
    message.resize(rv == CKR_OK ? length : 0);
    return rv;
}

PublicKey publicKeyOf(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key) {
    return PublicKey{attribute(session, key, CKA_MODULUS), attribute(session, key, CKA_PUBLIC_EXPONENT)};
}

Bytes encryptWith(const PublicKey& key, const Bytes& data, bool padded) {
    auto pkey = opensslKey(key);
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    Bytes out(key.n.size());
    std::size_t length = out.size();
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padded ? RSA_PKCS1_PADDING : RSA_NO_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), out.data(), &length, data.data(), data.size()) != 1) {
        ADD_FAILURE() << "OpenSSL could not encrypt";
        return {};
    }
    out.resize(length);
    return out;
}

Bytes recoverSigned(const PublicKey& key, const Bytes& signature) {
    auto pkey = opensslKey(key);
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    Bytes out(key.n.size());
    std::size_t length = out.size();
    if (EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(ctx.get(), out.data(), &length, signature.data(), signature.size()) != 1) {
        return {};
    }
    out.resize(length);
    return out;
}

Bytes sha256DigestInfo(const Bytes& data) {
    static const Bytes prefix = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes info = prefix;
    const Bytes digest = tokentest::sha256(data);
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
}

Bytes opensslDigest(const char* digest, const Bytes& data) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_get_digestbyname(digest), nullptr) != 1) {
        ADD_FAILURE() << "OpenSSL could not hash with " << digest;
        return {};
    }
    out.resize(length);
    return out;
}

bool opensslVerifies(const PublicKey& key, const SignatureForm& form, const Bytes& data, const Bytes& signature) {
    auto pkey = opensslKey(key);
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    const EVP_MD* md = EVP_get_digestbyname(form.digest);
    const Bytes hash = form.dataIsHash ? data : opensslDigest(form.digest, data);
    if (EVP_PKEY_verify_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), form.pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1) {
        ADD_FAILURE() << "OpenSSL refused the verification setup";
        return false;
    }
    if (form.pss && (EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_get_digestbyname(form.mgfDigest ? form.mgfDigest
                                                                                                   : form.digest)) != 1 ||
                     EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), form.saltLength) != 1)) {
        ADD_FAILURE() << "OpenSSL refused the PSS parameters";
        return false;
    }
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

Bytes encryptOaep(const PublicKey& key, const char* digest, const Bytes& message, const Bytes& label) {
    auto pkey = opensslKey(key);
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(pkey.get(), nullptr));
    const EVP_MD* md = EVP_get_digestbyname(digest);
    Bytes out(key.n.size());
    std::size_t length = out.size();
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), md) != 1 || EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) != 1) {
        ADD_FAILURE() << "OpenSSL refused the OAEP setup";
        return {};
    }
    if (!label.empty()) {
        // OpenSSL takes ownership of the label.
        auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(label.data(), label.size()));
        if (EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), copy, static_cast<int>(label.size())) != 1) {
            OPENSSL_free(copy);
            ADD_FAILURE() << "OpenSSL refused the label";
            return {};
        }
    }
    if (EVP_PKEY_encrypt(ctx.get(), out.data(), &length, message.data(), message.size()) != 1) {
        ADD_FAILURE() << "OpenSSL could not encrypt with OAEP";
        return {};
    }
    out.resize(length);
    return out;
}

std::string hexText(const Bytes& bytes, bool upper) {
    std::string text;
    char pair[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", byte);
        text += pair;
    }
    return text;
}

}  // namespace sessiontest
