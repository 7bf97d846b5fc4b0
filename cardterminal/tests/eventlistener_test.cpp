#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "ctl/ctlexception.h"
#include "ctl/pcsceventlistener.h"
#include "fakepcscapi.h"
#include "logcapture.h"

namespace ctl {
namespace {

using testing::FakePcScApi;
using testing::LogCapture;
using testing::StatusAnswer;
using Listener = PcScEventListener;

constexpr std::uint32_t PRESENT = PcScState::PRESENT | PcScState::CHANGED;
constexpr std::uint32_t EMPTY = 0x10 | PcScState::CHANGED;
const std::wstring PNP = PNP_NOTIFICATION_READER;

std::uint32_t errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CtlException& e) {
        return e.error;
    }
    return 0;
}

TEST(EventListener, FirstWaitsReportCardsAlreadyPresentInReaderOrder) {
    FakePcScApi api;
    api.readers = {L"A", L"B"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", PRESENT}, {L"B", PRESENT}}});
    auto first = listener.wait(0xFFFFFFFF);
    EXPECT_EQ(Listener::CARD_INSERTED, first.type);
    EXPECT_EQ(std::wstring(L"A"), first.reader.getNameString());
    auto second = listener.wait(0xFFFFFFFF);
    EXPECT_EQ(Listener::CARD_INSERTED, second.type);
    EXPECT_EQ(std::wstring(L"B"), second.reader.getNameString());
    EXPECT_EQ(1u, api.statusChangeTimeouts.size());
    EXPECT_EQ((std::vector<std::wstring>{PNP, L"A", L"B"}), api.statusChangeReaders[0]);
}

TEST(EventListener, EndlessWaitBlocksInSlicesUntilAnEventArrives) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::TIMEOUT, {}});
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::TIMEOUT, {}});
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", PRESENT}}});
    EXPECT_EQ(Listener::CARD_INSERTED, listener.wait(0xFFFFFFFF).type);
    ASSERT_EQ(3u, api.statusChangeTimeouts.size());
    for (std::uint32_t timeout : api.statusChangeTimeouts) {
        EXPECT_GT(timeout, 0u);
        EXPECT_LT(timeout, 0xFFFFFFFFu);
    }
}

TEST(EventListener, CancelForgottenByTheServiceEndsAnEndlessWaitAtTheNextSlice) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    // The cancel lands while the service is not yet blocking, so the service
    // itself answers only with the end of the slice.
    api.onStatusChange = [&] { listener.cancel(); };
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::TIMEOUT, {}});
    EXPECT_EQ(0x80100002u, errorOf([&] { listener.wait(0xFFFFFFFF); }));
    EXPECT_EQ(1u, api.statusChangeTimeouts.size());
}

TEST(EventListener, NonBlockingWaitWithNothingNewTimesOut) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::TIMEOUT, {}});
    EXPECT_EQ(0x8010000Au, errorOf([&] { listener.wait(0); }));
    EXPECT_EQ(0u, api.statusChangeTimeouts.at(0));
}

TEST(EventListener, RemovalFollowsInsertion) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", PRESENT}}});
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", EMPTY}}});
    EXPECT_EQ(Listener::CARD_INSERTED, listener.wait(1000).type);
    LogCapture log;
    EXPECT_EQ(Listener::CARD_REMOVED, listener.wait(1000).type);
    EXPECT_TRUE(log.contains("Card removed from A")) << log.text();
    EXPECT_TRUE(log.contains("reader_event = [event = ctl::PcScEventListener::CARD_REMOVED, reader = A]"))
        << log.text();
}

TEST(EventListener, ChangesWithoutPresenceChangeQueueNothing) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", EMPTY}}});
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", PRESENT}}});
    EXPECT_EQ(Listener::CARD_INSERTED, listener.wait(1000).type);
    EXPECT_EQ(2u, api.statusChangeTimeouts.size());
}

TEST(EventListener, ReaderUnpluggedAndPluggedGiveReaderEventsAfterCardEvents) {
    FakePcScApi api;
    api.readers = {L"A", L"B", L"C"};
    Listener listener(api);
    // B goes away, D arrives; in the same report a card appears in C.
    api.readers = {L"A", L"C", L"D"};
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{PNP, 0x00030002}, {L"C", PRESENT}}});
    auto e1 = listener.wait(0xFFFFFFFF);
    auto e2 = listener.wait(0xFFFFFFFF);
    auto e3 = listener.wait(0xFFFFFFFF);
    EXPECT_EQ(Listener::CARD_INSERTED, e1.type);
    EXPECT_EQ(std::wstring(L"C"), e1.reader.getNameString());
    EXPECT_EQ(Listener::READER_DISCONNECTED, e2.type);
    EXPECT_EQ(std::wstring(L"B"), e2.reader.getNameString());
    EXPECT_EQ(Listener::READER_CONNECTED, e3.type);
    EXPECT_EQ(std::wstring(L"D"), e3.reader.getNameString());
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"C", L"D"}), listener.watchedReaders());
    // The new reader's card shows up on the next wait that asks the service.
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"D", PRESENT}}});
    auto e4 = listener.wait(0xFFFFFFFF);
    EXPECT_EQ(Listener::CARD_INSERTED, e4.type);
    EXPECT_EQ(std::wstring(L"D"), e4.reader.getNameString());
    EXPECT_EQ((std::vector<std::wstring>{PNP, L"A", L"C", L"D"}), api.statusChangeReaders.back());
}

TEST(EventListener, ReaderTheServiceNoLongerKnowsIsDisconnected) {
    FakePcScApi api;
    api.readers = {L"A", L"B"};
    Listener listener(api);
    api.readers = {L"A", L"X"};
    api.statusChangeAnswers.push_back(
        StatusAnswer{0, {{L"B", PcScState::UNKNOWN | PcScState::CHANGED}}});
    EXPECT_EQ(Listener::READER_DISCONNECTED, listener.wait(0xFFFFFFFF).type);
    EXPECT_EQ(Listener::READER_CONNECTED, listener.wait(0xFFFFFFFF).type);
}

TEST(EventListener, CancelledServiceWaitEndsWithCancelled) {
    FakePcScApi api;
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::CANCELLED, {}});
    EXPECT_EQ(0x80100002u, errorOf([&] { listener.wait(0xFFFFFFFF); }));
}

TEST(EventListener, InvalidParameterFromTheWaitCountsAsCancelled) {
    FakePcScApi api;
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::INVALID_PARAMETER, {}});
    EXPECT_EQ(0x80100002u, errorOf([&] { listener.wait(0xFFFFFFFF); }));
}

TEST(EventListener, OtherFailuresPassOnAndQueuedEventsStay) {
    FakePcScApi api;
    api.readers = {L"A", L"B"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", PRESENT}, {L"B", PRESENT}}});
    listener.wait(0);
    EXPECT_EQ(1u, listener.queuedEventCount());
    EXPECT_EQ(Listener::CARD_INSERTED, listener.wait(0).type);
    api.statusChangeAnswers.push_back(StatusAnswer{0x80100017, {}});
    EXPECT_EQ(0x80100017u, errorOf([&] { listener.wait(0); }));
}

TEST(EventListener, CancelBeforeTheWaitIsNotLost) {
    FakePcScApi api;
    Listener listener(api);
    listener.cancel();
    EXPECT_EQ(0x80100002u, errorOf([&] { listener.wait(0xFFFFFFFF); }));
    EXPECT_TRUE(api.statusChangeTimeouts.empty());
}

TEST(EventListener, ServiceStopIsSurvivedWithANewContext) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::COMM_ERROR, {}});
    api.establishResults = {PcScResult::NO_SERVICE, PcScResult::SHUTDOWN};
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", PRESENT}}});
    LogCapture log;
    auto e = listener.wait(0xFFFFFFFF);
    EXPECT_EQ(Listener::CARD_INSERTED, e.type);
    EXPECT_EQ(3u, api.serviceWaits);
    EXPECT_EQ(1, api.openContexts);
    EXPECT_TRUE(log.contains("Service stopped. Waiting on single object ...")) << log.text();
}

TEST(EventListener, ServiceRestartWithOtherReadersReportsThem) {
    FakePcScApi api;
    api.readers = {L"A", L"B"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::SERVICE_STOPPED_ERROR, {}});
    api.readers = {L"A", L"C"};
    auto e1 = listener.wait(0xFFFFFFFF);
    auto e2 = listener.wait(0xFFFFFFFF);
    EXPECT_EQ(Listener::READER_DISCONNECTED, e1.type);
    EXPECT_EQ(std::wstring(L"B"), e1.reader.getNameString());
    EXPECT_EQ(Listener::READER_CONNECTED, e2.type);
    EXPECT_EQ(std::wstring(L"C"), e2.reader.getNameString());
}

TEST(EventListener, ReadersRemovedByAStoppingServiceAreSurvivedAsAServiceStop) {
    // A daemon stopped gracefully first announces that its readers changed,
    // then refuses the listing that follows because it is shutting down.
    FakePcScApi api;
    api.readers = {L"A", L"B"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(
        StatusAnswer{0, {{PNP_NOTIFICATION_READER, PcScState::CHANGED}, {L"A", 0x10}}});
    api.establishResults = {PcScResult::SHUTDOWN, PcScResult::NO_SERVICE};
    api.readers = {L"A", L"C"};
    LogCapture log;
    auto e1 = listener.wait(0xFFFFFFFF);
    auto e2 = listener.wait(0xFFFFFFFF);
    EXPECT_EQ(Listener::READER_DISCONNECTED, e1.type);
    EXPECT_EQ(std::wstring(L"B"), e1.reader.getNameString());
    EXPECT_EQ(Listener::READER_CONNECTED, e2.type);
    EXPECT_EQ(std::wstring(L"C"), e2.reader.getNameString());
    EXPECT_EQ(2u, api.serviceWaits);
    EXPECT_EQ(1, api.openContexts);
    EXPECT_TRUE(log.contains("Service stopped. Waiting on single object ...")) << log.text();
}

TEST(EventListener, ContextRefusedForAnotherReasonEndsTheWait) {
    FakePcScApi api;
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::COMM_ERROR, {}});
    api.establishResults = {0x80100006};  // no memory
    EXPECT_EQ(0x80100006u, errorOf([&] { listener.wait(0xFFFFFFFF); }));
}

TEST(EventListener, FailedServiceWaitThrowsTheStatusResult) {
    FakePcScApi api;
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::SERVICE_STOPPED_ERROR, {}});
    api.serviceWaitResult = 0xFFFFFFFF;
    EXPECT_EQ(0x8010001Eu, errorOf([&] { listener.wait(0xFFFFFFFF); }));
}

TEST(EventListener, CancelFromAnotherThreadWakesABlockedWait) {
    FakePcScApi api;
    Listener listener(api);
    std::atomic<bool> waiting{false};
    api.onStatusChange = [&] {
        waiting = true;
        while (api.cancelCalls.load() == 0) std::this_thread::yield();
    };
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::CANCELLED, {}});
    std::uint32_t result = 0;
    std::thread waiter([&] { result = errorOf([&] { listener.wait(0xFFFFFFFF); }); });
    while (!waiting.load()) std::this_thread::yield();
    listener.cancel();
    waiter.join();
    EXPECT_EQ(0x80100002u, result);
}

TEST(EventListener, CancelWhileWaitingForTheServiceEndsTheWait) {
    FakePcScApi api;
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::COMM_ERROR, {}});
    api.establishResult = PcScResult::NO_SERVICE;  // the service never comes back
    std::uint32_t result = 0;
    std::thread waiter([&] { result = errorOf([&] { listener.wait(0xFFFFFFFF); }); });
    while (api.serviceWaits.load() < 3) std::this_thread::yield();
    listener.cancel();
    waiter.join();
    EXPECT_EQ(0x80100002u, result);
}

TEST(EventListener, NonBlockingWaitDoesNotWaitForAStoppedService) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::SERVICE_STOPPED_ERROR, {}});
    // Were the service waited for, it would be back after one refused context.
    api.establishResults = {PcScResult::NO_SERVICE};
    EXPECT_EQ(0x8010000Au, errorOf([&] { listener.wait(0); }));
    EXPECT_EQ(0u, api.serviceWaits.load());
    EXPECT_EQ(0, api.openContexts);
    // Still down at the next non-blocking wait: the same answer, no waiting.
    EXPECT_EQ(0x8010000Au, errorOf([&] { listener.wait(0); }));
    EXPECT_EQ(0u, api.serviceWaits.load());
    // Back with another reader: the next wait makes a new context and reports it.
    api.readers = {L"A", L"B"};
    auto e = listener.wait(0);
    EXPECT_EQ(Listener::READER_CONNECTED, e.type);
    EXPECT_EQ(std::wstring(L"B"), e.reader.getNameString());
    EXPECT_EQ(0u, api.serviceWaits.load());
    EXPECT_EQ(1, api.openContexts);
}

TEST(EventListener, BlockingWaitAfterAServiceStopSeenWithoutBlockingWaitsForTheService) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::SERVICE_STOPPED_ERROR, {}});
    EXPECT_EQ(0x8010000Au, errorOf([&] { listener.wait(0); }));
    api.establishResults = {PcScResult::NO_SERVICE};
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", PRESENT}}});
    EXPECT_EQ(Listener::CARD_INSERTED, listener.wait(0xFFFFFFFF).type);
    EXPECT_EQ(2u, api.serviceWaits.load());
    EXPECT_EQ(1, api.openContexts);
}

TEST(EventListener, EndlessWaitIsLoggedOnceNotPerSlice) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    for (int i = 0; i < 3; ++i) api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::TIMEOUT, {}});
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", PRESENT}}});
    LogCapture log;
    EXPECT_EQ(Listener::CARD_INSERTED, listener.wait(0xFFFFFFFF).type);
    EXPECT_EQ(4u, api.statusChangeTimeouts.size());
    const std::string text = log.text();
    auto count = [&](const std::string& needle) {
        std::size_t n = 0;
        for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(1u, count("SCardGetStatusChangeW() may block...")) << text;
    EXPECT_EQ(1u, count("SCardGetStatusChangeW(context, static_cast<DWORD>(timeout)")) << text;
    EXPECT_EQ(1u, count("return value: 0x00000000")) << text;
}

TEST(EventListener, FailedReaderListingKeepsTheReaderChangeForTheNextWait) {
    FakePcScApi api;
    api.readers = {L"A"};
    Listener listener(api);
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{PNP, PcScState::CHANGED}}});
    api.readers = {L"A", L"B"};
    api.listResult = 0x80100006;  // no memory
    EXPECT_EQ(0x80100006u, errorOf([&] { listener.wait(0); }));
    api.listResult = PcScResult::SUCCESS;
    auto e = listener.wait(0);
    EXPECT_EQ(Listener::READER_CONNECTED, e.type);
    EXPECT_EQ(std::wstring(L"B"), e.reader.getNameString());
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), listener.watchedReaders());
}

TEST(EventListener, DestructorReleasesTheContext) {
    FakePcScApi api;
    api.readers = {L"A"};
    {
        Listener listener(api);
        EXPECT_EQ(1, api.openContexts);
    }
    EXPECT_EQ(0, api.openContexts);
}

TEST(EventListener, ConstructionFailsWhenTheServiceRefusesAContext) {
    FakePcScApi api;
    api.establishResult = PcScResult::NO_SERVICE;
    EXPECT_EQ(0x8010001Du, errorOf([&] { Listener listener(api); }));
}

}  // namespace
}  // namespace ctl
