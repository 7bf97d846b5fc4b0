#include <gtest/gtest.h>

#include "ctl/ctlexception.h"
#include "ctl/lockablepcsccardconnection.h"
#include "fakepcscapi.h"
#include "logcapture.h"

namespace ctl {
namespace {

using testing::Bytes;
using testing::FakePcScApi;
using testing::LogCapture;

class Transmit : public ::testing::Test {
protected:
    LockablePcScCardConnection connect(std::uint32_t cardProtocol) {
        api.cardProtocol = cardProtocol;
        return LockablePcScCardConnection(PcScReader(L"Reader 0"), CardConnection::MODE_SHARED,
                                          CardConnection::PROTOCOL_T0_OR_T1, api);
    }
    FakePcScApi api;
};

// Note: LockablePcScCardConnection is not copyable; the helper relies on
// guaranteed copy elision.

const Bytes CASE4_COMMAND = {0x00, 0x88, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00};

std::size_t countOccurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(Transmit, Case4CommandOnT0GoesOutWithoutLe) {
    auto connection = connect(1);
    EXPECT_EQ(CardConnection::PROTOCOL_T0, connection.getProtocol());
    api.transmitAnswers.push_back({0, {0x90, 0x00}});
    std::uint8_t response[258];
    std::uint32_t length = sizeof response;
    EXPECT_EQ(0x9000, connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0));
    ASSERT_EQ(1u, api.transmitted.size());
    EXPECT_EQ(Bytes(CASE4_COMMAND.begin(), CASE4_COMMAND.end() - 1), api.transmitted[0]);
    EXPECT_TRUE(api.transmittedWithT0[0]);
    EXPECT_EQ(0u, length);
}

TEST_F(Transmit, Case4CommandOnT1GoesOutWhole) {
    auto connection = connect(2);
    EXPECT_EQ(CardConnection::PROTOCOL_T1, connection.getProtocol());
    api.transmitAnswers.push_back({0, {0x90, 0x00}});
    std::uint8_t response[258];
    std::uint32_t length = sizeof response;
    connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0);
    ASSERT_EQ(1u, api.transmitted.size());
    EXPECT_EQ(CASE4_COMMAND, api.transmitted[0]);
    EXPECT_FALSE(api.transmittedWithT0[0]);
}

struct T0Case {
    Bytes command;
    std::size_t sentLength;
};

class TransmitT0Rule : public Transmit, public ::testing::WithParamInterface<T0Case> {};

TEST_P(TransmitT0Rule, DropsLeOnlyForCase4) {
    auto connection = connect(1);
    api.transmitAnswers.push_back({0, {0x90, 0x00}});
    std::uint8_t response[16];
    std::uint32_t length = sizeof response;
    connection.transmit(GetParam().command.data(), static_cast<std::uint32_t>(GetParam().command.size()),
                        response, &length, 0);
    ASSERT_EQ(1u, api.transmitted.size());
    EXPECT_EQ(GetParam().sentLength, api.transmitted[0].size());
}

INSTANTIATE_TEST_SUITE_P(
    Commands, TransmitT0Rule,
    ::testing::Values(T0Case{{0x00, 0xCA, 0x01, 0x00, 0x10}, 5},            // case 2
                      T0Case{{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}, 7},  // case 3
                      T0Case{{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00}, 7},  // case 4
                      T0Case{{0x00, 0xA4, 0x04, 0x00, 0x01, 0x3F, 0x00, 0x00}, 8},  // Lc mismatch
                      T0Case{{0x00, 0x84, 0x00, 0x00}, 4}));                   // case 1

TEST_F(Transmit, Status61TriggersOneGetResponseWithFullCapacity) {
    auto connection = connect(2);
    api.transmitAnswers.push_back({0, {0x61, 0x10}});
    Bytes data(16, 0x5A);
    data.push_back(0x90);
    data.push_back(0x00);
    api.transmitAnswers.push_back({0, data});
    std::uint8_t response[100];
    std::uint32_t length = sizeof response;
    EXPECT_EQ(0x9000, connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0));
    ASSERT_EQ(2u, api.transmitted.size());
    EXPECT_EQ(Bytes({0x00, 0xC0, 0x00, 0x00, 0x10}), api.transmitted[1]);
    EXPECT_EQ(100u, api.transmitCapacities[1]);
    EXPECT_EQ(16u, length);
    EXPECT_EQ(Bytes(16, 0x5A), Bytes(response, response + 16));
}

TEST_F(Transmit, ASecond61IsReturnedUnchanged) {
    auto connection = connect(2);
    api.transmitAnswers.push_back({0, {0x61, 0x10}});
    api.transmitAnswers.push_back({0, {0x61, 0x08}});
    std::uint8_t response[100];
    std::uint32_t length = sizeof response;
    EXPECT_EQ(0x6108, connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0));
    EXPECT_EQ(2u, api.transmitted.size());
}

TEST_F(Transmit, Status6CxxGetsNoSpecialTreatment) {
    auto connection = connect(2);
    api.transmitAnswers.push_back({0, {0x6C, 0x2F}});
    std::uint8_t response[100];
    std::uint32_t length = sizeof response;
    EXPECT_EQ(0x6C2F, connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0));
    EXPECT_EQ(1u, api.transmitted.size());
}

TEST_F(Transmit, LogsItsParameters) {
    auto connection = connect(2);
    api.transmitAnswers.push_back({0, {0x90, 0x00}});
    std::uint8_t response[100];
    std::uint32_t length = sizeof response;
    LogCapture log;
    EXPECT_EQ(0x9000, connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0));
    EXPECT_TRUE(log.contains("send_buff_len = 9")) << log.text();
    EXPECT_TRUE(log.contains("recv_buff_len = 100")) << log.text();
    EXPECT_TRUE(log.contains("flags = 0 [0x0]")) << log.text();
}

TEST_F(Transmit, OneByteResponseIsAnUnknownError) {
    auto connection = connect(2);
    api.transmitAnswers.push_back({0, {0x90}});
    std::uint8_t response[100];
    std::uint32_t length = sizeof response;
    LogCapture log;
    try {
        connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0);
        FAIL() << "no exception";
    } catch (const CtlException& e) {
        EXPECT_EQ(0x80100014u, e.error);
        EXPECT_STREQ("SCard error 0x80100014", e.what());
    }
    EXPECT_TRUE(log.contains("INVALID RESPONSE FROM SCardTransmit, at least 2 bytes expected"));
}

TEST_F(Transmit, ResponseLongerThanTheBufferIsInsufficientBuffer) {
    auto connection = connect(2);
    api.transmitAnswers.push_back({0, Bytes(12, 0x11)});
    std::uint8_t response[8];
    std::uint32_t length = sizeof response;
    try {
        connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0);
        FAIL() << "no exception";
    } catch (const CtlException& e) {
        EXPECT_EQ(0x80100008u, e.error);
    }
}

TEST_F(Transmit, ServiceFailureBecomesCtlExceptionWithItsCode) {
    auto connection = connect(2);
    api.transmitAnswers.push_back({0x80100069, {}});
    std::uint8_t response[8];
    std::uint32_t length = sizeof response;
    try {
        connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0);
        FAIL() << "no exception";
    } catch (const CtlException& e) {
        EXPECT_EQ(0x80100069u, e.error);
    }
}

TEST_F(Transmit, NullArgumentsAreRefused) {
    auto connection = connect(2);
    std::uint8_t response[8];
    std::uint32_t length = sizeof response;
    EXPECT_THROW(connection.transmit(nullptr, 9, response, &length, 0), InvalidArgumentException);
    EXPECT_THROW(connection.transmit(CASE4_COMMAND.data(), 9, response, nullptr, 0),
                 InvalidArgumentException);
    EXPECT_THROW(connection.transmit(CASE4_COMMAND.data(), 9, nullptr, &length, 0),
                 InvalidArgumentException);
    EXPECT_TRUE(api.transmitted.empty());
}

TEST_F(Transmit, SensitiveCommandShowsOnlyItsHeaderInTheLog) {
    auto connection = connect(2);
    // VERIFY with the PIN "31323334" and a response carrying secret bytes.
    const Bytes verify = {0x00, 0x20, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34};
    api.transmitAnswers.push_back({0, {0xC7, 0xC8, 0xC9, 0x61, 0x03}});
    api.transmitAnswers.push_back({0, {0xAB, 0xCD, 0xEF, 0x90, 0x00}});
    std::uint8_t response[64];
    std::uint32_t length = sizeof response;
    LogCapture log;
    EXPECT_EQ(0x9000, connection.transmit(verify.data(), 9, response, &length,
                                          CardConnection::FLAG_SENSITIVE));
    const std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("send_buff = 00 20 00 01 ******")) << text;
    EXPECT_NE(std::string::npos, text.find("recvBuff = ******")) << text;
    EXPECT_EQ(std::string::npos, text.find("31 32 33 34")) << text;
    EXPECT_EQ(std::string::npos, text.find("C7 C8 C9")) << text;
    // The GET RESPONSE command that follows is logged in full; what it
    // fetches is the sensitive command's answer and stays masked.
    EXPECT_NE(std::string::npos, text.find("send_buff =  00 C0 00 00 03")) << text;
    EXPECT_EQ(std::string::npos, text.find("AB CD EF")) << text;
    EXPECT_EQ(2u, countOccurrences(text, "recvBuff = ******")) << text;
}

TEST_F(Transmit, EveryServiceCallIsFollowedByItsResultLine) {
    LogCapture log;
    auto connection = connect(2);
    api.transmitAnswers.push_back({0, {0x90, 0x00}});
    std::uint8_t response[8];
    std::uint32_t length = sizeof response;
    connection.transmit(CASE4_COMMAND.data(), 9, response, &length, 0);
    const std::string text = log.text();
    for (const char* line :
         {"SCardEstablishContext(2, 0, 0, &context) return value: 0x00000000",
          "SCardConnectW(context, reader.getName(), mode == MODE_EXCLUSIVE ? 1 : 2, dwProtocol, "
          "&cardHandle, &dwActiveProcotol) return value: 0x00000000",
          "SCardStatusA(scardHandle, dummy_buffer, &dummy_len, &dummy_state, &dwProtocol, batr, "
          "&dwAtrLen) return value: 0x00000000",
          "SCardTransmit( cardHandle, protocol == PROTOCOL_T0 ? (&g_rgSCardT0Pci) : "
          "(&g_rgSCardT1Pci), send_buff, (DWORD)send_buff_len, 0, recvBuff, &dwRealRecvBuffLen) "
          "return value: 0x00000000",
          "mode = ctl::CardConnection::MODE_SHARED[1]",
          "protocol = ctl::CardConnection::PROTOCOL_T0_OR_T1[3]"}) {
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    }
}

}  // namespace
}  // namespace ctl
