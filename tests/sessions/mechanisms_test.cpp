// The RSA mechanisms beyond CKM_RSA_PKCS through the module's function list,
// with a 2048-bit key generated on a simulated card behind the real pcscd:
// every signature form checked by OpenSSL with the public key read from the
// card, multi-part signing and its rules, OAEP ciphertexts made by OpenSSL,
// and what the module reports about its mechanisms.
#include <cstring>

#include "cryptohelpers.h"

namespace sessiontest {
namespace {

class Mechanisms : public LoggedInBench {
protected:
    void SetUp() override {
        LoggedInBench::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        GenerationRequest request;
        request.bits = 2048;
        request.id = {0xD5, 0x01};
        keys = generateOnCard(session, request);
        publicKey = publicKeyOf(session, keys.publicKey);
    }
    CK_RV init(CK_MECHANISM_TYPE type, void* parameters = nullptr, CK_ULONG length = 0) {
        CK_MECHANISM mechanism{type, parameters, length};
        return p11()->C_SignInit(session, &mechanism, keys.privateKey);
    }
    CK_RV signFinal(Bytes& signature, CK_ULONG bufferSize = 256) {
        signature.assign(bufferSize, 0);
        CK_ULONG length = bufferSize;
        const CK_RV rv = p11()->C_SignFinal(session, signature.data(), &length);
        signature.resize(rv == CKR_OK ? length : 0);
        return rv;
    }
    CK_RV update(const Bytes& part) {
        return p11()->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(part.data()), part.size());
    }
    KeyHandles keys;
    PublicKey publicKey;
};

struct Form {
    const char* name;
    CK_MECHANISM_TYPE mechanism;
    CK_RSA_PKCS_PSS_PARAMS pss;  // hashAlg 0: no parameters
    SignatureForm openssl;
};

const Form FORMS[] = {
    {"RSA_PKCS_PSS SHA-1", CKM_RSA_PKCS_PSS, {CKM_SHA_1, CKG_MGF1_SHA1, 20}, {"SHA1", true, nullptr, 20, true}},
    {"RSA_PKCS_PSS SHA-224", CKM_RSA_PKCS_PSS, {CKM_SHA224, CKG_MGF1_SHA224, 28}, {"SHA224", true, nullptr, 28, true}},
    {"RSA_PKCS_PSS SHA-256", CKM_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 32}, {"SHA256", true, nullptr, 32, true}},
    {"RSA_PKCS_PSS SHA-384", CKM_RSA_PKCS_PSS, {CKM_SHA384, CKG_MGF1_SHA384, 48}, {"SHA384", true, nullptr, 48, true}},
    {"RSA_PKCS_PSS SHA-512", CKM_RSA_PKCS_PSS, {CKM_SHA512, CKG_MGF1_SHA512, 64}, {"SHA512", true, nullptr, 64, true}},
    {"RSA_PKCS_PSS no salt", CKM_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 0}, {"SHA256", true, nullptr, 0, true}},
    {"RSA_PKCS_PSS longest salt", CKM_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 222},
     {"SHA256", true, nullptr, 222, true}},
    {"RSA_PKCS_PSS SHA-256, MGF1 SHA-1", CKM_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA1, 32},
     {"SHA256", true, "SHA1", 32, true}},
    {"SHA1_RSA_PKCS", CKM_SHA1_RSA_PKCS, {}, {"SHA1"}},
    {"SHA224_RSA_PKCS", CKM_SHA224_RSA_PKCS, {}, {"SHA224"}},
    {"SHA256_RSA_PKCS", CKM_SHA256_RSA_PKCS, {}, {"SHA256"}},
    {"SHA384_RSA_PKCS", CKM_SHA384_RSA_PKCS, {}, {"SHA384"}},
    {"SHA512_RSA_PKCS", CKM_SHA512_RSA_PKCS, {}, {"SHA512"}},
    {"SHA1_RSA_PKCS_PSS", CKM_SHA1_RSA_PKCS_PSS, {CKM_SHA_1, CKG_MGF1_SHA1, 20}, {"SHA1", true, nullptr, 20}},
    {"SHA224_RSA_PKCS_PSS", CKM_SHA224_RSA_PKCS_PSS, {CKM_SHA224, CKG_MGF1_SHA224, 28}, {"SHA224", true, nullptr, 28}},
    {"SHA256_RSA_PKCS_PSS", CKM_SHA256_RSA_PKCS_PSS, {CKM_SHA256, CKG_MGF1_SHA256, 32}, {"SHA256", true, nullptr, 32}},
    {"SHA384_RSA_PKCS_PSS", CKM_SHA384_RSA_PKCS_PSS, {CKM_SHA384, CKG_MGF1_SHA384, 48}, {"SHA384", true, nullptr, 48}},
    {"SHA512_RSA_PKCS_PSS", CKM_SHA512_RSA_PKCS_PSS, {CKM_SHA512, CKG_MGF1_SHA512, 64}, {"SHA512", true, nullptr, 64}},
};

// One signature per form, single-part, and for the hash-and-sign forms the
// same data again in three parts; OpenSSL verifies each.
TEST_F(Mechanisms, EverySignatureFormVerifiesWithOpenSsl) {
    const Bytes data = bytesOf("TLS handshake transcript, or any other data an application signs");
    for (const Form& form : FORMS) {
        SCOPED_TRACE(form.name);
        CK_RSA_PKCS_PSS_PARAMS pss = form.pss;
        void* parameters = pss.hashAlg != 0 ? &pss : nullptr;
        const CK_ULONG length = parameters != nullptr ? sizeof pss : 0;
        const Bytes input = form.openssl.dataIsHash ? opensslDigest(form.openssl.digest, data) : data;
        Bytes signature;
        ASSERT_EQ(CKR_OK, init(form.mechanism, parameters, length));
        ASSERT_EQ(CKR_OK, sign(session, input, signature));
        EXPECT_TRUE(opensslVerifies(publicKey, form.openssl, input, signature));
        if (form.openssl.dataIsHash) continue;
        ASSERT_EQ(CKR_OK, init(form.mechanism, parameters, length));
        ASSERT_EQ(CKR_OK, update(Bytes(data.begin(), data.begin() + 5)));
        ASSERT_EQ(CKR_OK, update(Bytes()));
        ASSERT_EQ(CKR_OK, update(Bytes(data.begin() + 5, data.end())));
        ASSERT_EQ(CKR_OK, signFinal(signature));
        EXPECT_TRUE(opensslVerifies(publicKey, form.openssl, data, signature)) << "multi-part";
    }
}

TEST_F(Mechanisms, MultiPartSigningFollowsTheRulesOfCSign) {
    const Bytes data = bytesOf("signed in parts");
    ASSERT_EQ(CKR_OK, init(CKM_SHA256_RSA_PKCS));
    ASSERT_EQ(CKR_OK, update(data));
    CK_ULONG length = 0;
    ASSERT_EQ(CKR_OK, p11()->C_SignFinal(session, nullptr, &length));
    EXPECT_EQ(256u, length) << "a size query answers the modulus length";
    Bytes small(255);
    length = 255;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11()->C_SignFinal(session, small.data(), &length));
    EXPECT_EQ(256u, length) << "a buffer too small answers the size needed";
    Bytes inOne;
    EXPECT_EQ(CKR_OPERATION_ACTIVE, sign(session, data, inOne)) << "C_Sign cannot end a multi-part signature";
    Bytes signature;
    ASSERT_EQ(CKR_OK, signFinal(signature)) << "the parts survived the query and the refusals";
    EXPECT_TRUE(opensslVerifies(publicKey, SignatureForm{"SHA256"}, data, signature));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, signFinal(signature)) << "a signature ends the operation";
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, update(data));

    // A new init replaces a multi-part operation in progress.
    ASSERT_EQ(CKR_OK, init(CKM_SHA256_RSA_PKCS));
    ASSERT_EQ(CKR_OK, update(bytesOf("abandoned")));
    ASSERT_EQ(CKR_OK, init(CKM_SHA256_RSA_PKCS));
    ASSERT_EQ(CKR_OK, sign(session, data, signature));
    EXPECT_TRUE(opensslVerifies(publicKey, SignatureForm{"SHA256"}, data, signature));

}

// The raw mechanisms sign in one piece only: an update or a final answers
// that the function is not supported, and ends the operation.
TEST_F(Mechanisms, MultiPartCallsOnARawMechanismAreNotSupportedAndEndTheOperation) {
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    const Bytes hash(32, 0x5A);
    Bytes signature;
    const struct {
        const char* name;
        CK_MECHANISM_TYPE mechanism;
        void* parameters;
        CK_ULONG length;
        bool finalFirst;
    } cases[] = {{"RSA_PKCS update", CKM_RSA_PKCS, nullptr, 0, false},
                 {"RSA_PKCS final", CKM_RSA_PKCS, nullptr, 0, true},
                 {"RSA_PKCS_PSS update", CKM_RSA_PKCS_PSS, &pss, sizeof pss, false},
                 {"RSA_PKCS_PSS final", CKM_RSA_PKCS_PSS, &pss, sizeof pss, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(CKR_OK, init(c.mechanism, c.parameters, c.length));
        EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, c.finalFirst ? signFinal(signature) : update(hash));
        EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, sign(session, hash, signature));
    }
}

TEST_F(Mechanisms, PssRefusesWrongParametersAndDataOfTheWrongLength) {
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32}, tooLong{CKM_SHA256, CKG_MGF1_SHA256, 223};
    EXPECT_EQ(CKR_MECHANISM_PARAM_INVALID, init(CKM_RSA_PKCS_PSS));
    EXPECT_EQ(CKR_MECHANISM_PARAM_INVALID, init(CKM_RSA_PKCS_PSS, &tooLong, sizeof tooLong));
    EXPECT_EQ(CKR_MECHANISM_PARAM_INVALID, init(CKM_SHA384_RSA_PKCS_PSS, &pss, sizeof pss));
    ASSERT_EQ(CKR_OK, init(CKM_RSA_PKCS_PSS, &pss, sizeof pss));
    Bytes signature;
    EXPECT_EQ(CKR_DATA_LEN_RANGE, sign(session, Bytes(31, 1), signature));
    EXPECT_EQ(CKR_DATA_LEN_RANGE, sign(session, Bytes(33, 1), signature));
    const Bytes hash(32, 0x5A);
    ASSERT_EQ(CKR_OK, sign(session, hash, signature)) << "a refused length leaves the operation active";
    EXPECT_TRUE(opensslVerifies(publicKey, SignatureForm{"SHA256", true, nullptr, 32, true}, hash, signature));
}

CK_RV decryptOaep(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE hash, const Bytes& label,
                  const Bytes& ciphertext, Bytes& message) {
    CK_RSA_PKCS_OAEP_PARAMS oaep{hash, hash == CKM_SHA_1 ? CKG_MGF1_SHA1 : CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED,
                                 label.empty() ? nullptr : const_cast<std::uint8_t*>(label.data()), label.size()};
    CK_MECHANISM mechanism{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    const CK_RV rv = p11()->C_DecryptInit(session, &mechanism, key);
    if (rv != CKR_OK) return rv;
    return decrypt(session, ciphertext, message, 256);
}

TEST_F(Mechanisms, OaepCiphertextsOfOpenSslDecryptAndTamperedOnesAreRefused) {
    const Bytes secret = bytesOf("premaster secret, thirty-two b.");
    struct Case {
        const char* name;
        const char* digest;
        CK_MECHANISM_TYPE hash;
        Bytes label;
    } cases[] = {{"SHA-1", "SHA1", CKM_SHA_1, {}},
                 {"SHA-1 with label", "SHA1", CKM_SHA_1, bytesOf("label one")},
                 {"SHA-256", "SHA256", CKM_SHA256, {}},
                 {"SHA-256 with label", "SHA256", CKM_SHA256, bytesOf("label two")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes ciphertext = encryptOaep(publicKey, c.digest, secret, c.label);
        Bytes message;
        ASSERT_EQ(CKR_OK, decryptOaep(session, keys.privateKey, c.hash, c.label, ciphertext, message));
        EXPECT_EQ(secret, message);
        Bytes tampered = ciphertext;
        tampered[100] ^= 0x10;
        EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID, decryptOaep(session, keys.privateKey, c.hash, c.label, tampered, message));
        // The refusal left the operation active: the right ciphertext still decrypts.
        ASSERT_EQ(CKR_OK, decrypt(session, ciphertext, message, 256));
        EXPECT_EQ(secret, message);
        EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID,
                  decryptOaep(session, keys.privateKey, c.hash, bytesOf("other label"), ciphertext, message));
    }
}

TEST_F(Mechanisms, TheListTheInfoAndTheKeysNameEveryMechanism) {
    CK_ULONG count = 0;
    ASSERT_EQ(CKR_OK, p11()->C_GetMechanismList(PLAIN_SLOT, nullptr, &count));
    std::vector<CK_MECHANISM_TYPE> list(count);
    ASSERT_EQ(CKR_OK, p11()->C_GetMechanismList(PLAIN_SLOT, list.data(), &count));
    ASSERT_EQ(14u, count);
    EXPECT_EQ(CKM_RSA_PKCS_KEY_PAIR_GEN, list[0]);
    EXPECT_EQ(CKM_RSA_PKCS, list[1]);
    const Bytes allowed = attribute(session, keys.privateKey, CKA_ALLOWED_MECHANISMS);
    ASSERT_EQ((count - 1) * sizeof(CK_MECHANISM_TYPE), allowed.size());
    std::vector<CK_MECHANISM_TYPE> allowedTypes(count - 1);
    std::memcpy(allowedTypes.data(), allowed.data(), allowed.size());
    EXPECT_EQ(std::vector<CK_MECHANISM_TYPE>(list.begin() + 1, list.end()), allowedTypes)
        << "every mechanism but key generation";
    for (CK_MECHANISM_TYPE type : list) {
        CK_MECHANISM_INFO info{};
        ASSERT_EQ(CKR_OK, p11()->C_GetMechanismInfo(PLAIN_SLOT, type, &info)) << type;
        EXPECT_EQ(1024u, info.ulMinKeySize);
        EXPECT_EQ(2048u, info.ulMaxKeySize);
        const CK_FLAGS expected = type == CKM_RSA_PKCS_KEY_PAIR_GEN ? CKF_HW | CKF_GENERATE_KEY_PAIR
                                  : type == CKM_RSA_PKCS            ? CKF_HW | CKF_SIGN | CKF_DECRYPT
                                  : type == CKM_RSA_PKCS_OAEP       ? CKF_HW | CKF_DECRYPT
                                                                    : CKF_HW | CKF_SIGN;
        EXPECT_EQ(expected, info.flags) << "mechanism 0x" << std::hex << type;
    }
}

}  // namespace
}  // namespace sessiontest
