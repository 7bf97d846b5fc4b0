// The card token's key operations, byte for byte against a scripted card:
// generation, the three imports, amends both ways and the RSA computation.
#include <gtest/gtest.h>

#include <string>

#include "amw/exceptions.h"
#include "amwferrix/keypair.h"
#include "amwferrix/token.h"
#include "tokentestsupport.h"

namespace {

using namespace tokentest;
using apdutest::catchAs;
using apdutest::sequence;
using ctl::ScriptedConnection;

Bytes bytesOf(const unsigned char* data, std::size_t length) { return Bytes(data, data + length); }

template <std::size_t N>
StaticBuffer<N> buffer(const Bytes& bytes) {
    return StaticBuffer<N>(bytes.data(), bytes.size());
}

// Components of a made-up 1024-bit key: each one a distinct byte pattern.
amw::RsaPrivateKeyComponents privateKey1024() {
    amw::RsaPrivateKeyComponents key;
    key.p = buffer<256>(sequence(64, 0x10));
    key.q = buffer<256>(sequence(64, 0x20));
    key.modulus = buffer<256>(sequence(128, 0x80));
    key.publicExponent = buffer<256>(hex("00 01 00 01"));
    key.dp = buffer<256>(sequence(64, 0x30));
    key.dq = buffer<256>(sequence(64, 0x40));
    key.inv = buffer<256>(sequence(64, 0x50));
    return key;
}

void expectPrivateComponents(ScriptedConnection& card, const amw::RsaPrivateKeyComponents& key) {
    const std::pair<const char*, const StaticBuffer<256>*> parts[] = {
        {"80 42 01 00", &key.p},  {"80 42 02 00", &key.q},  {"80 42 03 00", &key.dp},
        {"80 42 04 00", &key.dq}, {"80 42 05 00", &key.inv}};
    for (const auto& [head, value] : parts) {
        card.expectTransmit(command(head, bytesOf(value->data, value->length)), {}, 0x9000, true);
    }
}

TEST(GenerateKeyPair, KeySizeOtherThan1024Or2048ThrowsBeforeAnyCommand) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto e = catchAs<InvalidArgumentException>([&] {
        token.generateKeyPair({}, {}, 1536, 0, 0, {}, 0, DEFAULT_PUBLIC_EXPONENT);
    });
    ASSERT_TRUE(e);
    EXPECT_STREQ("keySize must be 1024 or 2048", e->what());
    EXPECT_TRUE(card.calls().empty());
}

TEST(GenerateKeyPair, UnknownKeySpecThrowsBeforeAnyCommand) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto e = catchAs<InvalidArgumentException>([&] {
        token.generateKeyPair({}, {}, 1024, 0, 2, {}, 0, DEFAULT_PUBLIC_EXPONENT);
    });
    ASSERT_TRUE(e);
    EXPECT_STREQ("unknown AMW keySpec[2]", e->what());
    EXPECT_TRUE(card.calls().empty());
}

TEST(GenerateKeyPair, CreatesWithOrigin7GeneratesAndReturnsTheCompletePair) {
    ScriptedConnection card;
    const Bytes modulus = sequence(128, 0x80);
    card.expect("80 3E 00 01 0D 07 04 00 00 93 02 01 FF FF FF FF FF FF", "90 00");
    card.expectTransmit(hex("80 40 00 00 03 01 00 01"), modulus, 0x9000);
    amwferrix::Token token(card);
    auto keyPair = token.generateKeyPair(StaticBuffer<128>("pub", 3), StaticBuffer<128>("priv", 4),
                                         1024, 2, 1, StaticBuffer<128>("\x07", 1), 0x0093,
                                         DEFAULT_PUBLIC_EXPONENT);
    ASSERT_TRUE(keyPair->isComplete());
    EXPECT_EQ(1024, keyPair->getKeySize());
    EXPECT_EQ(0x0093, keyPair->getKeyUsage());
    EXPECT_TRUE(keyPair->isGeneratedOnCard());
    EXPECT_EQ(2, keyPair->getContainerIndex());
    EXPECT_EQ(1u, keyPair->getKeySpec());
    EXPECT_EQ(modulus, bytesOf(keyPair->getPublicPart().modulus.data, keyPair->getPublicPart().modulus.length));
    EXPECT_EQ(hex("01 00 01"), bytesOf(keyPair->getPublicPart().publicExponent.data, 3));
    auto& card_ = dynamic_cast<amwferrix::KeyPair&>(*keyPair);
    EXPECT_EQ(0x8000, card_.getBlockId());
    EXPECT_FALSE(card_.isAmendPending());
    card.verify();
}

TEST(GenerateKeyPair, ModulusLongerThanTheKeySizeIsAnInternalError) {
    ScriptedConnection card;
    card.expect("80 3E 00 01 0D 07 04 00 00 01 00 00 FF FF FF FF FF FF", "90 00");
    card.expectTransmit(hex("80 40 00 00 03 01 00 01"), sequence(129), 0x9000);
    amwferrix::Token token(card);
    auto e = catchAs<InternalErrorException>([&] {
        token.generateKeyPair({}, {}, 1024, 0, 0, {}, 1, DEFAULT_PUBLIC_EXPONENT);
    });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos,
              std::string(e->what()).find("unexpected length of modulus (expected 128,  actual 129)"));
}

TEST(ImportKeyPair, SendsNThenStrippedEThenTheFivePrivateComponentsMasked) {
    ScriptedConnection card;
    const amw::RsaPrivateKeyComponents key = privateKey1024();
    card.expect("80 3E 00 01 0D 06 04 00 00 03 01 00 FF FF FF FF FF FF", "90 00");
    card.expectTransmit(command("80 42 06 00", sequence(128, 0x80)), {}, 0x9000);
    card.expect("80 42 07 00 03 01 00 01", "90 00");
    expectPrivateComponents(card, key);
    amwferrix::Token token(card);
    auto keyPair = token.importKeyPair(StaticBuffer<128>("pub", 3), StaticBuffer<128>("priv", 4),
                                       1024, 1, 0, StaticBuffer<128>("\x01", 1), 0x0003, key);
    ASSERT_TRUE(keyPair->isComplete());
    EXPECT_FALSE(keyPair->isGeneratedOnCard());
    EXPECT_EQ(hex("01 00 01"), bytesOf(keyPair->getPublicPart().publicExponent.data,
                                       keyPair->getPublicPart().publicExponent.length));
    card.verify();
}

TEST(ImportPublicKey, ExponentWithLeadingZerosIsSentWithoutThem) {
    ScriptedConnection card;
    card.expect("80 3E 00 01 0D 02 04 00 00 6C FF 00 FF FF FF FF FF FF", "90 00");
    card.expectTransmit(command("80 42 06 00", sequence(128, 0x80)), {}, 0x9000);
    card.expect("80 42 07 00 03 01 00 01", "90 00");
    amwferrix::Token token(card);
    amw::RsaPublicKeyComponents pub;
    pub.modulus = buffer<256>(sequence(128, 0x80));
    pub.publicExponent = buffer<256>(hex("00 00 01 00 01"));
    auto keyPair = token.importPublicKey(StaticBuffer<128>("\x02", 1), 1024,
                                         StaticBuffer<128>("pub", 3), 0x006C, pub);
    EXPECT_TRUE(keyPair->hasPublicKey());
    EXPECT_FALSE(keyPair->hasPrivateKey());
    EXPECT_EQ(0xFF, keyPair->getContainerIndex());
    EXPECT_EQ(0x006C, keyPair->getKeyUsage());
    card.verify();
}

TEST(ImportPrivateKey, SendsOnlyTheFivePrivateComponents) {
    ScriptedConnection card;
    const amw::RsaPrivateKeyComponents key = privateKey1024();
    card.expect("80 3E 00 01 0D 04 04 00 00 93 FF 00 FF FF FF FF FF FF", "90 00");
    expectPrivateComponents(card, key);
    amwferrix::Token token(card);
    auto keyPair = token.importPrivateKey(StaticBuffer<128>("\x03", 1), 1024,
                                          StaticBuffer<128>("priv", 4), 0x0093, key);
    EXPECT_FALSE(keyPair->hasPublicKey());
    EXPECT_TRUE(keyPair->hasPrivateKey());
    EXPECT_EQ(sequence(128, 0x80), bytesOf(keyPair->getModulus().data, keyPair->getModulus().length))
        << "kept for the metadata, not sent";
    EXPECT_EQ(hex("01 00 01"), bytesOf(keyPair->getPublicExponent().data, keyPair->getPublicExponent().length));
    card.verify();
}

// A stored key pair of 1024 bits at block 0008 with the given parts.
std::unique_ptr<amwferrix::KeyPair> storedKeyPair(ctl::CardConnection& card, bool pub, bool priv) {
    auto keyPair = std::make_unique<amwferrix::KeyPair>(card, 1024);
    keyPair->setPkcs11Id(StaticBuffer<128>("\x01", 1));
    if (pub) {
        amw::KeyPair::PublicPart part;
        part.modulus = buffer<256>(sequence(128, 0x80));
        part.publicExponent = buffer<256>(hex("01 00 01"));
        part.label.assign("P", 1);
        keyPair->addPublicKey(part, 0, 0, 0x6C);
    }
    if (priv) {
        amw::KeyPair::PrivatePart part;
        part.label.assign("Q", 1);
        keyPair->addPrivateKey(part, 0, 0, 0x93);
    }
    keyPair->setBlockId(0x0008);
    return keyPair;
}

Bytes keyPairHeaderWithOrigin(std::uint8_t origin) {
    Bytes head = header(27, 0x8000, 5);
    head[22] = origin;
    putWord(head, 25, 1024);
    return head;
}

TEST(AmendKeyPair, AddingAPresentPartThrowsBeforeAnyCommand) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto keyPair = storedKeyPair(card, true, true);
    auto e = catchAs<InternalErrorException>([&] {
        token.amendKeyPairAddPublicKey(*keyPair, {}, 0, 0, 0, amw::RsaPublicKeyComponents());
    });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos, std::string(e->what()).find("Keypair has already public key"));
    auto f = catchAs<InternalErrorException>([&] {
        token.amendKeyPairAddPrivateKey(*keyPair, {}, 0, 0, 0, privateKey1024());
    });
    ASSERT_TRUE(f);
    EXPECT_NE(std::string::npos, std::string(f->what()).find("Keypair has already private key"));
    EXPECT_TRUE(card.calls().empty());
}

TEST(AmendKeyPair, AddingThePublicKeyAnnouncesOrigin6ImportsAndCompletesAtTheCommit) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto keyPair = storedKeyPair(card, false, true);
    card.expect("80 4C 00 08 01 06", "90 00");
    card.expectTransmit(command("80 42 06 00", sequence(128, 0x80)), {}, 0x9000);
    card.expect("80 42 07 00 03 01 00 01", "90 00");
    amw::RsaPublicKeyComponents pub;
    pub.modulus = buffer<256>(sequence(128, 0x80));
    pub.publicExponent = buffer<256>(hex("00 01 00 01"));
    token.amendKeyPairAddPublicKey(*keyPair, StaticBuffer<128>("P", 1), 3, 1, 0xFFFF, pub);
    EXPECT_TRUE(keyPair->isComplete());
    EXPECT_TRUE(keyPair->isAmendPending());
    EXPECT_EQ(0x93 | 0x6C, keyPair->getKeyUsage());
    EXPECT_EQ(3, keyPair->getContainerIndex());

    const Bytes meta = concat({item(hex("01")), item("P"), item("Q")});
    card.expectTransmit(concat({hex("80 4E 03 01 04 00 FF"), word(meta.size())}), {}, 0x9000);
    expectWriteData(card, meta);
    expectCommitMetadata(card, 0x0008);
    keyPair->commitCreationOrMetadataChanges();
    EXPECT_FALSE(keyPair->isAmendPending());
    card.verify();
}

TEST(AmendKeyPair, AddingThePrivateKeyImportsTheFiveComponentsMasked) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto keyPair = storedKeyPair(card, true, false);
    const amw::RsaPrivateKeyComponents key = privateKey1024();
    card.expect("80 4C 00 08 01 06", "90 00");
    expectPrivateComponents(card, key);
    token.amendKeyPairAddPrivateKey(*keyPair, StaticBuffer<128>("Q", 1), 0, 0, 0xFFFF, key);
    EXPECT_TRUE(keyPair->isComplete());
    EXPECT_EQ(0x93 | 0x6C, keyPair->getKeyUsage());
    card.verify();
}

struct RemoveCase {
    const char* name;
    bool removePublic;
    std::uint8_t storedOrigin;
    const char* amendCommand;
};

class AmendKeyPairRemove : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(AmendKeyPairRemove, ReadsTheStoredOriginAndAnnouncesTheRemainingSet) {
    const RemoveCase& c = GetParam();
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto keyPair = storedKeyPair(card, true, true);
    expectHeader(card, 0x0008, keyPairHeaderWithOrigin(c.storedOrigin));
    card.expect(c.amendCommand, "90 00");
    if (c.removePublic) {
        token.amendKeyPairRemovePublicKey(*keyPair);
        EXPECT_FALSE(keyPair->hasPublicKey());
        EXPECT_EQ(0x93, keyPair->getKeyUsage());
    } else {
        token.amendKeyPairRemovePrivateKey(*keyPair);
        EXPECT_FALSE(keyPair->hasPrivateKey());
        EXPECT_EQ(0x6C, keyPair->getKeyUsage());
    }
    EXPECT_TRUE(keyPair->isAmendPending());
    card.verify();
}

INSTANTIATE_TEST_SUITE_P(
    Origins, AmendKeyPairRemove,
    ::testing::Values(RemoveCase{"PublicOfGenerated", true, 7, "80 4C 00 08 01 05"},
                      RemoveCase{"PublicOfImported", true, 6, "80 4C 00 08 01 04"},
                      RemoveCase{"PrivateOfGenerated", false, 7, "80 4C 00 08 01 03"},
                      RemoveCase{"PrivateOfImported", false, 6, "80 4C 00 08 01 02"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AmendKeyPair, RemovingFromAnIncompletePairFailsAfterTheCardCommand) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto keyPair = storedKeyPair(card, true, false);
    expectHeader(card, 0x0008, keyPairHeaderWithOrigin(2));
    card.expect("80 4C 00 08 01 04", "90 00");
    auto e = catchAs<InternalErrorException>([&] { token.amendKeyPairRemovePublicKey(*keyPair); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos,
              std::string(e->what()).find("cannot remove public key from incomplete keypair"));
    EXPECT_TRUE(keyPair->hasPublicKey());
}

TEST(RsaExponentiation, TwoThousandFortyEightBitsSendsTwoPartsAndReturns256Bytes) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto keyPair = std::make_unique<amwferrix::KeyPair>(card, 2048);
    amw::KeyPair::PublicPart part;
    part.modulus = buffer<256>(sequence(256, 0x01));
    keyPair->addPublicKey(part, 0, 0, 0);
    keyPair->setBlockId(0x0042);
    const Bytes data = sequence(256, 0x33);
    const Bytes result = sequence(256, 0x99);
    card.expect("80 46 00 42 00", "90 00");
    card.expectTransmit(concat({hex("80 48 00 00 80"), Bytes(data.begin(), data.begin() + 128), hex("00")}), {}, 0x9000, true);
    card.expectTransmit(concat({hex("80 4A 00 00 80"), Bytes(data.begin() + 128, data.end()), hex("00")}), result, 0x9000, true);
    StaticBuffer<256> out;
    token.rsaExponentiation(keyPair.get(), data.data(), 256, &out, true);
    EXPECT_EQ(result, bytesOf(out.data, out.length));
    card.verify();
}

TEST(RsaExponentiation, PrivateKeyAloneTakesItsDataLengthFromTheKeySize) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto keyPair = std::make_unique<amwferrix::KeyPair>(card, 1024);
    keyPair->addPrivateKey(amw::KeyPair::PrivatePart(), 0, 0, 0);
    keyPair->setBlockId(0x0043);
    const Bytes data = sequence(128, 0x44);
    const Bytes result = sequence(128, 0x55);
    card.expect("80 46 00 43 00", "90 00");
    card.expectTransmit(concat({hex("80 4A 00 00 80"), data, hex("80")}), result, 0x9000);
    StaticBuffer<256> out;
    token.rsaExponentiation(keyPair.get(), data.data(), 128, &out, false);
    EXPECT_EQ(result, bytesOf(out.data, out.length));

    const Bytes wrong = sequence(256);
    auto e = catchAs<InternalErrorException>(
        [&] { token.rsaExponentiation(keyPair.get(), wrong.data(), 256, &out, false); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos,
              std::string(e->what()).find("unexpected length of data (expected 128,  actual 256)"));
    card.verify();
}

TEST(RsaExponentiation, DataOfAnotherLengthThanTheModulusThrowsBeforeAnyCommand) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto keyPair = storedKeyPair(card, true, true);
    const Bytes data = sequence(100);
    StaticBuffer<256> out;
    EXPECT_THROW(token.rsaExponentiation(keyPair.get(), data.data(), 100, &out, false),
                 InternalErrorException);
    EXPECT_THROW(token.rsaExponentiation(nullptr, data.data(), 100, &out, false),
                 InvalidArgumentException);
    EXPECT_THROW(token.rsaExponentiation(keyPair.get(), data.data(), 128, nullptr, false),
                 InvalidArgumentException);
    EXPECT_TRUE(card.calls().empty());
}

}  // namespace
