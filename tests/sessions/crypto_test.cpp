// Signing, decryption and random numbers through the module's function list,
// with keys generated on a simulated card behind the real pcscd; OpenSSL does
// the public-key side with the modulus and exponent the module reports.
#include <set>

#include "cryptohelpers.h"
#include "rsatestkeys.h"

namespace sessiontest {
namespace {

class Crypto : public LoggedInBench {
protected:
    KeyHandles generate(CK_ULONG bits) {
        GenerationRequest request;
        request.bits = bits;
        request.id = {0xC0, static_cast<std::uint8_t>(bits >> 8)};
        return generateOnCard(session, request);
    }
};

// Both key sizes: one generated pair signs and decrypts, with the size
// queries and short buffers that leave each operation active.
class KeySizes : public Crypto, public ::testing::WithParamInterface<CK_ULONG> {
protected:
    void checkSigning(const KeyHandles& keys, const PublicKey& publicKey) {
        const CK_ULONG k = GetParam() / 8;
        const Bytes data = {'s', 'i', 'g', 'n', ' ', 'm', 'e'};
        Bytes info = sha256DigestInfo(data);
        ASSERT_EQ(CKR_OK, signInit(session, keys.privateKey));
        CK_ULONG length = 0;
        ASSERT_EQ(CKR_OK, p11()->C_Sign(session, info.data(), info.size(), nullptr, &length));
        EXPECT_EQ(k, length);
        Bytes signature(k - 1);
        length = k - 1;
        EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11()->C_Sign(session, info.data(), info.size(), signature.data(), &length));
        EXPECT_EQ(k, length) << "the length needed is answered";
        ASSERT_EQ(CKR_OK, sign(session, info, signature));
        ASSERT_EQ(k, signature.size());
        EXPECT_TRUE(tokentest::verifySha256Signature(publicKey.n, publicKey.e, tokentest::sha256(data), signature));
        EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, sign(session, info, signature)) << "a signature ends the operation";
    }
    void checkDecryption(const KeyHandles& keys, const PublicKey& publicKey) {
        const CK_ULONG k = GetParam() / 8;
        const Bytes secret = bytesOf("thirty-two bytes of plain text..");
        Bytes encrypted = encryptWith(publicKey, secret);
        ASSERT_EQ(k, encrypted.size());
        ASSERT_EQ(CKR_OK, decryptInit(session, keys.privateKey));
        CK_ULONG length = 0;
        ASSERT_EQ(CKR_OK, p11()->C_Decrypt(session, encrypted.data(), encrypted.size(), nullptr, &length));
        EXPECT_EQ(k, length) << "a size query answers the modulus length";
        Bytes wrongLength(encrypted.begin(), encrypted.end() - 1), message;
        EXPECT_EQ(CKR_ENCRYPTED_DATA_LEN_RANGE, decrypt(session, wrongLength, message, k));
        Bytes small(k - 56, 0xEE);
        length = small.size();
        EXPECT_EQ(CKR_BUFFER_TOO_SMALL,
                  p11()->C_Decrypt(session, encrypted.data(), encrypted.size(), small.data(), &length))
            << "the buffer must hold k bytes even though the message is shorter";
        EXPECT_EQ(k, length) << "the length needed is answered";
        EXPECT_EQ(Bytes(k - 56, 0xEE), small) << "nothing is written into a buffer too small";
        ASSERT_EQ(CKR_OK, decrypt(session, encrypted, message, k));
        EXPECT_EQ(secret, message);
        EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, decrypt(session, encrypted, message, k));
    }
    // k - 11 bytes (245 for 2048 bits) sign; one more is refused and leaves
    // the operation active.
    void checkDataLimit(const KeyHandles& keys, const PublicKey& publicKey) {
        const std::size_t k = GetParam() / 8;
        Bytes longest(k - 11), tooLong(k - 10), signature;
        for (std::size_t i = 0; i < tooLong.size(); ++i) tooLong[i] = static_cast<std::uint8_t>(i * 7 + 1);
        std::copy(tooLong.begin(), tooLong.begin() + static_cast<std::ptrdiff_t>(longest.size()), longest.begin());
        ASSERT_EQ(CKR_OK, signInit(session, keys.privateKey));
        EXPECT_EQ(CKR_DATA_LEN_RANGE, sign(session, tooLong, signature));
        ASSERT_EQ(CKR_OK, sign(session, longest, signature)) << "the failed call left the operation active";
        EXPECT_EQ(longest, recoverSigned(publicKey, signature));
    }
};

TEST_P(KeySizes, SignaturesVerifyAndOpenSslCiphertextDecrypts) {
    const KeyHandles keys = generate(GetParam());
    const PublicKey publicKey = publicKeyOf(session, keys.publicKey);
    ASSERT_EQ(GetParam() / 8, publicKey.n.size());
    checkSigning(keys, publicKey);
    checkDecryption(keys, publicKey);
    checkDataLimit(keys, publicKey);
}

INSTANTIATE_TEST_SUITE_P(Bits, KeySizes, ::testing::Values(1024, 2048));

// Blocks formatted here and encrypted without padding, so the card decrypts
// to exactly these bytes.
Bytes type2Block(std::size_t k, std::size_t padding, const Bytes& message) {
    Bytes block{0x00, 0x02};
    block.insert(block.end(), padding, 0x5C);
    block.push_back(0x00);
    block.insert(block.end(), message.begin(), message.end());
    block.insert(block.begin() + 2, k - block.size(), 0x7E);  // more padding up front
    return block;
}

TEST_F(Crypto, DecryptedBlocksAreCheckedAndABadOneKeepsTheOperation) {
    const CK_ULONG k = 128;
    const KeyHandles keys = generate(1024);
    const PublicKey publicKey = publicKeyOf(session, keys.publicKey);
    const std::size_t longest = k - 11;  // the message that leaves exactly 8 padding bytes
    const Bytes eightPadding = type2Block(k, 0, Bytes(longest, 0x41));
    Bytes sevenPadding = type2Block(k, 0, Bytes(longest + 1, 0x42));
    Bytes type1 = eightPadding;
    type1[1] = 0x01;
    struct Case {
        const char* name;
        Bytes block;
        CK_RV expected;
    } cases[] = {{"type 1 block", type1, CKR_ENCRYPTED_DATA_INVALID},
                 {"seven padding bytes", sevenPadding, CKR_ENCRYPTED_DATA_INVALID},
                 {"eight padding bytes", eightPadding, CKR_OK}};
    ASSERT_EQ(CKR_OK, decryptInit(session, keys.privateKey));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes message;
        EXPECT_EQ(c.expected, decrypt(session, encryptWith(publicKey, c.block, false), message, k));
        if (c.expected == CKR_OK) {
            EXPECT_EQ(Bytes(longest, 0x41), message);
        }
    }
}

TEST_F(Crypto, RefusesWrongMechanismsKeysArgumentsAndMissingInits) {
    const KeyHandles keys = generate(1024);
    CK_MECHANISM sha1{CKM_RSA_X_509, nullptr, 0};
    CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    Bytes data(20, 1), out(128);
    CK_ULONG length = out.size();
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    struct Case {
        const char* name;
        CK_RV expected;
        CK_RV actual;
    } cases[] = {
        {"sign without init", CKR_OPERATION_NOT_INITIALIZED,
         p11()->C_Sign(session, data.data(), data.size(), out.data(), &length)},
        {"decrypt without init", CKR_OPERATION_NOT_INITIALIZED,
         p11()->C_Decrypt(session, out.data(), out.size(), out.data(), &length)},
        {"RSA_X_509", CKR_MECHANISM_INVALID, p11()->C_SignInit(session, &sha1, keys.privateKey)},
        {"decrypt with RSA_X_509", CKR_MECHANISM_INVALID, p11()->C_DecryptInit(session, &sha1, keys.privateKey)},
        {"no mechanism", CKR_ARGUMENTS_BAD, p11()->C_SignInit(session, nullptr, keys.privateKey)},
        {"sign with the public key", CKR_KEY_HANDLE_INVALID, p11()->C_SignInit(session, &rsa, keys.publicKey)},
        {"decrypt with the public key", CKR_KEY_HANDLE_INVALID, p11()->C_DecryptInit(session, &rsa, keys.publicKey)},
        {"sign without data", CKR_ARGUMENTS_BAD, p11()->C_Sign(session, nullptr, 0, out.data(), &length)},
        {"sign without length", CKR_ARGUMENTS_BAD, p11()->C_Sign(session, data.data(), data.size(), out.data(), nullptr)},
        {"decrypt without data", CKR_ARGUMENTS_BAD, p11()->C_Decrypt(session, nullptr, 0, out.data(), &length)},
        {"generate with the signing mechanism", CKR_MECHANISM_INVALID,
         [&] {
             GenerationRequest r;
             Template pubT = r.publicTemplate(), privT = r.privateTemplate();
             return p11()->C_GenerateKeyPair(session, &rsa, pubT.data(), pubT.size(), privT.data(), privT.size(),
                                             &pub, &priv);
         }()},
        {"generate without outputs", CKR_ARGUMENTS_BAD,
         [&] {
             CK_MECHANISM gen{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
             GenerationRequest r;
             Template pubT = r.publicTemplate(), privT = r.privateTemplate();
             return p11()->C_GenerateKeyPair(session, &gen, pubT.data(), pubT.size(), privT.data(), privT.size(),
                                             nullptr, &priv);
         }()},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, c.actual) << c.name;
}

TEST_F(Crypto, TheCardRefusesPrivateKeyOperationsWithoutLogin) {
    const KeyHandles keys = generate(1024);
    const Bytes encrypted = encryptWith(publicKeyOf(session, keys.publicKey), bytesOf("secret"));
    ASSERT_EQ(CKR_OK, p11()->C_Logout(session));
    Bytes signature, message;
    ASSERT_EQ(CKR_OK, signInit(session, keys.privateKey));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, sign(session, Bytes(20, 3), signature));
    ASSERT_EQ(CKR_OK, decryptInit(session, keys.privateKey));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, decrypt(session, encrypted, message, 128));
    // Both operations are still active once the user logs in.
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    EXPECT_EQ(CKR_OK, sign(session, Bytes(20, 3), signature));
    EXPECT_EQ(CKR_OK, decrypt(session, encrypted, message, 128));
    EXPECT_EQ(bytesOf("secret"), message);
}

TEST_F(Crypto, ACardResetByAnotherClientClosesTheSession) {
    const KeyHandles keys = generate(1024);
    Bytes signature;
    ASSERT_EQ(CKR_OK, signInit(session, keys.privateKey));
    ASSERT_EQ(CKR_OK, sign(session, Bytes(20, 4), signature));
    ASSERT_EQ(CKR_OK, signInit(session, keys.privateKey));
    theBench().resetCard(readerOfSlot(PLAIN_SLOT));
    EXPECT_EQ(CKR_SESSION_CLOSED, sign(session, Bytes(20, 4), signature));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, sign(session, Bytes(20, 4), signature));
}

TEST_F(Crypto, RandomBytesDifferAndNoSeedMakesThemRepeat) {
    Bytes first(32), second(32);
    ASSERT_EQ(CKR_OK, p11()->C_GenerateRandom(session, first.data(), first.size()));
    ASSERT_EQ(CKR_OK, p11()->C_GenerateRandom(session, second.data(), second.size()));
    EXPECT_NE(first, second);
    EXPECT_NE(Bytes(32), first);

    Bytes seed = bytesOf("same seed");
    std::set<Bytes> outputs;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(CKR_OK, p11()->C_SeedRandom(session, seed.data(), seed.size()));
        Bytes out(16);
        ASSERT_EQ(CKR_OK, p11()->C_GenerateRandom(session, out.data(), out.size()));
        outputs.insert(out);
    }
    EXPECT_EQ(3u, outputs.size()) << "the same seed must not repeat the output";
}

TEST_F(Crypto, RandomFunctionsCheckTheirArguments) {
    Bytes buffer(8);
    struct Case {
        const char* name;
        CK_RV expected;
        CK_RV actual;
    } cases[] = {
        {"null buffer with a length", CKR_ARGUMENTS_BAD, p11()->C_GenerateRandom(session, nullptr, 16)},
        {"null buffer of length 0", CKR_OK, p11()->C_GenerateRandom(session, nullptr, 0)},
        {"unknown session", CKR_SESSION_HANDLE_INVALID, p11()->C_GenerateRandom(session + 1000, buffer.data(), 8)},
        {"null seed", CKR_ARGUMENTS_BAD, p11()->C_SeedRandom(session, nullptr, 4)},
        {"empty seed", CKR_OK, p11()->C_SeedRandom(session, buffer.data(), 0)},
        {"seed for an unknown session", CKR_SESSION_HANDLE_INVALID,
         p11()->C_SeedRandom(session + 1000, buffer.data(), 8)},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, c.actual) << c.name;
}

}  // namespace
}  // namespace sessiontest
