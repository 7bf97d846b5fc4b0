// The in-process card connection: response length rules, GET RESPONSE,
// T=0 forms, the scripted keypad and injected status words.
#include "cardsim/engineconnection.h"
#include "ctl/ctlexception.h"
#include "cardtest.h"

namespace cardsim::test {
namespace {

using Entry = EngineConnection::KeypadEntry;

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { connect(ctl::CardConnection::PROTOCOL_T1); }

    void connect(ctl::CardConnection::Protocol protocol) {
        connection = std::make_unique<EngineConnection>(
            CardEngine::fromState(personalise(testPersonalisation())), protocol);
        ASSERT_EQ(0x9000, send("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"));
    }

    std::uint16_t send(const std::string& text, std::uint32_t capacity = 258) {
        const Bytes apdu = hex(text);
        response.assign(258, 0);
        responseLength = capacity;
        return connection->transmit(apdu.data(), static_cast<std::uint32_t>(apdu.size()),
                                    response.data(), &responseLength, 0);
    }

    Bytes received() const { return Bytes(response.begin(), response.begin() + responseLength); }

    std::uint16_t verifyOnPinPad(std::uint8_t role) {
        Bytes apdu = hex("80 20 00 00 10" + pinField(""));
        apdu[2] = role;
        return connection->pinPadVerify(5, apdu.data(), static_cast<std::uint32_t>(apdu.size()));
    }

    std::unique_ptr<EngineConnection> connection;
    Bytes response;
    std::uint32_t responseLength = 0;
};

TEST_F(ConnectionTest, ReturnsTheStatusWordAndTheDataLength) {
    EXPECT_EQ(0x9000, send("80 08 00 00 10"));
    EXPECT_EQ(16u, responseLength);
    EXPECT_EQ("00112233445566778899AABBCCDDEEFF", toHex(received()));
    EXPECT_EQ(0x6C10, send("80 08 00 00 08"));
    EXPECT_EQ(0u, responseLength);
}

TEST_F(ConnectionTest, AnswerLongerThanTheBufferIsAnInsufficientBufferError) {
    try {
        send("80 08 00 00 10", 17);
        FAIL() << "no exception";
    } catch (const ctl::CtlException& e) {
        EXPECT_EQ(0x80100008u, e.error);
    }
}

TEST_F(ConnectionTest, MoreDataIsFetchedWithGetResponse) {
    ASSERT_EQ(0x9000, send("80 20 01 00 10" + pinField("1234")));
    ASSERT_EQ(0x9000, send("80 3E 00 01 0D 07 0400 0003 00 00 FFFF FFFF FFFF"));
    connection->clearSentCommands();
    EXPECT_EQ(0x9000, send("80 40 00 00 03 01 00 01"));
    EXPECT_EQ(128u, responseLength);
    ASSERT_EQ(2u, connection->sentCommands().size());
    EXPECT_EQ("00C0000080", toHex(connection->sentCommands()[1]));
}

TEST_F(ConnectionTest, T0DropsTheTrailingLeAndFetchesTheAnswer) {
    connect(ctl::CardConnection::PROTOCOL_T0);
    ASSERT_EQ(0x9000, send("80 20 01 00 10" + pinField("1234")));
    ASSERT_EQ(0x9000, send("80 3E 00 01 0D 07 0400 0003 00 00 FFFF FFFF FFFF"));
    ASSERT_EQ(0x9000, send("80 40 00 00 03 01 00 01"));
    ASSERT_EQ(0x9000, send("80 3C 00 00 02 00 03"));
    ASSERT_EQ(0x9000, send("80 12 00 00 03 02 4B 31"));
    ASSERT_EQ(0x9000, send("80 3A 00 00 02"));
    ASSERT_EQ(0x9000, send("80 46 00 05 00"));
    connection->clearSentCommands();
    Bytes block(128, 0x00);
    block[127] = 0x02;
    EXPECT_EQ(0x9000, send("80 4A 00 00 80" + toHex(block) + "80"));
    EXPECT_EQ(128u, responseLength);
    ASSERT_EQ(2u, connection->sentCommands().size());
    EXPECT_EQ(133u, connection->sentCommands()[0].size());
    EXPECT_EQ("00C0000080", toHex(connection->sentCommands()[1]));
}

TEST_F(ConnectionTest, PinPadNeedsToBeAvailable) {
    try {
        verifyOnPinPad(1);
        FAIL() << "no exception";
    } catch (const ctl::CtlException& e) {
        EXPECT_EQ(0x80100022u, e.error);
    }
}

TEST_F(ConnectionTest, PinPadVerifyInsertsTheTypedDigits) {
    connection->setPinPadAvailable(true);
    connection->queueKeypad(Entry::typed("9999"));
    connection->queueKeypad(Entry::typed("1234"));
    EXPECT_EQ(0x63C2, verifyOnPinPad(1));
    EXPECT_EQ(0x9000, verifyOnPinPad(1));
    EXPECT_EQ("80200100" "10" + pinField("1234"), toHex(connection->sentCommands().back()));
}

struct KeypadOutcome {
    const char* name;
    Entry entry;
    std::uint16_t expected;
};

class KeypadOutcomeTest : public ConnectionTest, public ::testing::WithParamInterface<KeypadOutcome> {};

TEST_P(KeypadOutcomeTest, ReaderAnswersWithoutTheCard) {
    connection->setPinPadAvailable(true);
    connection->queueKeypad(GetParam().entry);
    connection->clearSentCommands();
    EXPECT_EQ(GetParam().expected, verifyOnPinPad(1));
    EXPECT_EQ(0u, connection->sentCommands().size());
}

INSTANTIATE_TEST_SUITE_P(
    Entries, KeypadOutcomeTest,
    ::testing::Values(KeypadOutcome{"Cancel", Entry::cancel(), 0x6401},
                      KeypadOutcome{"Timeout", Entry::timeout(), 0x6400},
                      KeypadOutcome{"TooLong", Entry::typed("123456789"), 0x6403},
                      KeypadOutcome{"Empty", Entry::typed(""), 0x6403}),
    [](const auto& info) { return info.param.name; });

TEST_F(ConnectionTest, EmptyKeypadScriptTimesOut) {
    connection->setPinPadAvailable(true);
    EXPECT_EQ(0x6400, verifyOnPinPad(1));
}

TEST_F(ConnectionTest, PinPadModifyChecksTheConfirmation) {
    connection->setPinPadAvailable(true);
    ASSERT_EQ(0x9000, send("80 20 01 00 10" + pinField("1234")));
    const Bytes change = hex("80 26 00 01 10" + pinField(""));
    connection->queueKeypad(Entry::typed("5678"));
    connection->queueKeypad(Entry::typed("5679"));
    EXPECT_EQ(0x6402, connection->pinPadModify(false, true, 5, 5, change.data(), 21));
    connection->queueKeypad(Entry::typed("5678"));
    connection->queueKeypad(Entry::typed("5678"));
    EXPECT_EQ(0x9000, connection->pinPadModify(false, true, 5, 5, change.data(), 21));
    connection->queueKeypad(Entry::typed("5678"));
    EXPECT_EQ(0x9000, verifyOnPinPad(1));
}

TEST_F(ConnectionTest, PinPadUnblockTakesBothPins) {
    connection->setPinPadAvailable(true);
    for (int i = 0; i < 3; ++i) send("80 20 01 00 10" + pinField("0000"));
    const Bytes unblock = hex("80 28 02 01 20" + pinField("") + pinField(""));
    connection->queueKeypad(Entry::typed("87654321"));
    connection->queueKeypad(Entry::typed("2468"));
    connection->queueKeypad(Entry::typed("2468"));
    EXPECT_EQ(0x9000, connection->pinPadModify(true, true, 5, 21, unblock.data(), 37));
    EXPECT_EQ(0u, connection->keypadEntriesLeft());
    EXPECT_EQ(0x9000, send("80 20 01 00 10" + pinField("2468")));
}

TEST_F(ConnectionTest, TemplateLongerThanTheReaderTakesIsRefused) {
    connection->setPinPadAvailable(true);
    Bytes big(281, 0);
    try {
        connection->pinPadVerify(5, big.data(), 281);
        FAIL() << "no exception";
    } catch (const ctl::CtlException& e) {
        EXPECT_EQ(0x80100004u, e.error);
    }
}

TEST_F(ConnectionTest, InjectedStatusWordReplacesTheNthCommandOfThatInstruction) {
    connection->injectStatusWord(0x08, 2, 0x6F09);
    EXPECT_EQ(0x9000, send("80 08 00 00 10"));
    connection->clearSentCommands();
    EXPECT_EQ(0x6F09, send("80 08 00 00 10"));
    EXPECT_EQ(0u, connection->sentCommands().size());
    EXPECT_EQ(0x9000, send("80 08 00 00 10"));
}

}  // namespace
}  // namespace cardsim::test
