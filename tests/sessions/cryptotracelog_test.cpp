// After signing, decrypting, key generation and random numbers with the
// trace log on, the log holds no PIN, no session PIN, no private-key
// component, no decrypted plaintext and no old content of a random buffer;
// with the hash-and-sign, PSS and OAEP mechanisms, no data given to be signed
// (only what CKM_RSA_PKCS shows too: the block the card signs), no PSS salt
// and no OAEP plaintext.
#include "cryptohelpers.h"
#include "rsatestkeys.h"

namespace sessiontest {
namespace {

class CryptoTraceLog : public SessionBench {};

// Spellings in which a secret could reach the log.
std::vector<std::string> spellings(const Bytes& secret) {
    return {hexText(secret, true), hexText(secret, false), std::string(secret.begin(), secret.end())};
}

TEST_F(CryptoTraceLog, HoldsNoSecretOfTheCryptographicFunctions) {
    insertFreshCard(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));

    const tokentest::RsaKey key = tokentest::generateRsaKey(1024);
    const Bytes id = {0x7C, 0x01};
    Template privateKey;
    privateKey.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, id)
        .addBool(CKA_SIGN, true).addBool(CKA_DECRYPT, true).add(CKA_MODULUS, key.n)
        .add(CKA_PUBLIC_EXPONENT, key.e).add(CKA_PRIME_1, key.p).add(CKA_PRIME_2, key.q)
        .add(CKA_EXPONENT_1, key.dp).add(CKA_EXPONENT_2, key.dq).add(CKA_COEFFICIENT, key.qinv);
    CK_OBJECT_HANDLE priv = 0;
    ASSERT_EQ(CKR_OK, createObject(session, privateKey, priv));

    Bytes signature, message;
    ASSERT_EQ(CKR_OK, signInit(session, priv));
    ASSERT_EQ(CKR_OK, sign(session, sha256DigestInfo(bytesOf("traced signature")), signature));
    const Bytes plaintext = bytesOf("Plaintext-That-Must-Stay-Out-Of-The-Log");
    ASSERT_EQ(CKR_OK, decryptInit(session, priv));
    ASSERT_EQ(CKR_OK, decrypt(session, encryptWith(PublicKey{key.n, key.e}, plaintext), message, 128));
    ASSERT_EQ(plaintext, message);
    generateOnCard(session, GenerationRequest{});
    Bytes random(24, 0xA5);
    random[0] = 0x3C;  // an unusual first byte keeps the marker unique
    const Bytes oldContent = random;
    ASSERT_EQ(CKR_OK, p11()->C_GenerateRandom(session, random.data(), random.size()));
    const std::vector<std::uint8_t> sessionPin = currentSessionPin(PLAIN_SLOT, USER_PIN);

    const std::string log = traceLog();
    ASSERT_NE(std::string::npos, log.find("C_Decrypt"));
    ASSERT_NE(std::string::npos, log.find("C_GenerateKeyPair"));
    struct Secret {
        const char* name;
        Bytes value;
    } secrets[] = {{"user PIN", bytesOf(USER_PIN)},
                   {"session PIN", Bytes(sessionPin.begin(), sessionPin.end())},
                   {"prime 1", key.p},
                   {"prime 2", key.q},
                   {"exponent 1", key.dp},
                   {"exponent 2", key.dq},
                   {"coefficient", key.qinv},
                   {"decrypted plaintext", plaintext},
                   {"old content of the random buffer", oldContent}};
    for (const Secret& secret : secrets) {
        for (const std::string& spelling : spellings(secret.value)) {
            EXPECT_EQ(std::string::npos, log.find(spelling)) << secret.name << " appears as " << spelling;
        }
    }
}

// The salt of a PSS signature (SHA-256, MGF1-SHA-256, 32-byte salt), taken
// out of s^e mod n with the public key.
Bytes pssSalt(const PublicKey& key, const Bytes& signature) {
    const Bytes encoded = encryptWith(key, signature, false);
    const std::size_t k = encoded.size(), dbLength = k - 32 - 1;
    const Bytes h(encoded.begin() + static_cast<std::ptrdiff_t>(dbLength), encoded.end() - 1);
    Bytes db(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(dbLength));
    for (std::uint32_t counter = 0; counter * 32 < dbLength; ++counter) {
        Bytes input = h;
        for (int shift = 24; shift >= 0; shift -= 8) input.push_back(static_cast<std::uint8_t>(counter >> shift));
        const Bytes mask = opensslDigest("SHA256", input);
        for (std::size_t i = 0; i < 32 && counter * 32 + i < dbLength; ++i) db[counter * 32 + i] ^= mask[i];
    }
    return Bytes(db.end() - 32, db.end());
}

TEST_F(CryptoTraceLog, HoldsNoSignedDataSaltOrOaepPlaintext) {
    insertFreshCard(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    const KeyHandles keys = generateOnCard(session, GenerationRequest{});
    const PublicKey publicKey = publicKeyOf(session, keys.publicKey);

    const Bytes oneShot = bytesOf("Signed-In-One-Piece-Must-Stay-Out");
    const Bytes inParts = bytesOf("Signed-In-Parts-Must-Stay-Out-Of-The-Log");
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss};
    Bytes first, second;
    ASSERT_EQ(CKR_OK, p11()->C_SignInit(session, &mechanism, keys.privateKey));
    ASSERT_EQ(CKR_OK, sign(session, oneShot, first));
    ASSERT_EQ(CKR_OK, p11()->C_SignInit(session, &mechanism, keys.privateKey));
    ASSERT_EQ(CKR_OK, p11()->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(inParts.data()), inParts.size()));
    second.assign(128, 0);
    CK_ULONG length = second.size();
    ASSERT_EQ(CKR_OK, p11()->C_SignFinal(session, second.data(), &length));

    const Bytes plaintext = bytesOf("Oaep-Plaintext-Must-Stay-Out");
    const Bytes ciphertext = encryptOaep(publicKey, "SHA256", plaintext);
    CK_RSA_PKCS_OAEP_PARAMS oaep{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 0};
    CK_MECHANISM oaepMechanism{CKM_RSA_PKCS_OAEP, &oaep, sizeof oaep};
    ASSERT_EQ(CKR_OK, p11()->C_DecryptInit(session, &oaepMechanism, keys.privateKey));
    Bytes message;
    ASSERT_EQ(CKR_OK, decrypt(session, ciphertext, message, 128));
    ASSERT_EQ(plaintext, message);

    // The salt taken out is the real one: it reproduces the signature's hash.
    const Bytes salt = pssSalt(publicKey, first);
    Bytes prime(8, 0);
    const Bytes mHash = opensslDigest("SHA256", oneShot);
    prime.insert(prime.end(), mHash.begin(), mHash.end());
    prime.insert(prime.end(), salt.begin(), salt.end());
    const Bytes encoded = encryptWith(publicKey, first, false);
    ASSERT_EQ(opensslDigest("SHA256", prime), Bytes(encoded.end() - 33, encoded.end() - 1));

    const std::string log = traceLog();
    ASSERT_NE(std::string::npos, log.find("C_SignFinal"));
    struct Secret {
        const char* name;
        Bytes value;
    } secrets[] = {{"data signed in one piece", oneShot},
                   {"data signed in parts", inParts},
                   {"salt of the one-piece signature", salt},
                   {"salt of the multi-part signature", pssSalt(publicKey, second)},
                   {"OAEP plaintext", plaintext}};
    for (const Secret& secret : secrets) {
        for (const std::string& spelling : spellings(secret.value)) {
            EXPECT_EQ(std::string::npos, log.find(spelling)) << secret.name << " appears as " << spelling;
        }
    }
}

}  // namespace
}  // namespace sessiontest
