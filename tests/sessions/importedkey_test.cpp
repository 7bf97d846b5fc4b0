// Keys imported into the card rather than made on it, as certificate
// importers leave them: a private key without its public half still tells
// its modulus and public exponent (from the cache files and, without them,
// from the card); a modulus that is not a whole number of bytes gives
// valid PSS signatures; and a ciphertext that is not below the modulus is
// refused as invalid data before the card is asked.
#include <filesystem>

#include "cryptohelpers.h"
#include "rsatestkeys.h"

namespace sessiontest {
namespace {

class ImportedKeys : public LoggedInBench {
protected:
    // A private key alone, with or without CKA_PUBLIC_EXPONENT in its template.
    CK_OBJECT_HANDLE importPrivateKey(const tokentest::RsaKey& key, const Bytes& id, bool withExponent = true) {
        Template t;
        t.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, id)
            .addBool(CKA_SIGN, true).addBool(CKA_DECRYPT, true).add(CKA_MODULUS, key.n)
            .add(CKA_PRIME_1, key.p).add(CKA_PRIME_2, key.q).add(CKA_EXPONENT_1, key.dp)
            .add(CKA_EXPONENT_2, key.dq).add(CKA_COEFFICIENT, key.qinv);
        if (withExponent) t.add(CKA_PUBLIC_EXPONENT, key.e);
        CK_OBJECT_HANDLE handle = 0;
        EXPECT_EQ(CKR_OK, createObject(session, t, handle));
        return handle;
    }
    // The module again from scratch, with no cache files: every value comes
    // from the card.
    CK_OBJECT_HANDLE reloadedWithoutCache(const Bytes& id) {
        EXPECT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
        std::filesystem::remove_all(cacheDirectory());
        EXPECT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        session = openSession(PLAIN_SLOT);
        EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
        Template search;
        search.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).add(CKA_ID, id);
        const std::vector<CK_OBJECT_HANDLE> found = findAll(session, search);
        return found.size() == 1 ? found[0] : 0;
    }
    CK_RV read(CK_OBJECT_HANDLE key, CK_ATTRIBUTE_TYPE type, Bytes& value) {
        CK_ATTRIBUTE query{type, nullptr, 0};
        const CK_RV rv = p11()->C_GetAttributeValue(session, key, &query, 1);
        if (rv != CKR_OK) return rv;
        value.assign(query.ulValueLen, 0);
        query.pValue = value.data();
        return p11()->C_GetAttributeValue(session, key, &query, 1);
    }
};

TEST_F(ImportedKeys, PrivateKeyImportedAloneAnswersItsModulusAndExponent) {
    const struct {
        const char* name;
        int bits;
        bool withExponent;
    } cases[] = {{"1024 bits", 1024, true}, {"2048 bits", 2048, true}, {"no exponent given", 1024, false}};
    std::uint8_t next = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const tokentest::RsaKey key = tokentest::generateRsaKey(c.bits);
        const Bytes id = {0x1A, next++};
        CK_OBJECT_HANDLE handle = importPrivateKey(key, id, c.withExponent);
        for (const char* source : {"after the import", "read from the card"}) {
            SCOPED_TRACE(source);
            if (std::string(source) == "read from the card") handle = reloadedWithoutCache(id);
            ASSERT_NE(0u, handle);
            Bytes modulus, exponent;
            EXPECT_EQ(CKR_OK, read(handle, CKA_MODULUS, modulus));
            EXPECT_EQ(key.n, modulus);
            EXPECT_EQ(c.withExponent ? CKR_OK : CKR_ATTRIBUTE_TYPE_INVALID, read(handle, CKA_PUBLIC_EXPONENT, exponent));
            if (c.withExponent) {
                EXPECT_EQ(key.e, exponent);
            }
        }
        // Still a private key alone: no public key object appeared.
        Template publicKeys;
        publicKeys.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).add(CKA_ID, id);
        EXPECT_TRUE(findAll(session, publicKeys).empty());
    }
}

// Reading the public values of such a key costs no card command beyond the
// freshness read every call makes: they come with the key's metadata.
TEST_F(ImportedKeys, ItsPublicValuesCostNoCardCommandOfTheirOwn) {
    const tokentest::RsaKey key = tokentest::generateRsaKey(2048);
    const CK_OBJECT_HANDLE handle = importPrivateKey(key, {0x1B, 0x01});
    findAll(session);
    const auto commandsFor = [&](CK_ATTRIBUTE_TYPE type) {
        control(PLAIN_SLOT).clearStatistics();
        Bytes value;
        EXPECT_EQ(CKR_OK, read(handle, type, value));
        return commandsSent(PLAIN_SLOT);
    };
    const std::uint64_t label = commandsFor(CKA_LABEL);
    EXPECT_EQ(label, commandsFor(CKA_MODULUS));
    EXPECT_EQ(label, commandsFor(CKA_PUBLIC_EXPONENT));
}

// The pair's public half removed, the private key keeps answering.
TEST_F(ImportedKeys, PrivateKeyWhosePublicHalfWasDestroyedKeepsItsModulus) {
    const tokentest::RsaKey key = tokentest::generateRsaKey(1024);
    const Bytes id = {0x1C, 0x01};
    const CK_OBJECT_HANDLE privateKey = importPrivateKey(key, id);
    Template publicKey;
    publicKey.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, id)
        .add(CKA_MODULUS, key.n).add(CKA_PUBLIC_EXPONENT, key.e);
    CK_OBJECT_HANDLE publicHandle = 0;
    ASSERT_EQ(CKR_OK, createObject(session, publicKey, publicHandle));
    ASSERT_EQ(CKR_OK, p11()->C_DestroyObject(session, publicHandle));
    Bytes modulus, exponent;
    EXPECT_EQ(CKR_OK, read(privateKey, CKA_MODULUS, modulus));
    EXPECT_EQ(key.n, modulus);
    const CK_OBJECT_HANDLE reloaded = reloadedWithoutCache(id);
    EXPECT_EQ(CKR_OK, read(reloaded, CKA_MODULUS, modulus));
    EXPECT_EQ(key.n, modulus);
    EXPECT_EQ(CKR_OK, read(reloaded, CKA_PUBLIC_EXPONENT, exponent));
    EXPECT_EQ(key.e, exponent);
}

// A 2047-bit or 1023-bit modulus leaves the top two bits of its first byte
// to the encoding; every PSS signature verifies (with the nominal key size
// about half of them did not).
TEST_F(ImportedKeys, PssSignaturesOfAModulusShortOfWholeBytesVerify) {
    constexpr int SIGNATURES = 12;
    std::uint8_t next = 1;
    for (int bits : {2047, 1023}) {
        SCOPED_TRACE(bits);
        const tokentest::RsaKey key = tokentest::generateRsaKey(bits);
        const CK_OBJECT_HANDLE handle = importPrivateKey(key, {0x1D, next++});
        const PublicKey publicKey{key.n, key.e};
        CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
        CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss};
        int verified = 0;
        for (int i = 0; i < SIGNATURES; ++i) {
            const Bytes data = bytesOf("message " + std::to_string(i));
            Bytes signature;
            ASSERT_EQ(CKR_OK, p11()->C_SignInit(session, &mechanism, handle));
            ASSERT_EQ(CKR_OK, sign(session, data, signature));
            verified += opensslVerifies(publicKey, SignatureForm{"SHA256", true, nullptr, 32}, data, signature);
        }
        EXPECT_EQ(SIGNATURES, verified);
    }
}

// A ciphertext equal to or above the modulus is no ciphertext of the key,
// whichever padding is expected, for a key imported alone as for one made on
// the card; the refusal leaves the operation active.
TEST_F(ImportedKeys, CiphertextNotBelowTheModulusIsInvalidData) {
    const tokentest::RsaKey imported = tokentest::generateRsaKey(2048);
    GenerationRequest request;
    request.bits = 2048;
    request.id = {0x1E, 0x02};
    const KeyHandles generated = generateOnCard(session, request);
    const struct {
        const char* name;
        CK_OBJECT_HANDLE handle;
        PublicKey publicKey;
    } keys[] = {{"imported alone", importPrivateKey(imported, {0x1E, 0x01}), {imported.n, imported.e}},
                {"generated", generated.privateKey, publicKeyOf(session, generated.publicKey)}};
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0};
    const CK_MECHANISM mechanisms[] = {{CKM_RSA_PKCS, nullptr, 0}, {CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep}};
    const Bytes secret = bytesOf("a secret");
    for (const auto& key : keys) {
        for (const Bytes& ciphertext : {key.publicKey.n, Bytes(256, 0xFF)}) {
            for (CK_MECHANISM mechanism : mechanisms) {
                SCOPED_TRACE(std::string(key.name) + (ciphertext == key.publicKey.n ? ", the modulus" : ", all ones") +
                             (mechanism.mechanism == CKM_RSA_PKCS ? ", PKCS #1 v1.5" : ", OAEP"));
                ASSERT_EQ(CKR_OK, p11()->C_DecryptInit(session, &mechanism, key.handle));
                Bytes message;
                EXPECT_EQ(CKR_ENCRYPTED_DATA_INVALID, decrypt(session, ciphertext, message, 256));
                if (mechanism.mechanism != CKM_RSA_PKCS) continue;
                ASSERT_EQ(CKR_OK, decrypt(session, encryptWith(key.publicKey, secret), message, 256));
                EXPECT_EQ(secret, message);
            }
        }
    }
}

}  // namespace
}  // namespace sessiontest
