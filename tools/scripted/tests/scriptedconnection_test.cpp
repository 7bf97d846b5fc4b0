#include "ctl/scriptedconnection.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "ctl/ctlexception.h"

namespace {

using ctl::ScriptedConnection;

std::uint16_t send(ScriptedConnection& connection, const std::string& command,
                   std::uint32_t flags, std::uint8_t* response, std::uint32_t* length) {
    ScriptedConnection::Bytes bytes = ScriptedConnection::hex(command);
    return connection.transmit(bytes.data(), static_cast<std::uint32_t>(bytes.size()), response,
                               length, flags);
}

TEST(ScriptedConnectionHex, ParsesSpacedAndPackedPairs) {
    EXPECT_EQ((ScriptedConnection::Bytes{0x80, 0x02, 0xAB}), ScriptedConnection::hex("80 02 ab"));
    EXPECT_EQ((ScriptedConnection::Bytes{0x80, 0x02, 0xAB}), ScriptedConnection::hex("8002AB"));
    EXPECT_EQ(ScriptedConnection::Bytes{}, ScriptedConnection::hex(""));
}

TEST(ScriptedConnectionHex, RejectsOddDigitsAndNonHex) {
    EXPECT_THROW(ScriptedConnection::hex("800"), std::invalid_argument);
    EXPECT_THROW(ScriptedConnection::hex("8 00"), std::invalid_argument);
    EXPECT_THROW(ScriptedConnection::hex("8G"), std::invalid_argument);
}

TEST(ScriptedConnectionHex, FormatsUpperCasePairs) {
    EXPECT_EQ("00 0A FF", ScriptedConnection::toHex({0x00, 0x0A, 0xFF}));
}

TEST(ScriptedConnection, AnswersMatchingCommandWithDataAndStatusWord) {
    ScriptedConnection connection;
    connection.expect("80 02 00 00 02", "03 01 90 00");
    std::uint8_t response[258] = {};
    std::uint32_t length = sizeof response;
    EXPECT_EQ(0x9000, send(connection, "80 02 00 00 02", 0, response, &length));
    EXPECT_EQ(2u, length);
    EXPECT_EQ(0x03, response[0]);
    EXPECT_EQ(0x01, response[1]);
    ASSERT_EQ(1u, connection.calls().size());
    EXPECT_EQ(ScriptedConnection::hex("80 02 00 00 02"), connection.calls()[0].command);
    EXPECT_EQ(0u, connection.pendingExpectations());
}

TEST(ScriptedConnection, ReportsDifferingCommandWithFirstDifferingByte) {
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedConnection connection;
            connection.expect("80 1A 00 00 FF", "90 00");
            std::uint8_t response[258];
            std::uint32_t length = sizeof response;
            EXPECT_THROW(send(connection, "80 1A 00 00 5A", 0, response, &length),
                         ScriptedConnection::ScriptMismatch);
        },
        "first difference at byte 4");
}

TEST(ScriptedConnection, ReportsSensitiveFlagMismatch) {
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedConnection connection;
            connection.expect("80 20 01 00 00", "90 00", true);
            std::uint8_t response[258];
            std::uint32_t length = sizeof response;
            EXPECT_THROW(send(connection, "80 20 01 00 00", 0, response, &length),
                         ScriptedConnection::ScriptMismatch);
        },
        "transmit (not sensitive)");
}

TEST(ScriptedConnection, ReportsUnexpectedCall) {
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedConnection connection;
            std::uint8_t response[258];
            std::uint32_t length = sizeof response;
            EXPECT_THROW(send(connection, "80 22 01 00 00", 0, response, &length),
                         ScriptedConnection::ScriptMismatch);
        },
        "was not expected");
}

TEST(ScriptedConnection, ReportsLeftoverExpectationsOnDestruction) {
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedConnection connection;
            connection.expect("80 22 01 00 00", "90 00");
        },
        "was never made");
}

TEST(ScriptedConnection, ThrowsInsufficientBufferWhenResponseDoesNotFit) {
    ScriptedConnection connection;
    connection.expect("80 04 00 00 08", "01 02 03 04 90 00");
    std::uint8_t response[5];
    std::uint32_t length = sizeof response;
    try {
        send(connection, "80 04 00 00 08", 0, response, &length);
        ADD_FAILURE() << "no exception";
    } catch (const ctl::CtlException& e) {
        EXPECT_EQ(0x80100008u, e.error);
    }
}

TEST(ScriptedConnection, RunsScriptedFault) {
    ScriptedConnection connection;
    connection.expectTransmitFailure("80 02 00 00 02", [] { throw ctl::CtlException(0x80100069); });
    std::uint8_t response[258];
    std::uint32_t length = sizeof response;
    EXPECT_THROW(send(connection, "80 02 00 00 02", 0, response, &length), ctl::CtlException);
}

TEST(ScriptedConnection, MatchesPinPadCallsWithTheirOffsets) {
    ScriptedConnection connection(true);
    connection.expectPinPadVerify(5, "80 20 01 00 01 00", 0x63C2)
        .expectPinPadModify(true, true, 5, 21, "80 28 01 01 00", 0x9000);
    auto verifyCommand = ScriptedConnection::hex("80 20 01 00 01 00");
    auto modifyCommand = ScriptedConnection::hex("80 28 01 01 00");
    EXPECT_TRUE(connection.isPinPadAvailable());
    EXPECT_EQ(0x63C2, connection.pinPadVerify(5, verifyCommand.data(), 6));
    EXPECT_EQ(0x9000, connection.pinPadModify(true, true, 5, 21, modifyCommand.data(), 5));
}

TEST(ScriptedConnection, ReportsPinPadOffsetMismatch) {
    EXPECT_NONFATAL_FAILURE(
        {
            ScriptedConnection connection(true);
            connection.expectPinPadModify(false, true, 0, 13, "80 28 01 01 00", 0x9000);
            auto command = ScriptedConnection::hex("80 28 01 01 00");
            EXPECT_THROW(connection.pinPadModify(false, true, 5, 13, command.data(), 5),
                         ScriptedConnection::ScriptMismatch);
        },
        "offsets 0 and 13");
}

TEST(ScriptedConnection, ReportsProtocolAndPinPadAsSet) {
    ScriptedConnection connection;
    EXPECT_FALSE(connection.isPinPadAvailable());
    EXPECT_EQ(ctl::CardConnection::PROTOCOL_T1, connection.getProtocol());
    connection.setProtocol(ctl::CardConnection::PROTOCOL_T0);
    connection.setPinPadAvailable(true);
    EXPECT_EQ(ctl::CardConnection::PROTOCOL_T0, connection.getProtocol());
    EXPECT_TRUE(connection.isPinPadAvailable());
}

}  // namespace

namespace {

TEST(ScriptedConnection, FailingWithMakesAPinPadCallThrow) {
    ctl::ScriptedConnection connection(true);
    connection.expectPinPadVerify(5, "80 20 01 00 00", 0x9000).failingWith([] {
        throw ctl::CtlException(0x80100022);
    });
    auto command = ctl::ScriptedConnection::hex("80 20 01 00 00");
    try {
        connection.pinPadVerify(5, command.data(), 5);
        ADD_FAILURE() << "no exception";
    } catch (const ctl::CtlException& e) {
        EXPECT_EQ(0x80100022u, e.error);
    }
}

TEST(ScriptedConnection, FailingWithNeedsAnExpectation) {
    ctl::ScriptedConnection connection;
    EXPECT_THROW(connection.failingWith([] {}), std::logic_error);
}

}  // namespace
