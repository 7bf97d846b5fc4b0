// Key-pair generation through the module's function list on a simulated card:
// both key sizes, where the identifier comes from, which kind of key the
// usage makes, and what a second reader (a new session, the card image)
// finds afterwards.
#include <regex>

#include "cryptohelpers.h"

namespace sessiontest {
namespace {

class KeyGeneration : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        // Room for every key a test here generates.
        image = insertFreshCard(PLAIN_SLOT, {"--key-slots", "1024:6,2048:4"});
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        session = openSession(PLAIN_SLOT);
        ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    }
    // The key-pair lines the simulator prints for the card image:
    // "<bits> bits, origin .., usage .., container .., key kind .."
    std::vector<std::string> cardKeyPairs() {
        int status = 0;
        const std::string out = runCommand(bench::Bench::cardsimPath() + " inspect '" + image + "'", status);
        EXPECT_EQ(0, status) << out;
        std::vector<std::string> lines;
        const std::regex line(R"(\d+ bits, origin [^\n]*)");
        for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
            lines.push_back(it->str());
        }
        return lines;
    }
    std::string image;
    CK_SESSION_HANDLE session = 0;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class GeneratedSizes : public KeyGeneration, public ::testing::WithParamInterface<CK_ULONG> {};

TEST_P(GeneratedSizes, BothHalvesAreOnTheCardAsANewSessionReadsThem) {
    GenerationRequest request;
    request.bits = GetParam();
    request.id = {0x6B, 0x01};
    const KeyHandles keys = generateOnCard(session, request);
    EXPECT_NE(keys.publicKey, keys.privateKey);

    // A second session (the slot's login is shared) reads the halves anew.
    const CK_SESSION_HANDLE second = openSession(PLAIN_SLOT);
    Template byId;
    byId.add(CKA_ID, request.id);
    const std::vector<CK_OBJECT_HANDLE> found = findAll(second, byId);
    EXPECT_EQ(2u, found.size());
    EXPECT_EQ(ulongBytes(GetParam()), attribute(second, keys.publicKey, CKA_MODULUS_BITS));
    EXPECT_EQ(GetParam() / 8, attribute(second, keys.publicKey, CKA_MODULUS).size());
    EXPECT_EQ(attribute(second, keys.publicKey, CKA_MODULUS), attribute(second, keys.privateKey, CKA_MODULUS));
    EXPECT_EQ((Bytes{0x01, 0x00, 0x01}), attribute(second, keys.publicKey, CKA_PUBLIC_EXPONENT));
    EXPECT_EQ(Bytes{CK_TRUE}, attribute(second, keys.privateKey, CKA_LOCAL));
    EXPECT_EQ(ulongBytes(CKM_RSA_PKCS_KEY_PAIR_GEN), attribute(second, keys.privateKey, CKA_KEY_GEN_MECHANISM));
    EXPECT_EQ(bytesOf("generated private"), attribute(second, keys.privateKey, CKA_LABEL));
    EXPECT_EQ(bytesOf("generated public"), attribute(second, keys.publicKey, CKA_LABEL));
    EXPECT_EQ(Bytes{CK_TRUE}, attribute(second, keys.privateKey, CKA_SIGN));
    EXPECT_EQ(Bytes{CK_TRUE}, attribute(second, keys.privateKey, CKA_DECRYPT));

    const std::vector<std::string> pairs = cardKeyPairs();
    ASSERT_EQ(1u, pairs.size());
    EXPECT_TRUE(contains(pairs[0], std::to_string(GetParam()) + " bits")) << pairs[0];
    EXPECT_TRUE(contains(pairs[0], "generated")) << pairs[0];
    EXPECT_TRUE(contains(pairs[0], "container 00, key kind 1")) << pairs[0];
}

INSTANTIATE_TEST_SUITE_P(Bits, GeneratedSizes, ::testing::Values(1024, 2048));

TEST_F(KeyGeneration, TheIdentifierComesFromEitherTemplateAndBothMustAgree) {
    struct Case {
        const char* name;
        Bytes publicId;
        Bytes privateId;
        CK_RV expected;
    } cases[] = {{"both equal", {0x01, 0x02}, {0x01, 0x02}, CKR_OK},
                 {"public only", {0x0A}, {}, CKR_OK},
                 {"private only", {}, {0x0B, 0x0C}, CKR_OK},
                 {"different bytes", {0x0D, 0x02}, {0x0D, 0x03}, CKR_TEMPLATE_INCONSISTENT},
                 {"different lengths", {0x0E, 0x02}, {0x0E}, CKR_TEMPLATE_INCONSISTENT}};
    std::size_t pairsOnCard = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GenerationRequest request;
        Template pub = request.publicTemplate(), priv = request.privateTemplate();
        if (!c.publicId.empty()) pub.add(CKA_ID, c.publicId);
        if (!c.privateId.empty()) priv.add(CKA_ID, c.privateId);
        KeyHandles keys;
        ASSERT_EQ(c.expected, generateKeyPair(session, pub, priv, keys));
        if (c.expected == CKR_OK) {
            ++pairsOnCard;
            const Bytes id = c.publicId.empty() ? c.privateId : c.publicId;
            EXPECT_EQ(id, attribute(session, keys.publicKey, CKA_ID));
            EXPECT_EQ(id, attribute(session, keys.privateKey, CKA_ID));
        }
        EXPECT_EQ(pairsOnCard, cardKeyPairs().size()) << "nothing is written for a refused template";
    }
}

TEST_F(KeyGeneration, WithoutAnIdentifierANewOneIsMadeForEachPair) {
    const KeyHandles first = generateOnCard(session, GenerationRequest{});
    const KeyHandles second = generateOnCard(session, GenerationRequest{});
    const Bytes firstId = attribute(session, first.privateKey, CKA_ID);
    EXPECT_EQ(16u, firstId.size());
    EXPECT_EQ(firstId, attribute(session, first.publicKey, CKA_ID));
    EXPECT_NE(firstId, attribute(session, second.privateKey, CKA_ID));
    const std::vector<std::string> pairs = cardKeyPairs();
    ASSERT_EQ(2u, pairs.size());
    EXPECT_NE(contains(pairs[0], "container 00"), contains(pairs[1], "container 00"))
        << "each pair gets its own container record";
    EXPECT_NE(contains(pairs[0], "container 01"), contains(pairs[1], "container 01"));
}

TEST_F(KeyGeneration, AnIdentifierAlreadyOnTheCardIsRefused) {
    GenerationRequest request;
    request.id = {0x77};
    generateOnCard(session, request);
    KeyHandles keys;
    EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID,
              generateKeyPair(session, request.publicTemplate(), request.privateTemplate(), keys));
    EXPECT_EQ(1u, cardKeyPairs().size());
}

TEST_F(KeyGeneration, OnlyASignOnlyKeyIsASignatureKey) {
    struct Case {
        const char* name;
        bool sign;
        bool decrypt;
        bool signatureKey;
    } cases[] = {{"sign only", true, false, true},
                 {"sign and decrypt", true, true, false},
                 {"decrypt only", false, true, false},
                 {"no usage", false, false, false}};
    // The card lists its pairs in its own order: count each kind.
    std::size_t signatureKeys = 0, exchangeKeys = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GenerationRequest request;
        request.sign = c.sign;
        request.decrypt = c.decrypt;
        generateOnCard(session, request);
        ++(c.signatureKey ? signatureKeys : exchangeKeys);
        std::size_t kind0 = 0, kind1 = 0;
        for (const std::string& pair : cardKeyPairs()) {
            kind0 += contains(pair, "key kind 0") ? 1 : 0;
            kind1 += contains(pair, "key kind 1") ? 1 : 0;
        }
        EXPECT_EQ(signatureKeys, kind0);
        EXPECT_EQ(exchangeKeys, kind1);
    }
}

TEST_F(KeyGeneration, TheTemplatesPkcs11ToolSendsAreAccepted) {
    const Bytes id = {0x42, 0x43};
    const Bytes exponent = {0x01, 0x00, 0x01};
    Template pub, priv;
    pub.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).addBool(CKA_TOKEN, true)
        .addUlong(CKA_MODULUS_BITS, 2048).add(CKA_PUBLIC_EXPONENT, exponent).addBool(CKA_ENCRYPT, true)
        .addBool(CKA_VERIFY, true).addBool(CKA_WRAP, true).add(CKA_LABEL, "tool key").add(CKA_ID, id);
    priv.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).addBool(CKA_TOKEN, true)
        .addBool(CKA_PRIVATE, true).addBool(CKA_SENSITIVE, true).addBool(CKA_DECRYPT, true)
        .addBool(CKA_SIGN, true).addBool(CKA_UNWRAP, true).add(CKA_LABEL, "tool key").add(CKA_ID, id);
    KeyHandles keys;
    ASSERT_EQ(CKR_OK, generateKeyPair(session, pub, priv, keys));
    EXPECT_EQ(Bytes{CK_TRUE}, attribute(session, keys.publicKey, CKA_WRAP));
    EXPECT_EQ(Bytes{CK_TRUE}, attribute(session, keys.privateKey, CKA_UNWRAP));
    Template missingBits;
    missingBits.addBool(CKA_VERIFY, true);
    EXPECT_EQ(CKR_TEMPLATE_INCOMPLETE, generateKeyPair(session, missingBits, priv, keys));
    Template oddBits;
    oddBits.addUlong(CKA_MODULUS_BITS, 1536);
    EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, generateKeyPair(session, oddBits, priv, keys));
}

TEST_F(KeyGeneration, WithoutLoginTheCardRefusesToGenerate) {
    ASSERT_EQ(CKR_OK, p11()->C_Logout(session));
    KeyHandles keys;
    GenerationRequest request;
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN,
              generateKeyPair(session, request.publicTemplate(), request.privateTemplate(), keys));
    EXPECT_TRUE(cardKeyPairs().empty());
}

}  // namespace
}  // namespace sessiontest
