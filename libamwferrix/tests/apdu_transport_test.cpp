// The exchange of one command, the status word table and the pin-pad status
// handling shared by every command.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "apdutestsupport.h"
#include "ctl/ctlexception.h"

namespace {

using namespace apdutest;
using ctl::ScriptedConnection;
namespace apdu = amwferrix::apdu;

TEST(SendApdu, PassesCommandAndReturnsDataLengthAndStatusWord) {
    ScriptedConnection card;
    card.expect("80 02 00 00 02", "03 01 90 00");
    const Bytes command = hex("80 02 00 00 02");
    std::uint8_t response[258];
    std::uint32_t length = sizeof response;
    EXPECT_EQ(0x9000, apdu::sendApdu(card, command.data(), 5, response, &length, 0));
    EXPECT_EQ(2u, length);
    EXPECT_EQ((Bytes{0x03, 0x01}), Bytes(response, response + 2));
}

TEST(SendApdu, SensitiveCommandSetsBitZeroOfTheFlags) {
    ScriptedConnection card;
    card.expect("80 20 01 00 02 31 32", "90 00", true);
    const Bytes command = hex("80 20 01 00 02 31 32");
    std::uint8_t response[258];
    std::uint32_t length = sizeof response;
    EXPECT_EQ(0x9000, apdu::sendApdu(card, command.data(), 7, response, &length, 1));
    ASSERT_EQ(1u, card.calls().size());
    EXPECT_EQ(ctl::CardConnection::FLAG_SENSITIVE, card.calls()[0].flags);
}

TEST(SendApdu, TransmitFailurePassesThroughUnchanged) {
    ScriptedConnection card;
    card.expectTransmitFailure("80 02 00 00 02", [] { throw ctl::CtlException(0x80100069); });
    const Bytes command = hex("80 02 00 00 02");
    std::uint8_t response[258];
    std::uint32_t length = sizeof response;
    auto e = catchAs<ctl::CtlException>(
        [&] { apdu::sendApdu(card, command.data(), 5, response, &length, 0); });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(0x80100069u, e->error);
}

TEST(SendApdu, TransmitFailureStopsTheCommandFunction) {
    ScriptedConnection card;
    card.expectTransmitFailure("80 0A 00 00 0A", [] { throw ctl::CtlException(0x80100068); });
    std::uint16_t head = 0x1111;
    auto e = catchAs<ctl::CtlException>(
        [&] { apdu::getHeads(card, &head, nullptr, nullptr, nullptr, nullptr); });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(0x80100068u, e->error);
    EXPECT_EQ(0x1111, head);
}

TEST(SendApdu, NullBuffersAreRefusedBeforeSending) {
    ScriptedConnection card;
    const Bytes command = hex("80 02 00 00 02");
    std::uint32_t length = 258;
    EXPECT_THROW(apdu::sendApdu(card, command.data(), 5, nullptr, &length, 0),
                 InvalidArgumentException);
    std::uint8_t response[258];
    EXPECT_THROW(apdu::sendApdu(card, nullptr, 5, response, &length, 0),
                 InvalidArgumentException);
    EXPECT_THROW(apdu::sendApdu(card, command.data(), 5, response, nullptr, 0),
                 InvalidArgumentException);
    EXPECT_TRUE(card.calls().empty());
}

// --- checkStatusWord -----------------------------------------------------------

// "Kind: message" of whatever checkStatusWord throws, or "none".
std::string outcomeOf(std::uint16_t sw) {
    try {
        apdu::checkStatusWord(sw);
    } catch (const amw::SecurityViolationException& e) {
        return std::string("SecurityViolation: ") + e.what();
    } catch (const amw::AppletNotSelectedException& e) {
        return std::string("AppletNotSelected: ") + e.what();
    } catch (const amw::CardOutOfMemoryException& e) {
        return std::string("CardOutOfMemory: ") + e.what();
    } catch (const amw::PinPolicyViolationException& e) {
        return std::string("PinPolicyViolation: ") + e.what();
    } catch (const amw::SWException& e) {
        char sw[8];
        std::snprintf(sw, sizeof sw, "%04X", e.sw);
        return std::string("SW ") + sw + ": " + e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "none";
}

TEST(CheckStatusWord, MapsEachStatusWordToItsException) {
    struct Case {
        std::uint16_t sw;
        const char* expected;
    };
    const Case cases[] = {
        {0x9000, "none"},
        {0x6982, "SecurityViolation: SECURITY VIOLATION (not logged in)"},
        {0x6D00, "AppletNotSelected: "},
        {0x6F03, "CardOutOfMemory: CARD OUT OF MEMORY"},
        {0x6F18, "PinPolicyViolation: PIN POLICY VIOLATION"},
        {0x6F10, "SW 6F10: unexpected SW 6F10"},
        {0x6A82, "SW 6A82: unexpected SW 6A82"},
        {0x6A83, "SW 6A83: unexpected SW 6A83"},
        {0x63C2, "SW 63C2: unexpected SW 63C2"},
        {0x6983, "SW 6983: unexpected SW 6983"},
        {0x6B00, "SW 6B00: unexpected SW 6B00"},
        {0x6C10, "SW 6C10: unexpected SW 6C10"},
        {0x6100, "SW 6100: unexpected SW 6100"},
        {0x0000, "SW 0000: unexpected SW 0000"},
        {0xFFFF, "SW FFFF: unexpected SW FFFF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, outcomeOf(c.sw)) << "status word " << std::hex << c.sw;
    }
}

// --- handlePinPadSW ------------------------------------------------------------

struct PinPadCase {
    std::uint16_t sw;
    bool listener;
    // "again", "stop" or "throw N" (the pin-pad reason).
    const char* outcome;
    const char* events;  // comma-separated listener calls
    std::uint32_t state;  // the state afterwards; it starts at 99
};

std::string joined(const std::vector<std::string>& events) {
    std::string out;
    for (const std::string& e : events) {
        out += (out.empty() ? "" : ",") + e;
    }
    return out;
}

TEST(HandlePinPadSW, FollowsTheTableWithAndWithoutListener) {
    const PinPadCase cases[] = {
        {0x6400, true, "throw 0", "", 99},
        {0x6401, true, "throw 1", "canceled", 99},
        {0x6402, true, "again", "mismatch", 99},
        {0x6403, true, "again", "lengthError", 99},
        {0x6983, true, "stop", "blocked", 0},
        {0x63C2, true, "again", "wrongPin", 2},
        {0x63C0, true, "again", "wrongPin", 0},
        {0x9000, true, "stop", "", 99},
        {0x6A82, true, "stop", "", 99},
        {0x6400, false, "throw 0", "", 99},
        {0x6401, false, "throw 1", "", 99},
        {0x6402, false, "throw 2", "", 99},
        {0x6403, false, "throw 3", "", 99},
        {0x6983, false, "stop", "", 0},
        {0x63C2, false, "stop", "", 2},
        {0x63CF, false, "stop", "", 15},
        {0x9000, false, "stop", "", 99},
        {0x6982, false, "stop", "", 99},
    };
    for (const PinPadCase& c : cases) {
        RecordingListener listener;
        std::uint32_t state = 99;
        std::string outcome;
        try {
            outcome = apdu::handlePinPadSW(c.sw, c.listener ? &listener : nullptr, state)
                          ? "again"
                          : "stop";
        } catch (const amw::PinPadException& e) {
            outcome = "throw " + std::to_string(e.reason);
        }
        const std::string where = "status word " + toHex({static_cast<std::uint8_t>(c.sw >> 8),
                                                          static_cast<std::uint8_t>(c.sw)}) +
                                  (c.listener ? " with listener" : " without listener");
        EXPECT_EQ(c.outcome, outcome) << where;
        EXPECT_EQ(c.events, joined(listener.events)) << where;
        EXPECT_EQ(c.state, state) << where;
    }
}

TEST(HandlePinPadSW, PinPadExceptionMessageNamesTheReason) {
    std::uint32_t state = 0;
    auto e = catchAs<amw::PinPadException>([&] { apdu::handlePinPadSW(0x6401, nullptr, state); });
    ASSERT_TRUE(e.has_value());
    EXPECT_STREQ("PINPAD exception: amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED",
                 e->what());
}

// --- The pin-pad entry loop ---------------------------------------------------

const std::string VERIFY_USER_TEMPLATE = "80 20 01 00 10 " + zeros(16);

TEST(PinPadEntry, WrongPinWithListenerAsksAgainWithTriesRemaining) {
    ScriptedConnection card(true);
    card.expectPinPadVerify(5, VERIFY_USER_TEMPLATE, 0x63C2)
        .expectPinPadVerify(5, VERIFY_USER_TEMPLATE, 0x9000);
    RecordingListener listener;
    std::int32_t tries = 77;
    EXPECT_EQ(0u, apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 0, &tries,
                                     &listener));
    EXPECT_EQ("start(0),end,wrongPin,start(2),end", joined(listener.events));
    EXPECT_EQ(77, tries);
}

TEST(PinPadEntry, MismatchAndLengthErrorWithListenerAreEnteredAgain) {
    const std::string changeTemplate = "80 26 00 01 10 " + zeros(16);
    ScriptedConnection card(true);
    card.expectPinPadModify(false, true, 5, 5, changeTemplate, 0x6402)
        .expectPinPadModify(false, true, 5, 5, changeTemplate, 0x6403)
        .expectPinPadModify(false, true, 5, 5, changeTemplate, 0x9000);
    RecordingListener listener;
    apdu::changePin(card, 1, true, nullptr, 0, &listener);
    EXPECT_EQ("start(0),end,mismatch,start(0),end,lengthError,start(0),end",
              joined(listener.events));
}

TEST(PinPadEntry, BlockedEndsTheLoopWithResultBlocked) {
    ScriptedConnection card(true);
    card.expectPinPadVerify(5, VERIFY_USER_TEMPLATE, 0x63C1)
        .expectPinPadVerify(5, VERIFY_USER_TEMPLATE, 0x6983);
    RecordingListener listener;
    std::int32_t tries = 77;
    EXPECT_EQ(2u, apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 0, &tries,
                                     &listener));
    EXPECT_EQ(0, tries);
    EXPECT_EQ("start(0),end,wrongPin,start(1),end,blocked", joined(listener.events));
}

TEST(PinPadEntry, CancelWithListenerReportsThenThrows) {
    ScriptedConnection card(true);
    card.expectPinPadVerify(5, VERIFY_USER_TEMPLATE, 0x6401);
    RecordingListener listener;
    auto e = catchAs<amw::PinPadException>([&] {
        apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 0, nullptr, &listener);
    });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED, e->reason);
    EXPECT_EQ("start(0),end,canceled", joined(listener.events));
}

TEST(PinPadEntry, TimeoutThrowsReasonZero) {
    ScriptedConnection card(true);
    card.expectPinPadVerify(5, VERIFY_USER_TEMPLATE, 0x6400);
    auto e = catchAs<amw::PinPadException>([&] {
        apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 0, nullptr, nullptr);
    });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(amw::PinPadException::AUTHENTICATION_PINPAD_TIMEOUT, e->reason);
}

TEST(PinPadEntry, MismatchWithoutListenerThrowsReasonTwo) {
    ScriptedConnection card(true);
    card.expectPinPadModify(false, true, 5, 5, "80 26 00 01 10 " + zeros(16), 0x6402);
    auto e = catchAs<amw::PinPadException>(
        [&] { apdu::changePin(card, 1, true, nullptr, 0, nullptr); });
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(amw::PinPadException::AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH, e->reason);
}

TEST(PinPadEntry, ReaderFailureStillEndsTheEntryForTheListener) {
    ScriptedConnection card(true);
    card.expectPinPadVerify(5, VERIFY_USER_TEMPLATE, 0x9000).failingWith([] {
        throw ctl::CtlException(0x80100069);
    });
    RecordingListener listener;
    EXPECT_THROW(
        apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 0, nullptr, &listener),
        ctl::CtlException);
    EXPECT_EQ("start(0),end", joined(listener.events));
}

}  // namespace
