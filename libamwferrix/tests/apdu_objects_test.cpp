// Object commands: creation, deletion, headers, metadata and content, and the
// chunking of reads and writes.
#include <gtest/gtest.h>

#include <cstring>

#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "apdutestsupport.h"

namespace {

using namespace apdutest;
using ctl::ScriptedConnection;
namespace apdu = amwferrix::apdu;

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

TEST(DeleteObject, SendsBlockIdInP1P2) {
    ScriptedConnection card;
    card.expect("80 10 12 34 00", "90 00");
    apdu::deleteObject(card, 0x1234);
}

TEST(DeleteObject, ErrorStatusThrows) {
    ScriptedConnection card;
    card.expect("80 10 12 34 00", "69 82");
    EXPECT_THROW(apdu::deleteObject(card, 0x1234), amw::SecurityViolationException);
}

TEST(WriteData, SplitsIntoPiecesOf255Bytes) {
    const Bytes data = sequence(600);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 12 00 00 FF"), slice(data, 0, 255)}), {}, 0x9000)
        .expectTransmit(concat({hex("80 12 00 00 FF"), slice(data, 255, 255)}), {}, 0x9000)
        .expectTransmit(concat({hex("80 12 00 00 5A"), slice(data, 510, 90)}), {}, 0x9000);
    apdu::writeData(card, data.data(), data.size());
}

TEST(WriteData, ExactlyOnePieceIsOneCommand) {
    const Bytes data = sequence(255, 7);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 12 00 00 FF"), data}), {}, 0x9000);
    apdu::writeData(card, data.data(), data.size());
}

TEST(WriteData, NothingToWriteSendsNothing) {
    ScriptedConnection card;
    apdu::writeData(card, nullptr, 0);
    EXPECT_TRUE(card.calls().empty());
}

TEST(WriteData, FailureStopsAfterTheFailingPiece) {
    const Bytes data = sequence(300);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 12 00 00 FF"), slice(data, 0, 255)}), {}, 0x6F03);
    EXPECT_THROW(apdu::writeData(card, data.data(), data.size()), amw::CardOutOfMemoryException);
}

TEST(ReadData, SixHundredBytesAreReadAsFFFFAnd5A) {
    const Bytes data = sequence(600, 3);
    ScriptedConnection card;
    card.expectTransmit(hex("80 1A 00 00 FF"), slice(data, 0, 255), 0x9000)
        .expectTransmit(hex("80 1A 00 00 FF"), slice(data, 255, 255), 0x9000)
        .expectTransmit(hex("80 1A 00 00 5A"), slice(data, 510, 90), 0x9000);
    Bytes out(600);
    apdu::readData(card, out.data(), out.size());
    EXPECT_EQ(data, out);
}

TEST(ReadData, ShortPieceThrowsTheLengthError) {
    ScriptedConnection card;
    card.expectTransmit(hex("80 1A 00 00 10"), sequence(15), 0x9000);
    Bytes out(16);
    auto e = catchAs<InternalErrorException>([&] { apdu::readData(card, out.data(), 16); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ("INTERNAL ERROR unexpected response length (expected 16,  actual 15)", e->what());
}

TEST(ReadData, NothingToReadSendsNothing) {
    ScriptedConnection card;
    apdu::readData(card, nullptr, 0);
    EXPECT_TRUE(card.calls().empty());
}

TEST(ReadData, NullBufferThrowsBeforeSending) {
    ScriptedConnection card;
    EXPECT_THROW(apdu::readData(card, nullptr, 10), InvalidArgumentException);
}

TEST(BeginReadMetadata, ConvertsTheEightCommonFieldsToHostOrder) {
    // Byte 0, eight big-endian fields 0x0102, 0x0304 ... 0x0F10, then one
    // byte that belongs to the kind's own part and stays as it is.
    const Bytes header = hex("AA 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 BB");
    ScriptedConnection card;
    card.expectTransmit(hex("80 18 00 2A 12"), header, 0x9000);
    std::uint8_t out[18] = {};
    apdu::beginReadMetadata(card, 0x002A, out, 18);
    EXPECT_EQ(0xAA, out[0]);
    for (int field = 0; field < 8; ++field) {
        std::uint16_t value = 0;
        std::memcpy(&value, out + 1 + 2 * field, 2);
        const auto expected = static_cast<std::uint16_t>(((2 * field + 1) << 8) | (2 * field + 2));
        EXPECT_EQ(expected, value) << "field at offset " << 1 + 2 * field;
    }
    EXPECT_EQ(0xBB, out[17]);
}

TEST(BeginReadMetadata, WrongLengthThrows) {
    ScriptedConnection card;
    card.expectTransmit(hex("80 18 00 2A 11"), sequence(16), 0x9000);
    std::uint8_t out[17];
    EXPECT_THROW(apdu::beginReadMetadata(card, 0x002A, out, 17), InternalErrorException);
}

TEST(BeginReadMetadata, HeaderSizeOutOfRangeThrowsBeforeSending) {
    ScriptedConnection card;
    std::uint8_t out[256];
    auto e = catchAs<InvalidArgumentException>(
        [&] { apdu::beginReadMetadata(card, 1, out, 0); });
    ASSERT_TRUE(e.has_value());
    EXPECT_NE(nullptr, std::strstr(e->what(), "<headerSize>")) << e->what();
    EXPECT_THROW(apdu::beginReadMetadata(card, 1, out, 256), InvalidArgumentException);
}

TEST(BeginReadMetadata, ShortHeaderConvertsOnlyWholeFields) {
    ScriptedConnection card;
    card.expect("80 18 00 01 04", "AA 12 34 CC 90 00");
    std::uint8_t out[4] = {};
    apdu::beginReadMetadata(card, 1, out, 4);
    std::uint16_t field = 0;
    std::memcpy(&field, out + 1, 2);
    EXPECT_EQ(0x1234, field);
    EXPECT_EQ(0xCC, out[3]);
}

TEST(BeginUpdateMetadata, SendsBlockIdAndSize) {
    ScriptedConnection card;
    card.expect("80 16 01 02 02 01 2C", "90 00");
    apdu::beginUpdateMetadata(card, 0x0102, 300);
}

TEST(SetMetadataSize, SendsTheSize) {
    ScriptedConnection card;
    card.expect("80 3C 00 00 02 00 28", "90 00").expect("80 3C 00 00 02 00 00", "90 00");
    apdu::setMetadataSize(card, 40);
    apdu::setMetadataSize(card, 0);
}

TEST(CreateContent, SendsBlockIdAndSize) {
    ScriptedConnection card;
    card.expect("80 1C 01 02 02 FF FF", "90 00");
    apdu::createContent(card, 0x0102, 65535);
}

TEST(ObjectSizes, SizesBeyondSixteenBitsAreRefusedBeforeSending) {
    ScriptedConnection card;
    auto e = catchAs<InvalidArgumentException>([&] { apdu::createContent(card, 1, 65536); });
    ASSERT_TRUE(e.has_value());
    EXPECT_NE(nullptr, std::strstr(e->what(), "<contentSize> [65536]")) << e->what();
    EXPECT_THROW(apdu::setMetadataSize(card, 70000), InvalidArgumentException);
    EXPECT_THROW(apdu::beginUpdateMetadata(card, 1, 0x10000), InvalidArgumentException);
    EXPECT_THROW(apdu::continueAmendKeyPair(card, 0, 0, 0, 0x10000), InvalidArgumentException);
}

TEST(CommitCreationOrUpdateMetadata, ReturnsTheBlockId) {
    ScriptedConnection card;
    card.expect("80 3A 00 00 02", "01 2A 90 00");
    EXPECT_EQ(0x012A, apdu::commitCreationOrUpdateMetadata(card));
}

TEST(CommitCreationOrUpdateMetadata, OutOfMemoryThrows) {
    ScriptedConnection card;
    card.expect("80 3A 00 00 02", "6F 03");
    EXPECT_THROW(apdu::commitCreationOrUpdateMetadata(card), amw::CardOutOfMemoryException);
}

TEST(RemoveContent, NoContentIsAccepted) {
    ScriptedConnection card;
    card.expect("80 14 01 02 00", "6A 83").expect("80 14 01 02 00", "90 00");
    apdu::removeContent(card, 0x0102);
    apdu::removeContent(card, 0x0102);
}

TEST(RemoveContent, OtherErrorThrows) {
    ScriptedConnection card;
    card.expect("80 14 01 02 00", "6A 82");
    EXPECT_THROW(apdu::removeContent(card, 0x0102), amw::SWException);
}

TEST(CommitUpdateContent, SendsFiveBytes) {
    ScriptedConnection card;
    card.expect("80 38 00 00 00", "90 00");
    apdu::commitUpdateContent(card);
}

TEST(BeginReadContent, ReturnsTheSize) {
    ScriptedConnection card;
    card.expect("80 1E 01 02 02", "01 F4 90 00");
    EXPECT_EQ(500, apdu::beginReadContent(card, 0x0102));
}

TEST(BeginReadContent, NoContentGivesZero) {
    ScriptedConnection card;
    card.expect("80 1E 01 02 02", "6A 83");
    EXPECT_EQ(0, apdu::beginReadContent(card, 0x0102));
}

TEST(CreateDataObject, SendsFourAccessConditionsInOrder) {
    ScriptedConnection card;
    card.expect("80 3E 00 00 08 01 01 02 02 03 03 04 04", "90 00");
    apdu::createDataObject(card, 0x0101, 0x0202, 0x0303, 0x0404);
}

TEST(CreateCertificate, SendsTrustedAsOneAndThreeConditions) {
    ScriptedConnection card;
    card.expect("80 3E 00 02 07 01 AA AA BB BB CC CC", "90 00")
        .expect("80 3E 00 02 07 00 FF FF FF FF FF FF", "90 00");
    apdu::createCertificate(card, 5, 0xAAAA, 0xBBBB, 0xCCCC);
    apdu::createCertificate(card, 0, 0xFFFF, 0xFFFF, 0xFFFF);
}

TEST(CreateDirectory, SendsPaddedNameThenSecondThenFirstCondition) {
    ScriptedConnection card;
    card.expect("80 3E 00 03 0C 44 49 52 00 00 00 00 00 22 22 11 11", "90 00");
    const Bytes name = hex("44 49 52");
    apdu::createDirectory(card, name.data(), 3, 0x1111, 0x2222);
}

TEST(CreateDirectory, NameSizeOutsideOneToEightThrowsBeforeSending) {
    ScriptedConnection card;
    const Bytes name = sequence(9, 0x41);
    for (std::uint32_t size : {0u, 9u}) {
        auto e = catchAs<InvalidArgumentException>(
            [&] { apdu::createDirectory(card, name.data(), size, 0, 0); });
        ASSERT_TRUE(e.has_value());
        EXPECT_NE(nullptr, std::strstr(e->what(), "<directoryNameSize>")) << e->what();
    }
}

TEST(CreateFile, SendsDirectoryNameAndConditions) {
    ScriptedConnection card;
    card.expect("80 3E 00 04 10 00 40 46 49 4C 45 31 00 00 00 01 01 02 02 03 03", "90 00");
    const Bytes name = hex("46 49 4C 45 31");
    apdu::createFile(card, 0x0040, name.data(), 5, 0x0101, 0x0202, 0x0303);
}

TEST(CreateFile, EightByteNameFillsTheField) {
    ScriptedConnection card;
    card.expect("80 3E 00 04 10 80 00 41 42 43 44 45 46 47 48 00 00 00 00 00 00", "90 00");
    const Bytes name = hex("41 42 43 44 45 46 47 48");
    apdu::createFile(card, 0x8000, name.data(), 8, 0, 0, 0);
}

TEST(CreateFile, BadNameThrowsBeforeSending) {
    ScriptedConnection card;
    auto e = catchAs<InvalidArgumentException>(
        [&] { apdu::createFile(card, 1, nullptr, 3, 0, 0, 0); });
    ASSERT_TRUE(e.has_value());
    EXPECT_NE(nullptr, std::strstr(e->what(), "Null pointer exception <fileName>")) << e->what();
    const Bytes name = sequence(9, 0x41);
    auto range = catchAs<InvalidArgumentException>(
        [&] { apdu::createFile(card, 1, name.data(), 9, 0, 0, 0); });
    ASSERT_TRUE(range.has_value());
    EXPECT_NE(nullptr, std::strstr(range->what(), "<fileNameSize> [9] not inside <1,8>"))
        << range->what();
}

}  // namespace
