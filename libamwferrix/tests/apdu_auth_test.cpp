// Authentication commands with and without pin pad: the commands (and their
// sensitive flag), the pin-pad templates and offsets, and the results.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "apdutestsupport.h"

namespace {

using namespace apdutest;
using ctl::ScriptedConnection;
namespace apdu = amwferrix::apdu;

const Bytes PIN_1234 = hex("31 32 33 34");
const std::string PIN_1234_FIELD = "31 32 33 34 " + zeros(12);
const bool SENSITIVE = true;

std::uint32_t authenticatePin(ScriptedConnection& card, const Bytes& pin, std::int32_t* tries) {
    return apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, pin.data(),
                              static_cast<std::uint32_t>(pin.size()), tries, nullptr);
}

// --- authenticate ----------------------------------------------------------------

TEST(Authenticate, PinIsSentZeroPaddedToSixteenBytesAsSensitive) {
    ScriptedConnection card;
    card.expect("80 20 01 00 10 " + PIN_1234_FIELD, "90 00", SENSITIVE);
    std::int32_t tries = 55;
    EXPECT_EQ(0u, authenticatePin(card, PIN_1234, &tries));
    EXPECT_EQ(55, tries);
}

TEST(Authenticate, StatusWordsGiveResultAndTriesRemaining) {
    struct Case {
        const char* sw;
        std::uint32_t result;
        std::int32_t tries;
    };
    const Case cases[] = {
        {"63 C2", 1, 2}, {"63 C0", 1, 0}, {"69 83", 2, 0}, {"69 85", 1, -1}, {"6F 10", 1, -1},
    };
    for (const Case& c : cases) {
        ScriptedConnection card;
        card.expect("80 20 01 00 10 " + PIN_1234_FIELD, c.sw, SENSITIVE);
        std::int32_t tries = 55;
        EXPECT_EQ(c.result, authenticatePin(card, PIN_1234, &tries)) << c.sw;
        EXPECT_EQ(c.tries, tries) << c.sw;
    }
}

TEST(Authenticate, TriesRemainingOutputIsOptional) {
    ScriptedConnection card;
    card.expect("80 20 01 00 10 " + PIN_1234_FIELD, "63 C1", SENSITIVE);
    EXPECT_EQ(1u, authenticatePin(card, PIN_1234, nullptr));
}

TEST(Authenticate, OtherStatusWordsGoToTheTable) {
    ScriptedConnection card;
    card.expect("80 20 01 00 10 " + PIN_1234_FIELD, "6F 18", SENSITIVE)
        .expect("80 20 01 00 10 " + PIN_1234_FIELD, "6A 88", SENSITIVE);
    EXPECT_THROW(authenticatePin(card, PIN_1234, nullptr), amw::PinPolicyViolationException);
    EXPECT_THROW(authenticatePin(card, PIN_1234, nullptr), amw::SWException);
}

TEST(Authenticate, SixteenBytePinFillsTheField) {
    const Bytes pin = sequence(16, 0x30);
    ScriptedConnection card;
    card.expect("80 20 03 00 10 " + toHex(pin), "90 00", SENSITIVE);
    EXPECT_EQ(0u, apdu::authenticate(card, 3, false, apdu::AUTH_TYPE_PIN, pin.data(), 16, nullptr,
                                     nullptr));
}

TEST(Authenticate, SeventeenBytePinWithoutPinPadIsWrongWithoutCommand) {
    const Bytes pin = sequence(17, 0x30);
    ScriptedConnection card;
    std::int32_t tries = 55;
    EXPECT_EQ(1u, authenticatePin(card, pin, &tries));
    EXPECT_EQ(55, tries);
    EXPECT_TRUE(card.calls().empty());
}

TEST(Authenticate, NullPinWithoutPinPadIsWrongWithoutCommand) {
    ScriptedConnection card;
    EXPECT_EQ(1u, apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 4, nullptr,
                                     nullptr));
    EXPECT_TRUE(card.calls().empty());
}

TEST(Authenticate, SessionPinUsesP2TwoAndEightBytes) {
    const Bytes sessionPin = hex("01 23 45 67 89 AB CD EF");
    ScriptedConnection card;
    card.expect("80 20 01 02 08 01 23 45 67 89 AB CD EF", "90 00", SENSITIVE);
    EXPECT_EQ(0u, apdu::authenticate(card, 1, true, apdu::AUTH_TYPE_KEY, sessionPin.data(), 8,
                                     nullptr, nullptr));
}

TEST(Authenticate, SessionPinGoesToTheCardEvenWithPinPad) {
    const Bytes sessionPin = hex("01 23 45 67 89 AB CD EF");
    ScriptedConnection card(true);
    card.expect("80 20 01 02 08 01 23 45 67 89 AB CD EF", "90 00", SENSITIVE);
    EXPECT_EQ(0u, apdu::authenticate(card, 1, true, apdu::AUTH_TYPE_PIN, sessionPin.data(), 8,
                                     nullptr, nullptr));
}

TEST(Authenticate, KeyDataMustBeExactlyEightBytes) {
    const Bytes key = sequence(9, 0x90);
    ScriptedConnection card;
    card.expect("80 20 02 00 08 " + toHex(Bytes(key.begin(), key.begin() + 8)), "90 00",
                SENSITIVE);
    EXPECT_EQ(0u, apdu::authenticate(card, 2, false, apdu::AUTH_TYPE_KEY, key.data(), 8, nullptr,
                                     nullptr));
    EXPECT_EQ(1u, apdu::authenticate(card, 2, false, apdu::AUTH_TYPE_KEY, key.data(), 7, nullptr,
                                     nullptr));
    EXPECT_EQ(1u, apdu::authenticate(card, 2, false, apdu::AUTH_TYPE_KEY, key.data(), 9, nullptr,
                                     nullptr));
    EXPECT_EQ(1u, apdu::authenticate(card, 2, true, apdu::AUTH_TYPE_KEY, nullptr, 8, nullptr,
                                     nullptr));
    EXPECT_EQ(1u, card.calls().size());
}

TEST(Authenticate, PinPadEntersThePinIntoTheTemplateAtOffsetFive) {
    ScriptedConnection card(true);
    card.expectPinPadVerify(5, "80 20 01 00 10 " + zeros(16), 0x9000);
    // The given data is not used when the reader has a pin pad.
    EXPECT_EQ(0u, authenticatePin(card, PIN_1234, nullptr));
}

TEST(Authenticate, PinPadWrongPinWithoutListenerEndsWithTriesRemaining) {
    ScriptedConnection card(true);
    card.expectPinPadVerify(5, "80 20 01 00 10 " + zeros(16), 0x63C2);
    std::int32_t tries = 55;
    EXPECT_EQ(1u, authenticatePin(card, sequence(20), &tries));
    EXPECT_EQ(2, tries);
}

// --- deauthenticate, challenge, session PIN -----------------------------------------

TEST(Deauthenticate, SendsTheRole) {
    ScriptedConnection card;
    card.expect("80 22 02 00 00", "90 00");
    apdu::deauthenticate(card, 2);
}

TEST(GetChallenge, ReturnsEightBytes) {
    ScriptedConnection card;
    card.expect("80 24 01 00 08", "A1 A2 A3 A4 A5 A6 A7 A8 90 00");
    std::uint8_t challenge[8] = {};
    apdu::getChallenge(card, 1, challenge);
    EXPECT_EQ(hex("A1 A2 A3 A4 A5 A6 A7 A8"), Bytes(challenge, challenge + 8));
}

TEST(GetChallenge, NullOutputNamesChallenge) {
    ScriptedConnection card;
    auto e = catchAs<InvalidArgumentException>([&] { apdu::getChallenge(card, 1, nullptr); });
    ASSERT_TRUE(e.has_value());
    EXPECT_NE(nullptr, std::strstr(e->what(), "Null pointer exception <challenge>"));
}

TEST(GenerateSessionPin, ReturnsEightBytesOverASensitiveExchange) {
    ScriptedConnection card;
    card.expect("80 2E 01 00 08", "11 22 33 44 55 66 77 88 90 00", SENSITIVE);
    std::uint8_t pin[8] = {};
    apdu::generateSessionPin(card, 1, pin);
    EXPECT_EQ(hex("11 22 33 44 55 66 77 88"), Bytes(pin, pin + 8));
}

TEST(GenerateSessionPin, WrongLengthThrows) {
    ScriptedConnection card;
    card.expect("80 2E 01 00 08", "11 22 90 00", SENSITIVE);
    std::uint8_t pin[8] = {};
    EXPECT_THROW(apdu::generateSessionPin(card, 1, pin), InternalErrorException);
}

// --- changePin -----------------------------------------------------------------

TEST(ChangePin, NewPinIsSentZeroPaddedWithRoleInP2) {
    ScriptedConnection card;
    card.expect("80 26 00 01 10 35 36 37 38 " + zeros(12), "90 00", SENSITIVE);
    const Bytes pin = hex("35 36 37 38");
    apdu::changePin(card, 1, true, pin.data(), 4, nullptr);
}

TEST(ChangePin, NewKeyIsTwentyFourBytes) {
    const Bytes key = sequence(24, 0x60);
    ScriptedConnection card;
    card.expect("80 26 00 02 18 " + toHex(key), "90 00", SENSITIVE);
    apdu::changePin(card, 2, false, key.data(), 24, nullptr);
}

TEST(ChangePin, BadValuesThrowBeforeSending) {
    ScriptedConnection card;
    const Bytes data = sequence(24);
    auto null = catchAs<InvalidArgumentException>(
        [&] { apdu::changePin(card, 1, true, nullptr, 4, nullptr); });
    ASSERT_TRUE(null.has_value());
    EXPECT_NE(nullptr, std::strstr(null->what(), "Null pointer exception <authData>"));
    for (std::uint32_t size : {0u, 17u}) {
        auto e = catchAs<InvalidArgumentException>(
            [&] { apdu::changePin(card, 1, true, data.data(), size, nullptr); });
        ASSERT_TRUE(e.has_value());
        EXPECT_NE(nullptr, std::strstr(e->what(), "not inside <1,16>")) << e->what();
    }
    auto key = catchAs<InvalidArgumentException>(
        [&] { apdu::changePin(card, 1, false, data.data(), 23, nullptr); });
    ASSERT_TRUE(key.has_value());
    EXPECT_NE(nullptr, std::strstr(key->what(), "Invalid argument exception <authDataSize>"));
}

TEST(ChangePin, ErrorStatusThrows) {
    ScriptedConnection card;
    card.expect("80 26 00 01 10 35 36 37 38 " + zeros(12), "69 82", SENSITIVE);
    const Bytes pin = hex("35 36 37 38");
    EXPECT_THROW(apdu::changePin(card, 1, true, pin.data(), 4, nullptr),
                 amw::SecurityViolationException);
}

TEST(ChangePin, PinPadModifiesWithConfirmationAtOffsetFive) {
    ScriptedConnection card(true);
    card.expectPinPadModify(false, true, 5, 5, "80 26 00 01 10 " + zeros(16), 0x9000);
    apdu::changePin(card, 1, true, nullptr, 0, nullptr);
}

TEST(ChangePin, PinPadWrongPinWithoutListenerIsAnSWException) {
    ScriptedConnection card(true);
    card.expectPinPadModify(false, true, 5, 5, "80 26 00 01 10 " + zeros(16), 0x63C2);
    auto e = catchAs<amw::SWException>(
        [&] { apdu::changePin(card, 1, true, nullptr, 0, nullptr); });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(0x63C2, e->sw);
}

TEST(ChangePin, KeyObjectOnPinPadReaderIsSentByTheHost) {
    const Bytes key = sequence(24, 0x60);
    ScriptedConnection card(true);
    card.expect("80 26 00 02 18 " + toHex(key), "90 00", SENSITIVE);
    apdu::changePin(card, 2, false, key.data(), 24, nullptr);
}

// --- unblockPin -------------------------------------------------------------------

const Bytes PUK = hex("39 38 37 36 35 34 33 32");
const Bytes NEW_PIN = hex("31 31 31 31");
const Bytes KEY8 = hex("C0 C1 C2 C3 C4 C5 C6 C7");
const Bytes KEY24 = sequence(24, 0xD0);

std::uint32_t unblock(ScriptedConnection& card, std::uint32_t authType, const Bytes& auth,
                      std::uint32_t targetType, const Bytes& target, std::int32_t* tries) {
    return apdu::unblockPin(card, 2, authType, auth.empty() ? nullptr : auth.data(),
                            static_cast<std::uint32_t>(auth.size()), 1, targetType,
                            target.empty() ? nullptr : target.data(),
                            static_cast<std::uint32_t>(target.size()), tries, nullptr);
}

TEST(UnblockPin, PinUnblocksPinWithTwoPaddedFields) {
    ScriptedConnection card;
    card.expect("80 28 02 01 20 39 38 37 36 35 34 33 32 " + zeros(8) + " 31 31 31 31 " +
                    zeros(12),
                "90 00", SENSITIVE);
    std::int32_t tries = 55;
    EXPECT_EQ(0u, unblock(card, apdu::AUTH_TYPE_PIN, PUK, apdu::AUTH_TYPE_PIN, NEW_PIN, &tries));
    EXPECT_EQ(55, tries);
}

TEST(UnblockPin, FieldLengthsFollowTheTypes) {
    struct Case {
        std::uint32_t authType;
        std::uint32_t targetType;
        std::string command;
    };
    const Case cases[] = {
        {apdu::AUTH_TYPE_KEY, apdu::AUTH_TYPE_KEY,
         "80 28 02 01 20 " + toHex(KEY8) + " " + toHex(KEY24)},
        {apdu::AUTH_TYPE_KEY, apdu::AUTH_TYPE_PIN,
         "80 28 02 01 18 " + toHex(KEY8) + " 31 31 31 31 " + zeros(12)},
        {apdu::AUTH_TYPE_PIN, apdu::AUTH_TYPE_KEY,
         "80 28 02 01 28 39 38 37 36 35 34 33 32 " + zeros(8) + " " + toHex(KEY24)},
    };
    for (const Case& c : cases) {
        ScriptedConnection card;
        card.expect(c.command, "90 00", SENSITIVE);
        const Bytes& auth = c.authType == apdu::AUTH_TYPE_KEY ? KEY8 : PUK;
        const Bytes& target = c.targetType == apdu::AUTH_TYPE_KEY ? KEY24 : NEW_PIN;
        EXPECT_EQ(0u, unblock(card, c.authType, auth, c.targetType, target, nullptr)) << c.command;
    }
}

TEST(UnblockPin, StatusWordsGiveResultAndTriesRemaining) {
    struct Case {
        const char* sw;
        std::uint32_t result;
        std::int32_t tries;
    };
    const Case cases[] = {{"63 C1", 1, 1}, {"69 83", 2, 0}};
    for (const Case& c : cases) {
        ScriptedConnection card;
        card.expect("80 28 02 01 18 " + toHex(KEY8) + " 31 31 31 31 " + zeros(12), c.sw, SENSITIVE);
        std::int32_t tries = 55;
        EXPECT_EQ(c.result, unblock(card, apdu::AUTH_TYPE_KEY, KEY8, apdu::AUTH_TYPE_PIN, NEW_PIN,
                                    &tries))
            << c.sw;
        EXPECT_EQ(c.tries, tries) << c.sw;
    }
}

TEST(UnblockPin, RefusalStatusWordsAreNotSpecialHere) {
    for (std::uint16_t sw : {0x6985, 0x6F10}) {
        ScriptedConnection card;
        card.expectTransmit(
            hex("80 28 02 01 18 " + toHex(KEY8) + " 31 31 31 31 " + zeros(12)), {}, sw, SENSITIVE);
        auto e = catchAs<amw::SWException>([&] {
            unblock(card, apdu::AUTH_TYPE_KEY, KEY8, apdu::AUTH_TYPE_PIN, NEW_PIN, nullptr);
        });
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(sw, e->sw);
    }
}

TEST(UnblockPin, KeyOfWrongSizeIsWrongWithoutCommand) {
    ScriptedConnection card;
    std::int32_t tries = 55;
    EXPECT_EQ(1u, unblock(card, apdu::AUTH_TYPE_KEY, sequence(7), apdu::AUTH_TYPE_PIN, NEW_PIN,
                          &tries));
    EXPECT_EQ(-1, tries);
    tries = 55;
    EXPECT_EQ(1u, unblock(card, apdu::AUTH_TYPE_PIN, PUK, apdu::AUTH_TYPE_KEY, sequence(23),
                          &tries));
    EXPECT_EQ(-1, tries);
    EXPECT_TRUE(card.calls().empty());
}

TEST(UnblockPin, MissingOrBadDataThrowsBeforeSending) {
    ScriptedConnection card;
    auto auth = catchAs<InvalidArgumentException>(
        [&] { unblock(card, apdu::AUTH_TYPE_PIN, {}, apdu::AUTH_TYPE_PIN, NEW_PIN, nullptr); });
    ASSERT_TRUE(auth.has_value());
    EXPECT_NE(nullptr, std::strstr(auth->what(), "Invalid argument exception <authData>"));
    auto target = catchAs<InvalidArgumentException>(
        [&] { unblock(card, apdu::AUTH_TYPE_PIN, PUK, apdu::AUTH_TYPE_PIN, {}, nullptr); });
    ASSERT_TRUE(target.has_value());
    EXPECT_NE(nullptr, std::strstr(target->what(), "Invalid argument exception <targetData>"));
    auto authSize = catchAs<InvalidArgumentException>([&] {
        unblock(card, apdu::AUTH_TYPE_PIN, sequence(17), apdu::AUTH_TYPE_PIN, NEW_PIN, nullptr);
    });
    ASSERT_TRUE(authSize.has_value());
    EXPECT_NE(nullptr, std::strstr(authSize->what(), "<authDataSize> [17] not inside <1,16>"));
    auto targetSize = catchAs<InvalidArgumentException>([&] {
        unblock(card, apdu::AUTH_TYPE_PIN, PUK, apdu::AUTH_TYPE_PIN, sequence(17), nullptr);
    });
    ASSERT_TRUE(targetSize.has_value());
    EXPECT_NE(nullptr,
              std::strstr(targetSize->what(), "<targetDataSize> [17] not inside <1,16>"));
}

TEST(UnblockPin, PinPadPinUnblocksPinAsksBothPins) {
    ScriptedConnection card(true);
    card.expectPinPadModify(true, true, 5, 21, "80 28 02 01 20 " + zeros(32), 0x9000);
    EXPECT_EQ(0u, unblock(card, apdu::AUTH_TYPE_PIN, {}, apdu::AUTH_TYPE_PIN, {}, nullptr));
}

TEST(UnblockPin, PinPadPinUnblocksKeyVerifiesWithTheKeyInPlace) {
    ScriptedConnection card(true);
    card.expectPinPadVerify(5, "80 28 02 01 28 " + zeros(16) + " " + toHex(KEY24), 0x9000);
    EXPECT_EQ(0u, unblock(card, apdu::AUTH_TYPE_PIN, {}, apdu::AUTH_TYPE_KEY, KEY24, nullptr));
}

TEST(UnblockPin, PinPadPinUnblocksKeyNeedsTwentyFourByteKey) {
    ScriptedConnection card(true);
    auto e = catchAs<InvalidArgumentException>([&] {
        unblock(card, apdu::AUTH_TYPE_PIN, {}, apdu::AUTH_TYPE_KEY, sequence(23), nullptr);
    });
    ASSERT_TRUE(e.has_value());
    EXPECT_NE(nullptr, std::strstr(e->what(), "Invalid argument exception <targetData>"));
}

TEST(UnblockPin, PinPadKeyUnblocksPinAsksOnlyTheNewPin) {
    ScriptedConnection card(true);
    card.expectPinPadModify(false, true, 0, 13, "80 28 02 01 18 " + toHex(KEY8) + " " + zeros(16),
                            0x63C3);
    std::int32_t tries = 55;
    EXPECT_EQ(1u, unblock(card, apdu::AUTH_TYPE_KEY, KEY8, apdu::AUTH_TYPE_PIN, {}, &tries));
    EXPECT_EQ(3, tries);
}

TEST(UnblockPin, PinPadKeyUnblocksPinWithShortKeyIsWrongWithoutCommand) {
    ScriptedConnection card(true);
    std::int32_t tries = 55;
    EXPECT_EQ(1u, unblock(card, apdu::AUTH_TYPE_KEY, sequence(7), apdu::AUTH_TYPE_PIN, {}, &tries));
    EXPECT_EQ(-1, tries);
    EXPECT_THROW(unblock(card, apdu::AUTH_TYPE_KEY, {}, apdu::AUTH_TYPE_PIN, {}, nullptr),
                 InvalidArgumentException);
    EXPECT_TRUE(card.calls().empty());
}

TEST(UnblockPin, PinPadReaderWithTwoKeysSendsFromTheHost) {
    ScriptedConnection card(true);
    card.expect("80 28 02 01 20 " + toHex(KEY8) + " " + toHex(KEY24), "90 00", SENSITIVE);
    EXPECT_EQ(0u, unblock(card, apdu::AUTH_TYPE_KEY, KEY8, apdu::AUTH_TYPE_KEY, KEY24, nullptr));
}

// --- authentication object records ------------------------------------------------

TEST(GetAuthenticateObject, CopiesTheTenByteRecord) {
    const Bytes record = hex("00 05 00 00 00 08 00 03 01 03");
    ScriptedConnection card;
    card.expectTransmit(hex("80 2C 03 00 0A"), record, 0x9000);
    std::uint8_t out[10] = {};
    EXPECT_TRUE(apdu::getAuthenticateObject(card, 3, out));
    EXPECT_EQ(record, Bytes(out, out + 10));
}

TEST(GetAuthenticateObject, NoObjectReturnsFalseAndLeavesRecord) {
    ScriptedConnection card;
    card.expect("80 2C 04 00 0A", "6B 00");
    std::uint8_t out[10];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_FALSE(apdu::getAuthenticateObject(card, 4, out));
    EXPECT_EQ(Bytes(10, 0xEE), Bytes(out, out + 10));
}

TEST(GetAuthenticateObject, WrongLengthThrows) {
    ScriptedConnection card;
    card.expectTransmit(hex("80 2C 03 00 0A"), sequence(9), 0x9000);
    std::uint8_t out[10];
    EXPECT_THROW(apdu::getAuthenticateObject(card, 3, out), InternalErrorException);
}

TEST(GetAuthenticateObjectPinPolicy, CopiesTheNineByteRecord) {
    const Bytes policy = sequence(9, 0x70);
    ScriptedConnection card;
    card.expectTransmit(hex("80 2C 01 01 09"), policy, 0x9000);
    std::uint8_t out[9] = {};
    EXPECT_TRUE(apdu::getAuthenticateObjectPinPolicy(card, 1, out, 9));
    EXPECT_EQ(policy, Bytes(out, out + 9));
}

TEST(GetAuthenticateObjectPinPolicy, NoObjectReturnsFalse) {
    ScriptedConnection card;
    card.expect("80 2C 06 01 09", "6B 00");
    std::uint8_t out[9] = {};
    EXPECT_FALSE(apdu::getAuthenticateObjectPinPolicy(card, 6, out, 9));
}

TEST(GetAuthenticateObjectPinPolicy, BufferOfOtherSizeThrowsBeforeSending) {
    ScriptedConnection card;
    std::uint8_t out[10];
    auto e = catchAs<InternalErrorException>(
        [&] { apdu::getAuthenticateObjectPinPolicy(card, 1, out, 10); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ(
        "INTERNAL ERROR invalid size of buffer in getAuthenticateObjectPinPolicy(): actual = 10, "
        "expected = 9",
        e->what());
}

}  // namespace
