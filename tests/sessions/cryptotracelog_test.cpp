// After signing, decrypting, key generation and random numbers with the
// trace log on, the log holds no PIN, no session PIN, no private-key
// component, no decrypted plaintext and no old content of a random buffer.
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

}  // namespace
}  // namespace sessiontest
