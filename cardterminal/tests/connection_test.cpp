#include <gtest/gtest.h>

#include <memory>

#include "ctl/ctlexception.h"
#include "ctl/lockablepcsccardconnection.h"
#include "fakepcscapi.h"
#include "logcapture.h"

namespace ctl {
namespace {

using testing::Bytes;
using testing::FakePcScApi;
using testing::LogCapture;

std::unique_ptr<LockablePcScCardConnection> connectTo(FakePcScApi& api,
                                                      CardConnection::Mode mode = CardConnection::MODE_SHARED,
                                                      CardConnection::Protocol protocol =
                                                          CardConnection::PROTOCOL_T0_OR_T1) {
    return std::make_unique<LockablePcScCardConnection>(PcScReader(L"Reader 0"), mode, protocol, api);
}

std::uint32_t errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CtlException& e) {
        return e.error;
    }
    return 0;
}

TEST(LockableConnection, ConnectsSharedWithTheRequestedProtocolsAndKeepsTheAtr) {
    FakePcScApi api;
    api.cardAtr = {0x3B, 0xF8, 0x13, 0x00, 0x00, 0x81, 0x31, 0xFE};
    auto c = connectTo(api);
    EXPECT_EQ((std::vector<std::uint32_t>{2}), api.shareModes);
    EXPECT_EQ((std::vector<std::uint32_t>{3}), api.preferredProtocols);
    EXPECT_EQ(api.cardAtr, Bytes(c->getAtr(), c->getAtr() + c->getAtrLength()));
    EXPECT_FALSE(c->isDisconnected());
}

struct ConnectCase {
    CardConnection::Mode mode;
    std::uint32_t protocol;
    std::uint32_t shareMode;
    std::uint32_t preferred;
};

class ConnectArguments : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectArguments, MapToTheServiceNumbers) {
    FakePcScApi api;
    auto c = connectTo(api, GetParam().mode, static_cast<CardConnection::Protocol>(GetParam().protocol));
    EXPECT_EQ(GetParam().shareMode, api.shareModes.at(0));
    EXPECT_EQ(GetParam().preferred, api.preferredProtocols.at(0));
}

INSTANTIATE_TEST_SUITE_P(Table, ConnectArguments,
                         ::testing::Values(ConnectCase{CardConnection::MODE_SHARED, 1, 2, 1},
                                           ConnectCase{CardConnection::MODE_EXCLUSIVE, 2, 1, 2},
                                           ConnectCase{CardConnection::MODE_SHARED, 3, 2, 3},
                                           ConnectCase{static_cast<CardConnection::Mode>(9), 0, 2, 0},
                                           ConnectCase{CardConnection::MODE_SHARED, 7, 2, 0}));

TEST(LockableConnection, FailedConnectReleasesItsContext) {
    FakePcScApi api;
    api.connectResult = 0x8010000C;  // no smart card
    EXPECT_EQ(0x8010000Cu, errorOf([&] { connectTo(api); }));
    EXPECT_EQ(0, api.openContexts);
}

TEST(LockableConnection, FailedStatusInConstructionGivesEverythingBack) {
    FakePcScApi api;
    api.statusResults.push_back(0x80100069);
    LogCapture log;
    EXPECT_EQ(0x80100069u, errorOf([&] { connectTo(api); }));
    EXPECT_EQ(0, api.openContexts);
    EXPECT_EQ(1u, api.disconnectDispositions.size());
    EXPECT_TRUE(log.contains("SCardDisconnect(cardHandle, dwDisposition) return value: 0x00000000")) << log.text();
}

TEST(LockableConnection, LockAfterResetFailsAndEndsTheTransaction) {
    FakePcScApi api;
    auto c = connectTo(api);
    api.calls.clear();
    api.statusResults.push_back(0x80100068);
    EXPECT_EQ(0x80100068u, errorOf([&] { c->lock(); }));
    EXPECT_EQ((std::vector<std::string>{"begin", "status", "end"}), api.calls);
    EXPECT_EQ((std::vector<std::uint32_t>{0}), api.endDispositions);
}

TEST(LockableConnection, FailedBeginHoldsNothing) {
    FakePcScApi api;
    auto c = connectTo(api);
    api.calls.clear();
    api.beginResult = 0x80100069;
    EXPECT_EQ(0x80100069u, errorOf([&] { c->lock(); }));
    EXPECT_EQ((std::vector<std::string>{"begin"}), api.calls);
}

struct DispositionCase {
    CardConnection::Disposition disposition;
    std::uint32_t pcsc;
};

class Dispositions : public ::testing::TestWithParam<DispositionCase> {};

TEST_P(Dispositions, MapToTheServiceNumbers) {
    FakePcScApi api;
    auto c = connectTo(api);
    c->lock();
    c->unlock(GetParam().disposition);
    c->disconnect(GetParam().disposition);
    EXPECT_EQ(GetParam().pcsc, api.endDispositions.at(0));
    EXPECT_EQ(GetParam().pcsc, api.disconnectDispositions.at(0));
}

INSTANTIATE_TEST_SUITE_P(Table, Dispositions,
                         ::testing::Values(DispositionCase{CardConnection::LEAVE_CARD, 0},
                                           DispositionCase{CardConnection::RESET_CARD, 1},
                                           DispositionCase{CardConnection::UNPOWER_CARD, 2},
                                           DispositionCase{CardConnection::EJECT_CARD, 3}));

TEST(LockableConnection, UnlockFailureThrows) {
    FakePcScApi api;
    auto c = connectTo(api);
    api.endResult = 0x80100069;
    EXPECT_EQ(0x80100069u, errorOf([&] { c->unlock(CardConnection::LEAVE_CARD); }));
}

TEST(LockableConnection, DisconnectReleasesTheContextBeforeReportingFailure) {
    FakePcScApi api;
    auto c = connectTo(api);
    api.disconnectResult = 0x80100069;
    EXPECT_EQ(0x80100069u, errorOf([&] { c->disconnect(CardConnection::LEAVE_CARD); }));
    EXPECT_TRUE(c->isDisconnected());
    EXPECT_EQ(0, api.openContexts);
    c.reset();  // no second disconnect
    EXPECT_EQ(1u, api.disconnectDispositions.size());
}

TEST(LockableConnection, DestructorSwallowsAFailingDisconnectAndLogsIt) {
    FakePcScApi api;
    auto c = connectTo(api);
    api.disconnectResult = 0x80100017;
    LogCapture log;
    EXPECT_NO_THROW(c.reset());
    EXPECT_EQ((std::vector<std::uint32_t>{0}), api.disconnectDispositions);
    EXPECT_EQ(0, api.openContexts);
    EXPECT_TRUE(log.contains("EXCEPTION CAUGHT SCard error 0x80100017")) << log.text();
}

TEST(LockableConnection, IsValidFollowsTheCardStatus) {
    FakePcScApi api;
    auto c = connectTo(api);
    EXPECT_TRUE(c->isValid());
    api.statusResults.push_back(0x80100068);
    EXPECT_FALSE(c->isValid());
    c->disconnect(CardConnection::LEAVE_CARD);
    EXPECT_FALSE(c->isValid());
}

TEST(LockableConnection, ReattachToTheSameHandleAsksNothing) {
    FakePcScApi api;
    auto c = connectTo(api);
    const auto before = api.calls.size();
    c->reattach(1001, 77);
    EXPECT_EQ(before, api.calls.size());
}

}  // namespace
}  // namespace ctl
