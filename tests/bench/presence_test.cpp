// Insertion, removal, reset and pcscd restarts as a PC/SC client sees them.
#include "ferrixcard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <winscard.h>

#include <algorithm>
#include <thread>

namespace benchtest {
namespace {

class Presence : public BenchSuite {};

class PresenceOnEachReader : public Presence, public ::testing::WithParamInterface<const char*> {};

TEST_P(PresenceOnEachReader, RemovalAndReinsertionKeepTheCardsObjects) {
    DataObjectOnCard object{0, dataObjectMetadata("kept"), fromHex("0A 0B 0C")};
    {
        bench().insert(GetParam(), image());
        bench::PcscClient client;
        auto card = client.connect(bench().reader(GetParam()).name);
        ASSERT_EQ("9000", swText(card.transmitSw(SELECT_FERRIX)));
        ASSERT_EQ("9000", swText(card.transmitSw(authenticatePin(1, "1234"))));
        ASSERT_EQ("9000", swText(createDataObject(card, object)));
    }
    bench().remove(GetParam());
    bench().insert(GetParam(), image());
    bench::PcscClient client;
    auto card = client.connect(bench().reader(GetParam()).name);
    ASSERT_EQ("9000", swText(card.transmitSw(SELECT_FERRIX)));
    EXPECT_EQ(std::optional<std::uint8_t>(0), authState(card)) << "a reinserted card starts unauthenticated";
    ASSERT_EQ("9000", swText(card.transmitSw(authenticatePin(1, "1234"))));
    Bytes header, metadata, content;
    ASSERT_EQ("9000", swText(readDataObject(card, object.blockId, header, metadata, content)));
    EXPECT_EQ(bench::toHex(object.metadata), bench::toHex(metadata));
    EXPECT_EQ(bench::toHex(object.content), bench::toHex(content));
}

TEST_P(PresenceOnEachReader, ResetFromASecondClientClearsAuthenticationAndSessionPins) {
    bench().insert(GetParam(), image());
    bench::PcscClient client;
    auto card = client.connect(bench().reader(GetParam()).name);
    ASSERT_EQ("9000", swText(card.transmitSw(SELECT_FERRIX)));
    ASSERT_EQ("9000", swText(card.transmitSw(authenticatePin(1, "1234"))));
    auto before = authState(card);
    ASSERT_TRUE(before.has_value());
    EXPECT_NE(0, *before);
    Bytes sessionPin = card.transmit(fromHex("80 2E 01 00 08"));
    ASSERT_EQ("9000", swText(bench::PcscCard::statusWord(sessionPin)));
    sessionPin = body(sessionPin);
    ASSERT_EQ(8u, sessionPin.size());

    bench().resetCard(GetParam());

    Bytes response;
    EXPECT_EQ(static_cast<std::uint32_t>(SCARD_W_RESET_CARD), card.tryTransmit(SELECT_FERRIX, response));
    auto again = client.connect(bench().reader(GetParam()).name);
    ASSERT_EQ("9000", swText(again.transmitSw(SELECT_FERRIX)));
    EXPECT_EQ(std::optional<std::uint8_t>(0), authState(again));
    EXPECT_NE("9000", swText(again.transmitSw(withData(fromHex("80 20 01 02"), sessionPin))));
}

INSTANTIATE_TEST_SUITE_P(Readers, PresenceOnEachReader, ::testing::Values(VPCD_READER, PLAIN_READER),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == VPCD_READER ? "vpcd" : "driver";
                         });

TEST_F(Presence, ControlSocketRemovalIsSeenAndTheCardComesBack) {
    auto control = bench().insert(PLAIN_READER, image());
    control.remove();
    EXPECT_TRUE(bench().waitForCard(PLAIN_READER, false));
    EXPECT_FALSE(control.inserted());
    control.insert();
    EXPECT_TRUE(bench().waitForCard(PLAIN_READER, true));
    bench::PcscClient client;
    auto card = client.connect(bench().reader(PLAIN_READER).name);
    EXPECT_EQ("9000", swText(card.transmitSw(SELECT_FERRIX)));
}

// The driver holds a dropped reader empty until pcscd has seen it so, so an
// immediate reinsertion is still two card events and invalidates the old
// handle. (pcsc-lite counts card events in the upper 16 bits of the state.)
TEST_F(Presence, ImmediateReinsertionIsNotMissed) {
    auto control = bench().insert(PLAIN_READER, image());
    bench::PcscClient client;
    std::string name = bench().reader(PLAIN_READER).name;
    auto card = client.connect(name);
    ASSERT_EQ("9000", swText(card.transmitSw(SELECT_FERRIX)));
    std::uint32_t eventsBefore = client.readerState(name) >> 16;
    control.remove();
    control.insert();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::uint32_t state = client.readerState(name);
    while (((state >> 16) < eventsBefore + 2 || !(state & SCARD_STATE_PRESENT)) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        state = client.readerState(name);
    }
    EXPECT_LE(eventsBefore + 2, state >> 16);
    EXPECT_NE(0u, state & SCARD_STATE_PRESENT);
    Bytes response;
    EXPECT_EQ(static_cast<std::uint32_t>(SCARD_W_REMOVED_CARD), card.tryTransmit(SELECT_FERRIX, response));
}

TEST_F(Presence, RestartWithAnotherReaderSetListsOnlyTheNewReaders) {
    bench::BenchConfig withoutPlain;
    withoutPlain.readers = {{PINPAD_READER, bench::ReaderSpec::Kind::PINPAD}};
    bench().restart(withoutPlain);
    {
        bench::PcscClient client;
        auto names = client.readers();
        EXPECT_EQ(3u, names.size());
        for (const auto& n : names) EXPECT_EQ(std::string::npos, n.find(PLAIN_READER)) << n;
    }
    bench::BenchConfig full;
    full.readers = {{PINPAD_READER, bench::ReaderSpec::Kind::PINPAD}, {PLAIN_READER, bench::ReaderSpec::Kind::PLAIN}};
    bench().restart(full);
    bench::PcscClient client;
    EXPECT_EQ(4u, client.readers().size());
}

TEST_F(Presence, InsertedCardReconnectsAfterAPcscdRestart) {
    bench().insert(PLAIN_READER, image());
    bench().stopPcscd();
    bench().startPcscd();
    EXPECT_TRUE(bench().waitForCard(PLAIN_READER, true));
    bench::PcscClient client;
    auto card = client.connect(bench().reader(PLAIN_READER).name);
    EXPECT_EQ("9000", swText(card.transmitSw(SELECT_FERRIX)));
}

// Plays a broken card on the driver's port: answers the ATR request with 40
// bytes (more than an ATR may have), then sends bytes nobody asked for.
void misbehaveAsCard(std::uint16_t port) {
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            fd = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ASSERT_GE(fd, 0);
    std::uint8_t buf[512];
    for (int frames = 0; frames < 10; ++frames) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        const std::uint8_t atrRequest[] = {0x00, 0x01, 0x04};
        if (std::search(buf, buf + n, atrRequest, atrRequest + 3) != buf + n) {
            std::uint8_t atr[42] = {0x00, 40, 0x3B};
            ::send(fd, atr, sizeof atr, MSG_NOSIGNAL);
            break;
        }
    }
    std::uint8_t junk[] = {0xFF, 0xFF, 0x00, 0x01};
    ::send(fd, junk, sizeof junk, MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::close(fd);
}

TEST_F(Presence, DriverSurvivesACardThatBreaksTheProtocol) {
    misbehaveAsCard(bench().reader(PLAIN_READER).port);
    EXPECT_TRUE(bench().waitForCard(PLAIN_READER, false));
    bench().insert(PLAIN_READER, image());
    bench::PcscClient client;
    auto card = client.connect(bench().reader(PLAIN_READER).name);
    EXPECT_EQ("9000", swText(card.transmitSw(SELECT_FERRIX)));
}

}  // namespace
}  // namespace benchtest
