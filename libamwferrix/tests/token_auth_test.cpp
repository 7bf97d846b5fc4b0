// The card token's authentication, card facts, freshness block, properties,
// cache entities and factory, byte for byte against a scripted card.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "amw/exceptions.h"
#include "amwferrix/dataobject.h"
#include "amwferrix/directory.h"
#include "amwferrix/file.h"
#include "amwferrix/keypair.h"
#include "amwferrix/token.h"
#include "amwferrix/x509certificate.h"
#include "tokentestsupport.h"

namespace {

using namespace tokentest;
using apdutest::catchAs;
using apdutest::sequence;
using ctl::ScriptedConnection;

Bytes bytesOf(const unsigned char* data, std::size_t length) { return Bytes(data, data + length); }

amw::AuthenticationObject pinObject(std::uint32_t role) {
    return amw::AuthenticationObject(role, amw::AuthenticationObject::PIN, 5, 0, 0, false);
}

const std::string PIN_1234 = "31 32 33 34 00 00 00 00 00 00 00 00 00 00 00 00";

// --- Authentication -----------------------------------------------------------------

TEST(Authenticate, UnknownRoleThrowsBeforeAnyCommand) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    const Bytes pin = hex("31 32 33 34");
    auto e = catchAs<InvalidArgumentException>(
        [&] { token.authenticate(pinObject(9), pin.data(), 4, nullptr, nullptr); });
    ASSERT_TRUE(e);
    EXPECT_STREQ("unknown AMW role [9]", e->what());
    EXPECT_TRUE(card.calls().empty());
}

TEST(Authenticate, StatusWordsBecomeResultsAndTries) {
    struct Case {
        const char* response;
        amw::AuthenticationResult result;
        std::uint32_t tries;
    };
    const Case cases[] = {{"90 00", amw::AUTHENTICATION_SUCCESS, 77},
                          {"63 C2", amw::AUTHENTICATION_WRONG_PIN, 2},
                          {"69 83", amw::AUTHENTICATION_PIN_BLOCKED, 0},
                          {"69 85", amw::AUTHENTICATION_WRONG_PIN, 0xFFFFFFFF}};
    for (const Case& c : cases) {
        ScriptedConnection card;
        card.expect("80 20 01 00 10 " + PIN_1234, c.response, true);
        amwferrix::Token token(card);
        const Bytes pin = hex("31 32 33 34");
        std::uint32_t tries = 77;
        EXPECT_EQ(c.result, token.authenticate(pinObject(1), pin.data(), 4, &tries, nullptr))
            << c.response;
        EXPECT_EQ(c.tries, tries) << c.response;
        card.verify();
    }
}

TEST(AuthenticateSessionPin, EightBytesGoWithP2SessionAndOtherLengthsAreWrongWithoutCommand) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    const Bytes pin = sequence(8, 0xA0);
    EXPECT_EQ(amw::AUTHENTICATION_WRONG_PIN,
              token.authenticateSessionPin(1, pin.data(), 7, nullptr));
    EXPECT_TRUE(card.calls().empty());
    card.expectTransmit(command("80 20 01 02", pin), {}, 0x9000, true);
    EXPECT_EQ(amw::AUTHENTICATION_SUCCESS, token.authenticateSessionPin(1, pin.data(), 8, nullptr));
    card.verify();
}

TEST(GenerateSessionPin, NullBufferThrowsAndTheResponseIsMasked) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto e = catchAs<InvalidArgumentException>([&] { token.generateSessionPin(1, nullptr); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos, std::string(e->what()).find("<sessionPin>"));
    const Bytes value = sequence(8, 0x61);
    card.expectTransmit(hex("80 2E 01 00 08"), value, 0x9000, true);
    StaticBuffer<128> sessionPin;
    token.generateSessionPin(1, &sessionPin);
    EXPECT_EQ(value, bytesOf(sessionPin.data, sessionPin.length));
    card.verify();
}

TEST(GetChallenge, NullBufferThrowsAndEightBytesComeBack) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    EXPECT_THROW(token.getChallenge(3, nullptr), InvalidArgumentException);
    card.expectTransmit(hex("80 24 03 00 08"), sequence(8), 0x9000);
    StaticBuffer<128> challenge;
    token.getChallenge(3, &challenge);
    EXPECT_EQ(sequence(8), bytesOf(challenge.data, challenge.length));
    card.verify();
}

TEST(UnblockPin, SendsBothRolesAndBothPinsMasked) {
    ScriptedConnection card;
    card.expect("80 28 02 01 20 31 32 33 34 35 36 37 38 00 00 00 00 00 00 00 00 " + PIN_1234,
                "63 C1", true);
    amwferrix::Token token(card);
    const Bytes so = hex("31 32 33 34 35 36 37 38");
    const Bytes pin = hex("31 32 33 34");
    std::uint32_t tries = 0;
    EXPECT_EQ(amw::AUTHENTICATION_WRONG_PIN,
              token.unblockPin(pinObject(2), so.data(), 8, pinObject(1), pin.data(), 4, &tries,
                               nullptr));
    EXPECT_EQ(1u, tries);
    card.verify();
}

TEST(ChangePin, SendsTheNewPinMaskedAndDeauthenticateDropsTheRole) {
    ScriptedConnection card;
    card.expect("80 26 00 01 10 " + PIN_1234, "90 00", true);
    card.expect("80 22 01 00 00", "90 00");
    amwferrix::Token token(card);
    const Bytes pin = hex("31 32 33 34");
    token.changePin(pinObject(1), pin.data(), 4, nullptr);
    token.deauthenticate(1);
    card.verify();
}

TEST(WillUsePinPad, OnlyForPinObjectsOnAPinPadReader) {
    ScriptedConnection card(true);
    amwferrix::Token token(card);
    EXPECT_TRUE(token.willUsePinPad(pinObject(1)));
    EXPECT_FALSE(token.willUsePinPad(
        amw::AuthenticationObject(3, amw::AuthenticationObject::KEY, 5, 0, 0, false)));
    card.setPinPadAvailable(false);
    EXPECT_FALSE(token.willUsePinPad(pinObject(1)));
    EXPECT_TRUE(card.calls().empty());
}

TEST(ListAuthenticateObjects, AsksIndices1To7AndSkipsTheMissingOnes) {
    ScriptedConnection card;
    card.expect("80 2C 01 00 0A", "00 04 00 00 00 00 00 03 00 03 90 00")
        .expect("80 2C 02 00 0A", "00 00 00 00 00 34 12 05 01 05 90 00")
        .expect("80 2C 03 00 0A", "01 04 00 00 00 00 00 07 00 07 90 00");
    for (int index = 4; index <= 7; ++index) {
        card.expect("80 2C 0" + std::to_string(index) + " 00 0A", "6B 00");
    }
    amwferrix::Token token(card);
    amw::AuthenticationObjectList list;
    token.listAuthenticateObjects(list);
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(1u, list[0]->getRole());
    EXPECT_EQ(amw::AuthenticationObject::PIN, list[0]->getType());
    EXPECT_EQ(0x0004, list[0]->getFirstAttribute());
    EXPECT_EQ(3u, list[0]->getAttribute());
    EXPECT_FALSE(list[0]->isPkcs11So());
    EXPECT_EQ(0x1234, list[1]->getSecondAttribute());
    EXPECT_TRUE(list[1]->isPkcs11So());
    EXPECT_EQ(amw::AuthenticationObject::KEY, list[2]->getType());
    card.verify();
}

// --- Card facts and freshness ----------------------------------------------------------

TEST(CardFacts, VersionSerialIdMemoryAndAuthState) {
    ScriptedConnection card;
    card.expect("80 02 00 00 02", "03 01 90 00")
        .expect("80 04 00 00 08", "01 02 03 04 05 06 07 08 90 00")
        .expectTransmit(hex("80 08 00 00 10"), sequence(16, 0xC0), 0x9000)
        .expectTransmit(command("80 52 00 00", sequence(16, 0xD0)), {}, 0x9000);
    expectMemoryInfo(card, 256, 512, 100);
    card.expect("80 50 00 00 01", "02 90 00");
    card.expect("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41", "90 00");
    amwferrix::Token token(card);
    std::uint8_t major = 0, minor = 0;
    token.getVersion(&major, &minor);
    EXPECT_EQ(3, major);
    EXPECT_EQ(1, minor);
    StaticBuffer<256> serial;
    token.getCardSerialNumber(serial);
    EXPECT_EQ(hex("01 02 03 04 05 06 07 08"), bytesOf(serial.data, serial.length));
    amw::CardId id{};
    token.getCardId(id);
    EXPECT_EQ(sequence(16, 0xC0), Bytes(id.begin(), id.end()));
    amw::CardId newId{};
    const Bytes d0 = sequence(16, 0xD0);
    std::copy(d0.begin(), d0.end(), newId.begin());
    token.setCardId(newId);
    std::uint32_t total = 0, available = 0;
    token.getMemoryInfo(total, available);
    EXPECT_EQ(256u * 512, total);
    EXPECT_EQ(256u * 100, available);
    EXPECT_EQ(0x02, token.getAuthStateMask());
    token.selectApplet();
    EXPECT_EQ(0u, token.getTokenFlags());
    EXPECT_EQ(1u, token.getSerializationVersion());
    card.verify();
}

TEST(CacheFreshness, CardWithoutARecordOfThatLengthGivesAllZeros) {
    ScriptedConnection card;
    card.expect("80 0C 00 00 2F", "6C 2A");
    amwferrix::Token token(card);
    amw::FreshnessRecord record;
    record.counter(1) = 9;
    EXPECT_FALSE(token.getCacheFreshness(record));
    EXPECT_EQ(amw::FreshnessRecord(), record);
}

TEST(CacheFreshness, RecordRoundTripsThroughTheCardBytes) {
    ScriptedConnection card;
    const Bytes bytes = sequence(47, 1);
    card.expectTransmit(hex("80 0C 00 00 2F"), bytes, 0x9000);
    card.expectTransmit(command("80 0E 00 00", bytes), {}, 0x9000);
    amwferrix::Token token(card);
    amw::FreshnessRecord record;
    EXPECT_TRUE(token.getCacheFreshness(record));
    EXPECT_EQ(0x0201, record.counter(1));
    EXPECT_EQ(0u, record.counter(7));
    token.setCacheFreshness(record);
    card.verify();
}

// --- Properties ------------------------------------------------------------------------

TEST(GetProperty, GacInfoChecksTheBufferBeforeTheCardAndReports59Bytes) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    std::uint8_t buffer[100] = {};
    std::uint32_t size = 58;
    auto e = catchAs<amw::InvalidBufferSizeException>(
        [&] { token.getProperty(L"VX_GET_GAC_INFO", buffer, &size, 0); });
    ASSERT_TRUE(e);
    EXPECT_STREQ("invalid size of buffer (expected 59,  actual 58)", e->what());
    EXPECT_TRUE(card.calls().empty());
    card.expectTransmit(hex("80 06 02 00 3B"), sequence(59, 1), 0x9000);
    size = 100;
    token.getProperty(L"VX_GET_GAC_INFO", buffer, &size, 0);
    EXPECT_EQ(59u, size);
    EXPECT_EQ(sequence(59, 1), bytesOf(buffer, 59));
    card.verify();
}

TEST(GetProperty, KeyPairSlotCountForAnUnsupportedSizeIsAllOnesWithoutCommand) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    std::uint32_t value = 0;
    std::uint32_t size = 4;
    token.getProperty(L"VX_GET_KEYPAIR_SLOT_COUNT", reinterpret_cast<std::uint8_t*>(&value), &size,
                      4096);
    EXPECT_EQ(0xFFFFFFFFu, value);
    EXPECT_EQ(4u, size);
    EXPECT_TRUE(card.calls().empty());
}

TEST(GetProperty, KeyPairSlotCountCountsSlotsOfThatSizeAndUnboundOnesWhetherUsedOrNot) {
    for (std::uint32_t keySize : {2048u, 1024u}) {
        ScriptedConnection card;
        card.expect("80 06 03 00 00", "01 08 00 00 00 00 00 04 00 90 00");
        amwferrix::Token token(card);
        std::uint32_t value = 0;
        std::uint32_t size = 8;
        token.getProperty(L"VX_GET_KEYPAIR_SLOT_COUNT", reinterpret_cast<std::uint8_t*>(&value),
                          &size, keySize);
        EXPECT_EQ(2u, value) << keySize;
        EXPECT_EQ(4u, size);
    }
}

TEST(GetProperty, LifeCyclePolicyAndTriesRemaining) {
    ScriptedConnection card;
    card.expect("80 06 04 00 01", "07 90 00")
        .expect("80 2C 01 01 09", "04 10 0F 00 00 00 00 00 00 90 00")
        .expect("80 2C 01 00 0A", "00 04 00 00 00 00 00 03 00 02 90 00");
    amwferrix::Token token(card);
    std::uint8_t buffer[16] = {};
    std::uint32_t size = sizeof buffer;
    token.getProperty(L"VX_GET_LIFE_CYCLE_STATE", buffer, &size, 0);
    EXPECT_EQ(1u, size);
    EXPECT_EQ(7, buffer[0]);
    size = sizeof buffer;
    token.getProperty(L"VX_GET_PIN_POLICY", buffer, &size, 0x101);
    EXPECT_EQ(9u, size);
    EXPECT_EQ(hex("04 10 0F 00 00 00 00 00 00"), bytesOf(buffer, 9));
    size = sizeof buffer;
    token.getProperty(L"VX_GET_TRIES_REMAINING", buffer, &size, 1);
    EXPECT_EQ(1u, size);
    EXPECT_EQ(2, buffer[0]);
    card.verify();
}

TEST(GetProperty, MissingAuthenticationObjectIsAnUnknownPropertyForPolicyAndTries) {
    ScriptedConnection card;
    card.expect("80 2C 05 01 09", "6B 00").expect("80 2C 05 00 0A", "6B 00");
    amwferrix::Token token(card);
    std::uint8_t buffer[16] = {};
    std::uint32_t size = sizeof buffer;
    auto e = catchAs<amw::UnknownPropertyException>(
        [&] { token.getProperty(L"VX_GET_PIN_POLICY", buffer, &size, 5); });
    ASSERT_TRUE(e);
    EXPECT_STREQ("unknown name of proprietary extension or invalid dw flags argument", e->what());
    size = sizeof buffer;
    EXPECT_THROW(token.getProperty(L"VX_GET_TRIES_REMAINING", buffer, &size, 5),
                 amw::UnknownPropertyException);
    card.verify();
}

TEST(Properties, NamesAreCaseSensitiveAndUnknownNamesSendNothing) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    std::uint8_t buffer[4] = {};
    std::uint32_t size = 4;
    EXPECT_THROW(token.setProperty(L"vx_activate", nullptr, 0, 0), amw::UnknownPropertyException);
    EXPECT_THROW(token.getProperty(L"VX_ACTIVATE", buffer, &size, 0),
                 amw::UnknownPropertyException);
    EXPECT_THROW(token.setProperty(L"VX_GET_GAC_INFO", buffer, 4, 0),
                 amw::UnknownPropertyException);
    EXPECT_TRUE(card.calls().empty());
    card.expect("80 30 00 00 00", "90 00");
    token.setProperty(L"VX_ACTIVATE", nullptr, 0, 0);
    card.verify();
}

TEST(SetAo, ValueSizeFollowsTheObjectTypeAndIsSentMasked) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    const Bytes pin = hex(PIN_1234);
    const Bytes key = sequence(24, 0x11);
    card.expect("80 2C 01 00 0A", "00 04 00 00 00 00 00 03 00 03 90 00");
    auto e = catchAs<amw::InvalidBufferSizeException>(
        [&] { token.setProperty(L"VX_SET_AO", key.data(), 24, 1); });
    ASSERT_TRUE(e);
    EXPECT_STREQ("invalid size of buffer (expected 16,  actual 24)", e->what());
    card.expect("80 2C 01 00 0A", "00 04 00 00 00 00 00 03 00 03 90 00");
    card.expect("80 26 00 01 10 " + PIN_1234, "90 00", true);
    token.setProperty(L"VX_SET_AO", pin.data(), 16, 1);
    card.expect("80 2C 03 00 0A", "01 04 00 00 00 00 00 03 00 03 90 00");
    card.expectTransmit(command("80 26 00 03", key), {}, 0x9000, true);
    token.setProperty(L"VX_SET_AO", key.data(), 24, 3);
    card.expect("80 2C 06 00 0A", "6B 00");
    EXPECT_THROW(token.setProperty(L"VX_SET_AO", pin.data(), 16, 6),
                 amw::UnknownPropertyException);
    card.verify();
}

// --- Cache entities ---------------------------------------------------------------------

TEST(CreateSerializableEntity, MakesAnEmptyObjectOfEveryKindAndRejectsOthers) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto keyPair = token.createSerializableEntity(1);
    EXPECT_EQ(0x8000, dynamic_cast<amwferrix::KeyPair&>(*keyPair).getBlockId());
    auto certificate = token.createSerializableEntity(3);
    EXPECT_EQ(0u, dynamic_cast<amwferrix::X509Certificate&>(*certificate).getCardContentSize());
    auto directory = token.createSerializableEntity(4);
    EXPECT_EQ(0u, dynamic_cast<amwferrix::Directory&>(*directory).getDirectoryName().length);
    auto file = token.createSerializableEntity(5);
    EXPECT_EQ(0xFFFF, dynamic_cast<amwferrix::File&>(*file).getAccess(2));
    auto dataObject = token.createSerializableEntity(6);
    EXPECT_EQ(0xFFFF, dynamic_cast<amwferrix::DataObject&>(*dataObject).getAcReadContent());
    auto ao = token.createSerializableEntity(7);
    EXPECT_EQ(5u, dynamic_cast<amw::AuthenticationObject&>(*ao).getAttribute());
    for (std::uint32_t id : {0u, 2u, 8u}) {
        auto e = catchAs<InternalErrorException>([&] { token.createSerializableEntity(id); });
        ASSERT_TRUE(e);
        EXPECT_NE(std::string::npos,
                  std::string(e->what()).find("Token::createSerializableEntity unknown entityId [" +
                                              std::to_string(id) + "]"));
    }
    EXPECT_TRUE(card.calls().empty());
}

// Writes `entity`, reads the bytes back into a fresh entity of `kind` and
// returns the bytes written.
template <class T>
std::string roundTrip(amwferrix::Token& token, std::uint32_t kind, const T& entity, T*& copy,
                      std::unique_ptr<SerializableEntity>& holder) {
    std::ostringstream out;
    entity.writeStream(out);
    holder = token.createSerializableEntity(kind);
    std::istringstream in(out.str());
    holder->readStream(in);
    EXPECT_EQ(out.str().size(), static_cast<std::size_t>(in.tellg()));
    copy = dynamic_cast<T*>(holder.get());
    return out.str();
}

std::uint16_t trailingWord(const std::string& bytes, std::size_t fromEnd) {
    const std::size_t at = bytes.size() - fromEnd;
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[at]) |
                                      (static_cast<std::uint8_t>(bytes[at + 1]) << 8));
}

TEST(CacheRecords, EveryKindRoundTripsWithItsBlockIdAppended) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    std::unique_ptr<SerializableEntity> holder;

    amwferrix::KeyPair keyPair(card, 2048);
    keyPair.setPkcs11Id(StaticBuffer<128>("\x01\x02", 2));
    amw::KeyPair::PrivatePart priv;
    priv.label.assign("k", 1);
    keyPair.addPrivateKey(priv, 4, 1, 0x93);
    keyPair.setBlockId(0x1234);
    amwferrix::KeyPair* keyPairCopy = nullptr;
    std::string bytes = roundTrip(token, 1, keyPair, keyPairCopy, holder);
    ASSERT_NE(nullptr, keyPairCopy);
    EXPECT_EQ(0x1234, trailingWord(bytes, 2));
    EXPECT_EQ(0x1234, keyPairCopy->getBlockId());
    EXPECT_EQ(0, keyPairCopy->compare(keyPair));
    EXPECT_EQ(2048, keyPairCopy->getKeySize());
    EXPECT_EQ(1u, keyPairCopy->getKeySpec());

    amwferrix::X509Certificate certificate(card, StaticBuffer<128>("c", 1), true,
                                           StaticBuffer<128>("l", 1), 2, 1);
    const Bytes der = sequence(40);
    certificate.setContent(der.data(), der.size());
    certificate.setBlockId(0x0021);
    amwferrix::X509Certificate* certificateCopy = nullptr;
    bytes = roundTrip(token, 3, certificate, certificateCopy, holder);
    ASSERT_NE(nullptr, certificateCopy);
    EXPECT_EQ(0x0021, trailingWord(bytes, 2));
    EXPECT_EQ(40u, certificateCopy->getCardContentSize());
    EXPECT_TRUE(certificateCopy->isContentLoaded());
    EXPECT_EQ(der, bytesOf(certificateCopy->getContent().data, certificateCopy->getContent().length));

    amwferrix::DataObject dataObject(card, StaticBuffer<128>("d", 1), StaticBuffer<128>("l", 1),
                                     StaticBuffer<128>("o", 1), StaticBuffer<128>("a", 1), 0x0202);
    const Bytes secret = hex("53 45 43 52 45 54");
    dataObject.setContent(secret.data(), secret.size());
    dataObject.setBlockId(0x0031);
    amwferrix::DataObject* dataObjectCopy = nullptr;
    bytes = roundTrip(token, 6, dataObject, dataObjectCopy, holder);
    ASSERT_NE(nullptr, dataObjectCopy);
    EXPECT_EQ(0x0031, trailingWord(bytes, 4));
    EXPECT_EQ(0x0202, trailingWord(bytes, 2));
    EXPECT_EQ(0x0202, dataObjectCopy->getAcReadContent());
    EXPECT_EQ(6u, dataObjectCopy->getCardContentSize());
    EXPECT_FALSE(dataObjectCopy->isContentLoaded()) << "private content must stay out of the cache";
    EXPECT_EQ(std::string::npos, bytes.find("SECRET"));

    amwferrix::File file(card, StaticBuffer<8>("f", 1), StaticBuffer<8>("d", 1), 0x0101, 0x0202,
                         0x0404);
    file.setBlockId(0x0041);
    amwferrix::File* fileCopy = nullptr;
    bytes = roundTrip(token, 5, file, fileCopy, holder);
    ASSERT_NE(nullptr, fileCopy);
    EXPECT_EQ(0x0041, fileCopy->getBlockId());
    EXPECT_EQ(0x0404, fileCopy->getAccess(2));
    EXPECT_EQ(0, fileCopy->compare(file));

    amwferrix::Directory directory(card, StaticBuffer<8>("mscp", 4));
    directory.setBlockId(0x0003);
    amwferrix::Directory* directoryCopy = nullptr;
    bytes = roundTrip(token, 4, directory, directoryCopy, holder);
    ASSERT_NE(nullptr, directoryCopy);
    EXPECT_EQ(std::string("\x04\x00\x00\x00mscp\x03\x00", 10), bytes);
    EXPECT_EQ(0x0003, directoryCopy->getBlockId());
}

TEST(CacheRecords, DirectoryNameLongerThan8BytesFailsToLoad) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto directory = token.createSerializableEntity(4);
    std::istringstream in(std::string("\x09\x00\x00\x00" "abcdefghi\x03\x00", 15));
    EXPECT_THROW(directory->readStream(in), SerializationException);
}

TEST(CacheRecords, TruncatedRecordFailsToLoad) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    amwferrix::DataObject dataObject(card, StaticBuffer<128>("d", 1), {}, {}, {}, 0x0101);
    std::ostringstream out;
    dataObject.writeStream(out);
    const std::string bytes = out.str();
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        auto entity = token.createSerializableEntity(6);
        std::istringstream in(bytes.substr(0, cut));
        EXPECT_THROW(entity->readStream(in), SerializationException) << cut;
    }
}

// --- Factory ----------------------------------------------------------------------------

TEST(RegisterTokenFactory, CreateTokenMakesAFerrixTokenWithoutTalkingToTheCard) {
    amwferrix::registerTokenFactory();
    ScriptedConnection card;
    auto token = amw::Token::createToken(card, 0, false);
    ASSERT_NE(nullptr, dynamic_cast<amwferrix::Token*>(token.get()));
    EXPECT_TRUE(card.calls().empty());
    card.expect("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41", "90 00");
    auto selected = amw::Token::createToken(card);
    EXPECT_NE(nullptr, selected);
    card.verify();
}

}  // namespace
