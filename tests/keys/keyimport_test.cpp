// Import of public and private keys, refused imports, and removal of one
// half of a pair and then the other, on the simulated card.
//
// Three tests go through the container map functions (prepare, commit,
// delete): PublicKeyJoiningAPrivateHalf.CompletesThePairAndRecordsItsContainer
// and the two RemovingThe...Half...Container tests. All others leave the map
// alone and check that they do.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "amw/exceptions.h"
#include "internal/p11objects/p11classes.h"
#include "keystestsupport.h"
#include "logger.h"
#include "p11exceptions.h"

namespace {

using namespace keystest;

using KeyImport = KeysFixture;

const std::string DUPLICATE_ID =
    "Template is inconsistent. Multiple occurence of attribute [type=258]";
const std::string SIZE_MISMATCH =
    "Template is inconsistent. Multiple occurence of attribute [type=288]";

std::uint16_t fileCounter(const amw::FreshnessRecord& record) {
    return record.counter(amw::CachedToken::CACHED_OBJECT_FILE);
}

// Runs an import that must be refused and checks that the call changed
// nothing: no counter raised (so nothing was written), the same key pairs.
template <class E, class View>
std::string refusedImport(amw::CachedToken& call, const Template& t) {
    const amw::FreshnessRecord before = call.getFreshness();
    const std::size_t pairs = call.getKeyPairs().size();
    const std::string message = messageOf<E>([&] { importKey<View>(call, t); });
    EXPECT_EQ(before, call.getFreshness()) << "no counter raised";
    EXPECT_EQ(pairs, call.getKeyPairs().size());
    return message;
}

TEST_F(KeyImport, PrivateKeyAloneIsStoredWithoutAContainer) {
    {
        auto call = beginCall();
        EXPECT_EQ(text("solo"), bytesOf(importKey<P11RsaPrivateKey>(
                                    *call, privateTemplate(key1024(), "solo", "private solo"))));
    }
    amw::KeyPair* pair = keyPairOnCard("solo");
    ASSERT_NE(nullptr, pair);
    EXPECT_TRUE(pair->hasPrivateKey());
    EXPECT_FALSE(pair->hasPublicKey());
    EXPECT_EQ(1024, pair->getKeySize());
    EXPECT_EQ(0x03, pair->getKeyUsage());
    EXPECT_EQ(text("private solo"), bytesOf(pair->getPrivatePart().label));
    CK_ULONG modulusLength = 0;
    P11RsaPrivateKey(pair).getAttributeValue(CKA_MODULUS, nullptr, &modulusLength);
    EXPECT_EQ(key1024().n.size(), modulusLength) << "the import kept the pair's modulus";
    EXPECT_EQ(Bytes(), containerMap());
}

TEST_F(KeyImport, PublicKeyAloneIsStoredWithoutAContainer) {
    {
        auto call = beginCall();
        importKey<P11RsaPublicKey>(*call, publicTemplate(key2048(), "pub", "public solo"));
    }
    amw::KeyPair* pair = keyPairOnCard("pub");
    ASSERT_NE(nullptr, pair);
    EXPECT_TRUE(pair->hasPublicKey());
    EXPECT_FALSE(pair->hasPrivateKey());
    EXPECT_EQ(2048, pair->getKeySize());
    EXPECT_EQ(0x24, pair->getKeyUsage());
    EXPECT_EQ(key2048().n, bytesOf(pair->getPublicPart().modulus));
    EXPECT_EQ(text("public solo"), bytesOf(pair->getPublicPart().label));
    EXPECT_EQ(Bytes(), containerMap());
}

class PublicKeyJoiningAPrivateHalf : public KeysFixture,
                                     public testing::WithParamInterface<bool> {};

TEST_P(PublicKeyJoiningAPrivateHalf, CompletesThePairAndRecordsItsContainer) {
    const bool signOnly = GetParam();
    {
        auto call = beginCall();
        importKey<P11RsaPrivateKey>(*call, privateTemplate(key1024(), "pair", "priv", signOnly));
    }
    EXPECT_EQ(Bytes(), containerMap()) << "the private half alone has no container";
    {
        auto call = beginCall();
        importKey<P11RsaPublicKey>(*call, publicTemplate(key1024(), "pair", "pub"));
    }
    amw::KeyPair* pair = keyPairOnCard("pair");
    ASSERT_NE(nullptr, pair);
    EXPECT_TRUE(pair->isComplete());
    EXPECT_EQ(signOnly ? 0x25 : 0x27, pair->getKeyUsage());
    EXPECT_EQ(signOnly ? amw::KeyPair::SIGNATURE_KEY : amw::KeyPair::KEY_EXCHANGE_KEY,
              pair->getKeySpec());
    EXPECT_EQ(0, pair->getContainerIndex());
    EXPECT_EQ(text("pub"), bytesOf(pair->getPublicPart().label));
    EXPECT_EQ(text("priv"), bytesOf(pair->getPrivatePart().label));

    const Bytes map = containerMap();
    ASSERT_EQ(86u, map.size());
    const ContainerRecord record = KeysFixture::record(map, 0);
    EXPECT_EQ(0x01, record.flags);
    EXPECT_FALSE(record.nameEmpty);
    EXPECT_EQ(signOnly ? 1024 : 0, record.signatureBits);
    EXPECT_EQ(signOnly ? 0 : 1024, record.exchangeBits);
}

INSTANTIATE_TEST_SUITE_P(Container, PublicKeyJoiningAPrivateHalf, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "SignatureKey" : "KeyExchangeKey";
                         });

TEST_F(KeyImport, SecondHalfOfTheSameKindIsADuplicate) {
    {
        auto call = beginCall();
        importKey<P11RsaPublicKey>(*call, publicTemplate(key1024(), "pub", "p"));
        importKey<P11RsaPrivateKey>(*call, privateTemplate(key1024(), "priv", "q"));
    }
    auto call = beginCall();
    EXPECT_EQ(DUPLICATE_ID, (refusedImport<TemplateInconsistentException, P11RsaPublicKey>(
                                *call, publicTemplate(key1024(), "pub", "again"))));
    EXPECT_EQ(DUPLICATE_ID, (refusedImport<TemplateInconsistentException, P11RsaPrivateKey>(
                                *call, privateTemplate(key1024(), "priv", "again"))));
}

TEST_F(KeyImport, HalfOfAnotherSizeThanTheStoredHalfIsRefused) {
    {
        auto call = beginCall();
        importKey<P11RsaPrivateKey>(*call, privateTemplate(key1024(), "priv", "q"));
        importKey<P11RsaPublicKey>(*call, publicTemplate(key1024(), "pub", "p"));
    }
    auto call = beginCall();
    EXPECT_EQ(SIZE_MISMATCH, (refusedImport<TemplateInconsistentException, P11RsaPublicKey>(
                                 *call, publicTemplate(key2048(), "priv", "p"))));
    EXPECT_EQ(SIZE_MISMATCH, (refusedImport<TemplateInconsistentException, P11RsaPrivateKey>(
                                 *call, privateTemplate(key2048(), "pub", "q"))));
}

// The token itself would refuse the identifier, but only after the
// freshness block had been written.
TEST_F(KeyImport, PrivateKeyForAStoredPublicHalfIsRefusedBeforeTheCardIsTouched) {
    {
        auto call = beginCall();
        importKey<P11RsaPublicKey>(*call, publicTemplate(key1024(), "pub", "p"));
    }
    auto call = beginCall();
    EXPECT_EQ("duplicate PKCS#11 detected",
              (refusedImport<amw::DuplicatePkcs11IdException, P11RsaPrivateKey>(
                  *call, privateTemplate(key1024(), "pub", "q"))));
}

TEST_F(KeyImport, ModulusTheCardCannotHoldIsRefusedBeforeTheCardIsTouched) {
    auto call = beginCall();
    RsaKey small = key1024();
    small.n.resize(96);
    for (Bytes* half : {&small.p, &small.q, &small.dp, &small.dq, &small.qinv}) half->resize(48);
    const std::string invalidModulus = "Invalid value of attribute [type=0x120]";
    EXPECT_EQ(invalidModulus, (refusedImport<AttributValueInvalidException, P11RsaPublicKey>(
                                  *call, publicTemplate(small, "small", "p"))));
    EXPECT_EQ(invalidModulus, (refusedImport<AttributValueInvalidException, P11RsaPrivateKey>(
                                  *call, privateTemplate(small, "small", "q"))));
}

TEST_F(KeyImport, IncompleteOrNullTemplateIsRefusedBeforeTheCardIsTouched) {
    auto call = beginCall();
    EXPECT_EQ("Template is incomplete. Missing attribute type [type=0x122]",
              (refusedImport<TemplateIncompleteException, P11RsaPublicKey>(
                  *call, publicTemplate(key1024(), "x", "p").without(CKA_PUBLIC_EXPONENT))));
    EXPECT_EQ("Template is incomplete. Missing attribute type [type=0x127]",
              (refusedImport<TemplateIncompleteException, P11RsaPrivateKey>(
                  *call, privateTemplate(key1024(), "x", "q").without(CKA_EXPONENT_2))));
    for (auto create : {&P11RsaPublicKey::createObject, &P11RsaPrivateKey::createObject}) {
        const std::string message =
            messageOf<InvalidArgumentException>([&] { create(*call, nullptr, 0); });
        EXPECT_NE(std::string::npos, message.find("<attributes>")) << message;
    }
}

// Private half, then public half, through the views: a pair with a
// container record of one key size.
void importCompletePair(std::unique_ptr<amw::CachedToken> call, const std::string& id) {
    importKey<P11RsaPrivateKey>(*call, privateTemplate(key1024(), id, "priv"));
    importKey<P11RsaPublicKey>(*call, publicTemplate(key1024(), id, "pub"));
}

TEST_F(KeyImport, RemovingThePublicHalfThenThePrivateHalfClearsThenLeavesTheContainer) {
    importCompletePair(beginCall(), "both");
    ASSERT_EQ(1024, KeysFixture::record(containerMap(), 0).exchangeBits);
    {
        auto call = beginCall();
        P11RsaPublicKey view(call->findKeyPair(buf<128>(text("both"))));
        view.destroyObjectFromCard(call.get());
    }
    amw::KeyPair* pair = keyPairOnCard("both");
    ASSERT_NE(nullptr, pair);
    EXPECT_FALSE(pair->hasPublicKey());
    EXPECT_TRUE(pair->hasPrivateKey());
    P11RsaPrivateKey remaining(pair);
    CK_ULONG length = 0;
    remaining.getAttributeValue(CKA_LABEL, nullptr, &length);
    EXPECT_EQ(4u, length);

    const Bytes mapAfterFirst = containerMap();
    ASSERT_EQ(86u, mapAfterFirst.size());
    EXPECT_EQ(Bytes(86, 0), mapAfterFirst) << "no key size left: the whole record is cleared";

    const std::uint16_t filesBefore = fileCounter(cardFreshness());
    {
        auto call = beginCall();
        P11RsaPrivateKey view(call->findKeyPair(buf<128>(text("both"))));
        view.destroyObjectFromCard(call.get());
    }
    EXPECT_EQ(nullptr, keyPairOnCard("both"));
    EXPECT_EQ(mapAfterFirst, containerMap());
    EXPECT_EQ(filesBefore, fileCounter(cardFreshness())) << "the map was not written";
}

TEST_F(KeyImport, RemovingThePrivateHalfFirstKeepsThePublicKeyReadableAndClearsTheContainer) {
    importCompletePair(beginCall(), "both");
    {
        auto call = beginCall();
        P11RsaPrivateKey view(call->findKeyPair(buf<128>(text("both"))));
        view.destroyObjectFromCard(call.get());
    }
    amw::KeyPair* pair = keyPairOnCard("both");
    ASSERT_NE(nullptr, pair);
    EXPECT_FALSE(pair->hasPrivateKey());
    EXPECT_EQ(0x24, pair->getKeyUsage()) << "only the public half's usage is left";
    P11RsaPublicKey remaining(pair);
    Bytes modulus(128);
    CK_ULONG length = 128;
    remaining.getAttributeValue(CKA_MODULUS, modulus.data(), &length);
    EXPECT_EQ(key1024().n, modulus);
    EXPECT_EQ(Bytes(86, 0), containerMap());
}

TEST_F(KeyImport, RemovingTheOnlyHalfDeletesThePairWithoutTheContainerMap) {
    {
        auto call = beginCall();
        importKey<P11RsaPublicKey>(*call, publicTemplate(key1024(), "only", "p"));
    }
    const std::uint16_t filesBefore = fileCounter(cardFreshness());
    {
        auto call = beginCall();
        P11RsaPublicKey view(call->findKeyPair(buf<128>(text("only"))));
        view.destroyObjectFromCard(call.get());
    }
    EXPECT_EQ(nullptr, keyPairOnCard("only"));
    EXPECT_EQ(Bytes(), containerMap());
    EXPECT_EQ(filesBefore, fileCounter(cardFreshness()));
}

TEST_F(KeyImport, DestroyWithoutATokenIsRefused) {
    auto call = beginCall();
    importKey<P11RsaPrivateKey>(*call, privateTemplate(key1024(), "k", "q"));
    P11RsaPrivateKey view(call->findKeyPair(buf<128>(text("k"))));
    EXPECT_NE(std::string::npos, messageOf<InvalidArgumentException>([&] {
                                     view.destroyObjectFromCard(nullptr);
                                 }).find("<token>"));
    EXPECT_NE(nullptr, call->findKeyPair(buf<128>(text("k"))));
}

// Six-byte windows of a value as the trace log's hex dumps and hex texts
// would show them.
std::vector<std::string> hexForms(const Bytes& secret) {
    std::vector<std::string> forms;
    for (std::size_t i = 0; i + 6 <= secret.size(); ++i) {
        std::string spaced;
        std::string plain;
        char digits[4];
        for (std::size_t j = i; j < i + 6; ++j) {
            std::snprintf(digits, sizeof digits, j == i ? "%02X" : " %02X", secret[j]);
            spaced += digits;
            std::snprintf(digits, sizeof digits, "%02X", secret[j]);
            plain += digits;
        }
        forms.push_back(spaced);
        forms.push_back(plain);
    }
    return forms;
}

TEST_F(KeyImport, TraceLogHoldsNoPrivateComponentOfAnImportedKey) {
    const RsaKey& key = otherKey1024();
    {
        auto call = beginCall();
        importKey<P11RsaPrivateKey>(*call, privateTemplate(key, "traced", "q"));
        importKey<P11RsaPublicKey>(*call, publicTemplate(key, "traced", "p"));
        P11RsaPrivateKey view(call->findKeyPair(buf<128>(text("traced"))));
        Bytes modulus(128);
        CK_ULONG length = 128;
        view.getAttributeValue(CKA_MODULUS, modulus.data(), &length);
    }
    std::ifstream in(Logger::instance().getFileName(), std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_NE(std::string::npos, log.find("P11RsaPrivateKey::createObject"));
    bool modulusSeen = false;
    for (const std::string& form : hexForms(key.n)) {
        modulusSeen = modulusSeen || log.find(form) != std::string::npos;
    }
    EXPECT_TRUE(modulusSeen) << "the search finds what is traced";
    const std::pair<const char*, const Bytes*> secrets[] = {
        {"P", &key.p}, {"Q", &key.q}, {"DP", &key.dp}, {"DQ", &key.dq}, {"INV", &key.qinv}};
    for (const auto& [name, secret] : secrets) {
        for (const std::string& form : hexForms(*secret)) {
            EXPECT_EQ(std::string::npos, log.find(form)) << name << " appears as " << form;
        }
    }
}

}  // namespace
