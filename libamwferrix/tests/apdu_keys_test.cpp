// Key commands: key pair creation and amendment, generation, component import
// and read-back, and the RSA computation in 128-byte parts.
#include <gtest/gtest.h>

#include <cstring>

#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "apdutestsupport.h"
#include "staticbuffer.h"

namespace {

using namespace apdutest;
using ctl::ScriptedConnection;
namespace apdu = amwferrix::apdu;

const bool SENSITIVE = true;

Bytes half(const Bytes& bytes, int which) {
    const auto middle = bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2);
    return which == 0 ? Bytes(bytes.begin(), middle) : Bytes(middle, bytes.end());
}

TEST(CreateKeyPair, SendsThirteenBytesWithCardChosenConditions) {
    ScriptedConnection card;
    card.expect("80 3E 00 01 0D 07 08 00 00 03 FF 01 FF FF FF FF FF FF", "90 00");
    apdu::createKeyPair(card, 7, 2048, 0x0003, 1, 0xFF);
}

TEST(CreateKeyPair, ImportedPairWithContainer) {
    ScriptedConnection card;
    card.expect("80 3E 00 01 0D 06 04 00 00 93 02 00 FF FF FF FF FF FF", "90 00");
    apdu::createKeyPair(card, 6, 1024, 0x0093, 0, 2);
}

TEST(GenerateKeyPair, SendsExponentAndReturnsModulus) {
    const Bytes modulus = sequence(256, 0x80);
    ScriptedConnection card;
    card.expectTransmit(hex("80 40 00 00 03 01 00 01"), modulus, 0x9000);
    StaticBuffer<256> out;
    apdu::generateKeyPair(card, DEFAULT_PUBLIC_EXPONENT, out);
    EXPECT_EQ(256u, out.length);
    EXPECT_EQ(modulus, Bytes(out.data, out.data + out.length));
}

TEST(GenerateKeyPair, ModulusLengthIsPassedOnUnchecked) {
    ScriptedConnection card;
    card.expectTransmit(hex("80 40 00 00 03 01 00 01"), sequence(100), 0x9000);
    StaticBuffer<256> out;
    apdu::generateKeyPair(card, DEFAULT_PUBLIC_EXPONENT, out);
    EXPECT_EQ(100u, out.length);
}

TEST(GenerateKeyPair, ExponentThatDoesNotFitOneCommandThrowsBeforeSending) {
    ScriptedConnection card;
    const Bytes big = sequence(256, 1);
    StaticBuffer<256> exponent(big.data(), big.size());
    StaticBuffer<256> out;
    EXPECT_THROW(apdu::generateKeyPair(card, exponent, out), InvalidArgumentException);
    StaticBuffer<256> empty;
    EXPECT_THROW(apdu::generateKeyPair(card, empty, out), InvalidArgumentException);
}

TEST(GenerateKeyPair, ErrorStatusThrows) {
    ScriptedConnection card;
    card.expect("80 40 00 00 03 01 00 01", "6F 03");
    StaticBuffer<256> out;
    EXPECT_THROW(apdu::generateKeyPair(card, DEFAULT_PUBLIC_EXPONENT, out),
                 amw::CardOutOfMemoryException);
}

TEST(ImportComponent, ModulusOf256BytesGoesInTwoHalves) {
    const Bytes modulus = sequence(256, 0x11);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 42 06 00 80"), half(modulus, 0)}), {}, 0x9000)
        .expectTransmit(concat({hex("80 42 06 01 80"), half(modulus, 1)}), {}, 0x9000);
    apdu::importComponent(card, apdu::COMPONENT_N, modulus.data(), 256);
}

TEST(ImportComponent, FailingFirstHalfStopsBeforeTheSecond) {
    const Bytes modulus = sequence(256, 0x11);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 42 06 00 80"), half(modulus, 0)}), {}, 0x6A80);
    EXPECT_THROW(apdu::importComponent(card, apdu::COMPONENT_N, modulus.data(), 256),
                 amw::SWException);
}

TEST(ImportComponent, ModulusOf128BytesIsOneCommand) {
    const Bytes modulus = sequence(128, 0x22);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 42 06 00 80"), modulus}), {}, 0x9000);
    apdu::importComponent(card, apdu::COMPONENT_N, modulus.data(), 128);
}

TEST(ImportComponent, ExponentWithoutPaddingIsSent) {
    ScriptedConnection card;
    card.expect("80 42 07 00 03 01 00 01", "90 00");
    const Bytes e = hex("01 00 01");
    apdu::importComponent(card, apdu::COMPONENT_E, e.data(), 3);
}

TEST(ImportComponent, PaddedExponentThrowsBeforeSending) {
    ScriptedConnection card;
    const Bytes e = hex("00 01 00 01");
    auto error = catchAs<InternalErrorException>(
        [&] { apdu::importComponent(card, apdu::COMPONENT_E, e.data(), 4); });
    ASSERT_TRUE(error.has_value());
    EXPECT_STREQ(
        "INTERNAL ERROR Public exponent has an even length and has zero at the beginning "
        "(remove padding)",
        error->what());
}

TEST(ImportComponent, PrivateComponentsAreSensitive) {
    const Bytes prime = sequence(128, 0x33);
    const struct {
        std::uint8_t component;
        const char* header;
    } cases[] = {{apdu::COMPONENT_P, "80 42 01 00 80"},  {apdu::COMPONENT_Q, "80 42 02 00 80"},
                 {apdu::COMPONENT_DP, "80 42 03 00 80"}, {apdu::COMPONENT_DQ, "80 42 04 00 80"},
                 {apdu::COMPONENT_INV, "80 42 05 00 80"}};
    for (const auto& c : cases) {
        ScriptedConnection card;
        card.expectTransmit(concat({hex(c.header), prime}), {}, 0x9000, SENSITIVE);
        apdu::importComponent(card, c.component, prime.data(), 128);
    }
}

TEST(ImportComponent, SizeAbove256ThrowsBeforeSending) {
    ScriptedConnection card;
    const Bytes data = sequence(257);
    auto e = catchAs<InvalidArgumentException>(
        [&] { apdu::importComponent(card, apdu::COMPONENT_N, data.data(), 257); });
    ASSERT_TRUE(e.has_value());
    EXPECT_NE(nullptr, std::strstr(e->what(), "<dataSize> [257] not inside <0,256>")) << e->what();
}

TEST(ImportComponent, OtherComponentOf256BytesCannotBeSentInOneCommand) {
    ScriptedConnection card;
    const Bytes data = sequence(256, 1);
    EXPECT_THROW(apdu::importComponent(card, apdu::COMPONENT_P, data.data(), 256),
                 InvalidArgumentException);
    EXPECT_THROW(apdu::importComponent(card, apdu::COMPONENT_E, data.data(), 256),
                 InvalidArgumentException);
}

TEST(GetComponent, ExponentIsAskedWithLeThree) {
    ScriptedConnection card;
    card.expect("80 44 07 00 03", "01 00 01 90 00");
    std::uint8_t buffer[256];
    std::uint32_t size = sizeof buffer;
    apdu::getComponent(card, apdu::COMPONENT_E, buffer, &size);
    EXPECT_EQ(3u, size);
    EXPECT_EQ(hex("01 00 01"), Bytes(buffer, buffer + 3));
}

// Without a known key size the modulus is asked for with Le 00 (up to 256
// bytes); with one, with its length, so a 1024-bit key needs no 6C80 retry.
TEST(GetComponent, ModulusIsAskedWithTheKnownLengthOrLeZero) {
    const struct {
        std::uint32_t knownLength;
        const char* command;
        std::size_t length;
    } cases[] = {{0, "80 44 06 00 00", 256}, {128, "80 44 06 00 80", 128}, {256, "80 44 06 00 00", 256}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.knownLength);
        const Bytes modulus = sequence(c.length, 0x44);
        ScriptedConnection card;
        card.expectTransmit(hex(c.command), modulus, 0x9000);
        std::uint8_t buffer[256];
        std::uint32_t size = sizeof buffer;
        apdu::getComponent(card, apdu::COMPONENT_N, buffer, &size, c.knownLength);
        EXPECT_EQ(c.length, size);
        EXPECT_EQ(modulus, Bytes(buffer, buffer + size));
    }
}

TEST(GetComponent, WrongLengthStatusIsResentWithTheCardsLength) {
    const Bytes modulus = sequence(128, 0x55);
    ScriptedConnection card;
    card.expect("80 44 06 00 00", "6C 80").expectTransmit(hex("80 44 06 00 80"), modulus, 0x9000);
    std::uint8_t buffer[256];
    std::uint32_t size = sizeof buffer;
    apdu::getComponent(card, apdu::COMPONENT_N, buffer, &size);
    EXPECT_EQ(128u, size);
    EXPECT_EQ(modulus, Bytes(buffer, buffer + 128));
}

TEST(GetComponent, ExponentOfAnotherLengthIsResent) {
    ScriptedConnection card;
    card.expect("80 44 07 00 03", "6C 01").expect("80 44 07 00 01", "03 90 00");
    std::uint8_t buffer[8];
    std::uint32_t size = sizeof buffer;
    apdu::getComponent(card, apdu::COMPONENT_E, buffer, &size);
    EXPECT_EQ(1u, size);
    EXPECT_EQ(0x03, buffer[0]);
}

TEST(GetComponent, OnlyModulusAndExponentMayBeRead) {
    ScriptedConnection card;
    std::uint8_t buffer[256];
    std::uint32_t size = sizeof buffer;
    auto e = catchAs<InvalidArgumentException>(
        [&] { apdu::getComponent(card, apdu::COMPONENT_P, buffer, &size); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ("component must be COMPONENT_E or COMPONENT_N", e->what());
}

TEST(GetComponent, AnswerLargerThanBufferThrows) {
    ScriptedConnection card;
    card.expect("80 44 07 00 03", "01 00 01 90 00");
    std::uint8_t buffer[2];
    std::uint32_t size = sizeof buffer;
    auto e = catchAs<InvalidArgumentException>(
        [&] { apdu::getComponent(card, apdu::COMPONENT_E, buffer, &size); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ("insuficienct buffer for store a component", e->what());
    EXPECT_EQ(2u, size);
}

TEST(CryptInit, SelectsTheKeyPairByBlockId) {
    ScriptedConnection card;
    card.expect("80 46 00 07 00", "90 00");
    apdu::cryptInit(card, 0x0007);
}

TEST(Crypt, FinalPartOf1024BitKeyEndsWithLe80) {
    const Bytes input = sequence(128, 0x01);
    const Bytes result = sequence(128, 0x90);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 4A 00 00 80"), input, hex("80")}), result, 0x9000);
    std::uint8_t out[128] = {};
    apdu::crypt(card, input.data(), true, out, 128, false);
    EXPECT_EQ(result, Bytes(out, out + 128));
    ASSERT_EQ(1u, card.calls().size());
    EXPECT_EQ(134u, card.calls()[0].command.size());
}

TEST(Crypt, TwoPartsOf2048BitKeyAndSensitiveFlagPassedOn) {
    const Bytes input = sequence(256, 0x07);
    const Bytes result = sequence(256, 0xA0);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 48 00 00 80"), half(input, 0), hex("00")}), {}, 0x9000,
                        SENSITIVE)
        .expectTransmit(concat({hex("80 4A 00 00 80"), half(input, 1), hex("00")}), result, 0x9000,
                        SENSITIVE);
    std::uint8_t out[256] = {};
    apdu::crypt(card, input.data(), false, nullptr, 0, true);
    apdu::crypt(card, input.data() + 128, true, out, 256, true);
    EXPECT_EQ(result, Bytes(out, out + 256));
}

TEST(Crypt, BadResultSizeThrowsBeforeSending) {
    ScriptedConnection card;
    const Bytes input = sequence(128);
    std::uint8_t out[256];
    auto e = catchAs<InternalErrorException>(
        [&] { apdu::crypt(card, input.data(), true, out, 200, false); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ("INTERNAL ERROR apdu::crypt() unexpected signedDataSize (200)", e->what());
    auto null = catchAs<InternalErrorException>(
        [&] { apdu::crypt(card, input.data(), true, nullptr, 128, false); });
    ASSERT_TRUE(null.has_value());
    EXPECT_STREQ(
        "INTERNAL ERROR apdu::crypt() final crypto operation needs non-NULL signedData parameter",
        null->what());
    EXPECT_THROW(apdu::crypt(card, nullptr, true, out, 128, false), InvalidArgumentException);
    auto partial = catchAs<InternalErrorException>(
        [&] { apdu::crypt(card, input.data(), false, nullptr, 128, false); });
    ASSERT_TRUE(partial.has_value());
    EXPECT_STREQ(
        "INTERNAL ERROR apdu::crypt() non-final crypto operation expects no result, but "
        "signedDataSize is 128 and signedData is NULL",
        partial->what());
}

TEST(Crypt, ResponseToANonFinalPartIsALengthError) {
    const Bytes input = sequence(128);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 48 00 00 80"), input, hex("00")}), sequence(4), 0x9000);
    auto e = catchAs<InternalErrorException>(
        [&] { apdu::crypt(card, input.data(), false, nullptr, 0, false); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ("INTERNAL ERROR unexpected response length (expected 0,  actual 4)", e->what());
}

TEST(Crypt, ShortResultThrows) {
    const Bytes input = sequence(128);
    ScriptedConnection card;
    card.expectTransmit(concat({hex("80 4A 00 00 80"), input, hex("80")}), sequence(127), 0x9000);
    std::uint8_t out[128];
    EXPECT_THROW(apdu::crypt(card, input.data(), true, out, 128, false), InternalErrorException);
}

TEST(AmendKeypair, SendsTheNewOrigin) {
    ScriptedConnection card;
    card.expect("80 4C 00 10 01 05", "90 00");
    apdu::amendKeypair(card, 0x0010, 5);
}

TEST(ContinueAmendKeyPair, SendsContainerSpecUsageAndSize) {
    ScriptedConnection card;
    card.expect("80 4E FF 01 04 00 03 00 28", "90 00");
    apdu::continueAmendKeyPair(card, 0xFF, 1, 0x0003, 40);
}

}  // namespace
