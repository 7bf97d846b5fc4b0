// Card-wide commands: the bytes sent and the conversion of the answers.
#include <gtest/gtest.h>

#include <cstring>

#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "apdutestsupport.h"

namespace {

using namespace apdutest;
using ctl::ScriptedConnection;
namespace apdu = amwferrix::apdu;

TEST(SelectApplet, SelectsTheFerrixAid) {
    ScriptedConnection card;
    card.expect("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41", "90 00");
    apdu::selectApplet(card);
}

TEST(SelectApplet, ResponseDataIsALengthError) {
    ScriptedConnection card;
    card.expect("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41", "6F 90 00");
    auto e = catchAs<InternalErrorException>([&] { apdu::selectApplet(card); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ("INTERNAL ERROR unexpected response length (expected 0,  actual 1)", e->what());
}

TEST(SelectApplet, NotSelectedStatusBecomesAppletNotSelected) {
    ScriptedConnection card;
    card.expect("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41", "6D 00");
    EXPECT_THROW(apdu::selectApplet(card), amw::AppletNotSelectedException);
}

TEST(GetVersion, ReturnsMajorAndMinor) {
    ScriptedConnection card;
    card.expect("80 02 00 00 02", "03 07 90 00");
    std::uint8_t major = 0, minor = 0;
    apdu::getVersion(card, &major, &minor);
    EXPECT_EQ(3, major);
    EXPECT_EQ(7, minor);
}

TEST(GetVersion, NullOutputThrowsBeforeSending) {
    ScriptedConnection card;
    std::uint8_t minor = 0;
    auto e = catchAs<InvalidArgumentException>([&] { apdu::getVersion(card, nullptr, &minor); });
    ASSERT_TRUE(e.has_value());
    EXPECT_NE(nullptr, std::strstr(e->what(), "Null pointer exception <versionMajor>"));
}

TEST(GetVersion, WrongLengthWithSuccessThrowsBothNumbers) {
    ScriptedConnection card;
    card.expect("80 02 00 00 02", "03 07 01 90 00");
    std::uint8_t major = 0, minor = 0;
    auto e = catchAs<InternalErrorException>([&] { apdu::getVersion(card, &major, &minor); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ("INTERNAL ERROR unexpected response length (expected 2,  actual 3)", e->what());
}

TEST(GetVersion, ErrorStatusWinsOverLength) {
    ScriptedConnection card;
    card.expect("80 02 00 00 02", "03 07 01 69 82");
    std::uint8_t major = 0, minor = 0;
    EXPECT_THROW(apdu::getVersion(card, &major, &minor), amw::SecurityViolationException);
}

TEST(GetCardSerialNumber, ReturnsEightBytes) {
    ScriptedConnection card;
    card.expect("80 04 00 00 08", "11 22 33 44 55 66 77 88 90 00");
    std::uint8_t serial[8] = {};
    apdu::getCardSerialNumber(card, serial);
    EXPECT_EQ(hex("11 22 33 44 55 66 77 88"), Bytes(serial, serial + 8));
}

TEST(GetCardSerialNumber, ShortAnswerThrows) {
    ScriptedConnection card;
    card.expect("80 04 00 00 08", "11 22 33 90 00");
    std::uint8_t serial[8] = {};
    EXPECT_THROW(apdu::getCardSerialNumber(card, serial), InternalErrorException);
}

TEST(GetMemoryInfo, MultipliesBlockCountsByBlockSize) {
    ScriptedConnection card;
    // Block size 0x0100, 0x0080 blocks in all, 0x0020 free, two unused bytes.
    card.expect("80 06 01 00 08", "01 00 00 80 00 20 FF FF 90 00");
    std::uint16_t blockSize = 0;
    std::uint32_t total = 0, available = 0;
    apdu::getMemoryInfo(card, &blockSize, &total, &available);
    EXPECT_EQ(256, blockSize);
    EXPECT_EQ(32768u, total);
    EXPECT_EQ(8192u, available);
}

TEST(GetMemoryInfo, LargestFiguresFitThirtyTwoBits) {
    ScriptedConnection card;
    card.expect("80 06 01 00 08", "FF FF FF FF FF FE 00 00 90 00");
    std::uint16_t blockSize = 0;
    std::uint32_t total = 0, available = 0;
    apdu::getMemoryInfo(card, &blockSize, &total, &available);
    EXPECT_EQ(0xFFFF, blockSize);
    EXPECT_EQ(65535u * 65535u, total);
    EXPECT_EQ(65535u * 65534u, available);
}

TEST(GetGacInfo, CopiesTheRecordByteForByte) {
    const Bytes record = sequence(59, 0x40);
    ScriptedConnection card;
    card.expectTransmit(hex("80 06 02 00 3B"), record, 0x9000);
    apdu::GlobalAccessInfo info;
    apdu::getGacInfo(card, &info);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info);
    EXPECT_EQ(record, Bytes(bytes, bytes + sizeof info));
}

TEST(GetGacInfo, RecordOfAnotherLengthThrows) {
    ScriptedConnection card;
    card.expectTransmit(hex("80 06 02 00 3B"), sequence(58), 0x9000);
    apdu::GlobalAccessInfo info;
    EXPECT_THROW(apdu::getGacInfo(card, &info), InternalErrorException);
}

TEST(GetJckpInfo, ConvertsThreeByteEntries) {
    ScriptedConnection card;
    card.expect("80 06 03 00 00", "01 04 00 00 08 00 00 00 00 90 00");
    apdu::SlotInfo slots[4];
    EXPECT_EQ(3u, apdu::getJckpInfo(card, slots, 4));
    EXPECT_TRUE(slots[0].used);
    EXPECT_EQ(1024, slots[0].keySize);
    EXPECT_FALSE(slots[1].used);
    EXPECT_EQ(2048, slots[1].keySize);
    EXPECT_FALSE(slots[2].used);
    EXPECT_EQ(0, slots[2].keySize);
}

TEST(GetJckpInfo, WrongLengthStatusIsResentWithTheCardsLength) {
    ScriptedConnection card;
    card.expect("80 06 03 00 00", "6C 09")
        .expect("80 06 03 00 09", "02 08 00 00 04 00 01 08 00 90 00");
    apdu::SlotInfo slots[3];
    EXPECT_EQ(3u, apdu::getJckpInfo(card, slots, 3));
    EXPECT_TRUE(slots[0].used);
    EXPECT_EQ(2048, slots[0].keySize);
    EXPECT_EQ(1024, slots[1].keySize);
    EXPECT_TRUE(slots[2].used);
}

TEST(GetJckpInfo, AnswerNotAMultipleOfThreeThrows) {
    ScriptedConnection card;
    card.expect("80 06 03 00 00", "6C 09").expectTransmit(hex("80 06 03 00 09"), sequence(10),
                                                          0x9000);
    apdu::SlotInfo slots[8];
    auto e = catchAs<InternalErrorException>([&] { apdu::getJckpInfo(card, slots, 8); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ("INTERNAL ERROR unexpected response length in APDU (JCKP INFO) 10 bytes",
                 e->what());
}

TEST(GetJckpInfo, MoreEntriesThanCapacityThrows) {
    ScriptedConnection card;
    card.expect("80 06 03 00 00", "01 04 00 00 08 00 00 00 00 90 00");
    apdu::SlotInfo slots[2];
    auto e = catchAs<InternalErrorException>([&] { apdu::getJckpInfo(card, slots, 2); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ(
        "INTERNAL ERROR insufficient count of SlotInfo for storing information about key slots "
        "in APDU (JCKP INFO) requested = 3, actual = 2",
        e->what());
}

TEST(GetJckpInfo, SecondErrorStatusGoesToTheTable) {
    ScriptedConnection card;
    card.expect("80 06 03 00 00", "6C 06").expect("80 06 03 00 06", "6A 82");
    apdu::SlotInfo slots[2];
    EXPECT_THROW(apdu::getJckpInfo(card, slots, 2), amw::SWException);
}

TEST(GetActivationInfo, ReturnsTheLifeCycleByte) {
    ScriptedConnection card;
    card.expect("80 06 04 00 01", "07 90 00");
    EXPECT_EQ(7, apdu::getActivationInfo(card));
}

TEST(GetCardId, ReturnsSixteenBytes) {
    const Bytes id = sequence(16, 0xA0);
    ScriptedConnection card;
    card.expectTransmit(hex("80 08 00 00 10"), id, 0x9000);
    std::uint8_t out[16] = {};
    apdu::getCardId(card, out);
    EXPECT_EQ(id, Bytes(out, out + 16));
}

TEST(SetCardId, SendsSixteenBytes) {
    const Bytes id = sequence(16, 0x10);
    ScriptedConnection card;
    card.expect("80 52 00 00 10 " + toHex(id), "90 00");
    apdu::setCardId(card, id.data());
}

TEST(GetHeads, ReturnsFiveChainHeadsInOrder) {
    ScriptedConnection card;
    card.expect("80 0A 00 00 0A", "00 01 80 00 01 02 80 00 7F FF 90 00");
    std::uint16_t dataObjects = 0, keyPairs = 0, certificates = 0, directories = 0, files = 0;
    apdu::getHeads(card, &dataObjects, &keyPairs, &certificates, &directories, &files);
    EXPECT_EQ(0x0001, dataObjects);
    EXPECT_EQ(apdu::BLOCK_ID_NONE, keyPairs);
    EXPECT_EQ(0x0102, certificates);
    EXPECT_EQ(apdu::BLOCK_ID_NONE, directories);
    EXPECT_EQ(0x7FFF, files);
}

TEST(GetHeads, NullOutputsAreSkipped) {
    ScriptedConnection card;
    card.expect("80 0A 00 00 0A", "00 01 80 00 01 02 80 00 7F FF 90 00");
    std::uint16_t certificates = 0;
    apdu::getHeads(card, nullptr, nullptr, &certificates, nullptr, nullptr);
    EXPECT_EQ(0x0102, certificates);
}

TEST(GetCacheFreshness, CopiesARecordOfTheAskedLength) {
    const Bytes record = sequence(47, 1);
    ScriptedConnection card;
    card.expectTransmit(hex("80 0C 00 00 2F"), record, 0x9000);
    std::uint8_t buffer[47] = {};
    EXPECT_TRUE(apdu::getCacheFreshness(card, buffer, 47));
    EXPECT_EQ(record, Bytes(buffer, buffer + 47));
}

TEST(GetCacheFreshness, RecordOfAnotherLengthOnCardReturnsFalse) {
    ScriptedConnection card;
    card.expect("80 0C 00 00 28", "6C 2F");
    std::uint8_t buffer[40];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_FALSE(apdu::getCacheFreshness(card, buffer, 40));
    EXPECT_EQ(Bytes(40, 0xEE), Bytes(buffer, buffer + 40));
}

TEST(GetCacheFreshness, ShortAnswerReturnsFalseAndLeavesBuffer) {
    ScriptedConnection card;
    card.expectTransmit(hex("80 0C 00 00 2F"), sequence(20), 0x9000);
    std::uint8_t buffer[47];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_FALSE(apdu::getCacheFreshness(card, buffer, 47));
    EXPECT_EQ(Bytes(47, 0xEE), Bytes(buffer, buffer + 47));
}

TEST(GetCacheFreshness, OtherErrorStatusThrows) {
    ScriptedConnection card;
    card.expect("80 0C 00 00 2F", "6A 82");
    std::uint8_t buffer[47];
    EXPECT_THROW(apdu::getCacheFreshness(card, buffer, 47), amw::SWException);
}

TEST(GetCacheFreshness, SizeOutsideOneTo255ThrowsBeforeSending) {
    ScriptedConnection card;
    std::uint8_t buffer[256];
    for (std::uint32_t size : {0u, 256u}) {
        auto e = catchAs<InvalidArgumentException>(
            [&] { apdu::getCacheFreshness(card, buffer, size); });
        ASSERT_TRUE(e.has_value());
        EXPECT_NE(nullptr, std::strstr(e->what(), "<bufferSize>")) << e->what();
        EXPECT_NE(nullptr, std::strstr(e->what(), "not inside <1,255>")) << e->what();
    }
    EXPECT_THROW(apdu::getCacheFreshness(card, nullptr, 47), InvalidArgumentException);
}

TEST(SetCacheFreshness, SendsTheRecord) {
    const Bytes record = sequence(47, 0x20);
    ScriptedConnection card;
    card.expect("80 0E 00 00 2F " + toHex(record), "90 00");
    apdu::setCacheFreshness(card, record.data(), 47);
}

TEST(SetCacheFreshness, BadArgumentsThrowBeforeSending) {
    ScriptedConnection card;
    std::uint8_t record[256] = {};
    EXPECT_THROW(apdu::setCacheFreshness(card, nullptr, 47), InvalidArgumentException);
    EXPECT_THROW(apdu::setCacheFreshness(card, record, 0), InvalidArgumentException);
    EXPECT_THROW(apdu::setCacheFreshness(card, record, 256), InvalidArgumentException);
}

TEST(ActivateCard, SendsFiveBytes) {
    ScriptedConnection card;
    card.expect("80 30 00 00 00", "90 00");
    apdu::activateCard(card);
}

TEST(GetAuthState, ReturnsTheRoleMask) {
    ScriptedConnection card;
    card.expect("80 50 00 00 01", "06 90 00");
    EXPECT_EQ(6, apdu::getAuthState(card));
}

TEST(GetAuthState, EmptyAnswerThrows) {
    ScriptedConnection card;
    card.expect("80 50 00 00 01", "90 00");
    EXPECT_THROW(apdu::getAuthState(card), InternalErrorException);
}

}  // namespace
