// The reader event listener against the real pcscd: card events, reader
// events across a daemon restart, and cancel from another thread.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <functional>
#include <future>
#include <thread>

#include <signal.h>

#include "ctl/ctlexception.h"
#include "ctl/pcsceventlistener.h"
#include "logger.h"
#include "pcscbench.h"

namespace ctlpcsc {
namespace {

using ctl::CtlException;
using Listener = ctl::PcScEventListener;
using namespace std::chrono_literals;

constexpr std::uint32_t FOREVER = 0xFFFFFFFF;

std::uint32_t errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CtlException& e) {
        return e.error;
    }
    return 0;
}

// Waits on another thread so that a broken listener fails the test instead of
// hanging it.
Listener::Event waitWithin(Listener& listener, std::chrono::seconds limit) {
    auto pending = std::async(std::launch::async, [&] { return listener.wait(FOREVER); });
    if (pending.wait_for(limit) != std::future_status::ready) {
        listener.cancel();
        pending.wait();
        throw std::runtime_error("no event in time");
    }
    return pending.get();
}

std::string describe(const Listener::Event& e) {
    return std::to_string(e.type) + " " + std::string(e.reader.getNameString().begin(),
                                                      e.reader.getNameString().end());
}

std::size_t logSize() {
    std::ifstream in(Logger::instance().getFileName(), std::ios::binary | std::ios::ate);
    return in ? static_cast<std::size_t>(in.tellg()) : 0;
}

std::string logSince(std::size_t offset) {
    std::ifstream in(Logger::instance().getFileName(), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string s = all.str();
    return offset < s.size() ? s.substr(offset) : std::string();
}

class PcscEventListener : public PcscBenchSuite {
protected:
    // Discards the events of the current state (cards already present).
    static void drain(Listener& listener) {
        for (;;) {
            try {
                listener.wait(0);
            } catch (const CtlException& e) {
                if (e.error == 0x8010000A) return;
                throw;
            }
        }
    }
};

TEST_F(PcscEventListener, FirstEventsAreTheCardsAlreadyPresentInReaderOrder) {
    ensureCard(vpcdReader(0));
    ensureCard(pinPadReader());
    ensureNoCard(vpcdReader(1));
    Listener listener;
    // The listener watches the readers in list order; cards come in that order.
    std::vector<std::wstring> expected;
    for (const auto& name : listener.watchedReaders())
        if (name == wide(vpcdReader(0)) || name == wide(pinPadReader())) expected.push_back(name);
    std::vector<std::wstring> got;
    for (int i = 0; i < 2; ++i) {
        auto e = waitWithin(listener, 5s);
        EXPECT_EQ(Listener::CARD_INSERTED, e.type) << describe(e);
        got.push_back(e.reader.getNameString());
    }
    EXPECT_EQ(expected, got);
    EXPECT_EQ(0x8010000Au, errorOf([&] { listener.wait(0); }));
}

TEST_F(PcscEventListener, InsertionAndRemovalAreReported) {
    const std::string reader = vpcdReader(1);
    ensureNoCard(reader);
    Listener listener;
    drain(listener);
    ensureCard(reader);
    auto inserted = waitWithin(listener, 5s);
    EXPECT_EQ(Listener::CARD_INSERTED, inserted.type);
    EXPECT_EQ(wide(reader), inserted.reader.getNameString());
    ensureNoCard(reader);
    auto removed = waitWithin(listener, 5s);
    EXPECT_EQ(Listener::CARD_REMOVED, removed.type);
    EXPECT_EQ(wide(reader), removed.reader.getNameString());
}

TEST_F(PcscEventListener, CancelFromAnotherThreadWakesABlockedWait) {
    Listener listener;
    drain(listener);
    auto pending = std::async(std::launch::async, [&] { return errorOf([&] { listener.wait(FOREVER); }); });
    std::this_thread::sleep_for(200ms);  // let the wait block in the service
    listener.cancel();
    ASSERT_EQ(std::future_status::ready, pending.wait_for(5s));
    EXPECT_EQ(0x80100002u, pending.get());
}

TEST_F(PcscEventListener, RestartWithOtherReadersGivesReaderEventsAndIsSurvivedInAWait) {
    ensureCard(vpcdReader(0));
    Listener listener;
    drain(listener);
    const std::wstring pinPad = wide(pinPadReader());

    // The daemon goes away while the listener blocks, and comes back without
    // the pin-pad reader but with a new plain reader.
    // Card events may come along (the daemon's readers start empty and the
    // served card reconnects); the two reader events must be among them.
    auto pending = std::async(std::launch::async, [&] {
        std::vector<Listener::Event> events;
        int readerEvents = 0;
        while (readerEvents < 2 && events.size() < 8) {
            events.push_back(listener.wait(FOREVER));
            if (events.back().type == Listener::READER_CONNECTED ||
                events.back().type == Listener::READER_DISCONNECTED)
                ++readerEvents;
        }
        return events;
    });
    std::this_thread::sleep_for(200ms);
    const std::size_t logBefore = logSize();
    bench::BenchConfig config;
    config.readers = {{"Zentrik Plain", bench::ReaderSpec::Kind::PLAIN}};
    theBench().restart(config);

    ASSERT_EQ(std::future_status::ready, pending.wait_for(15s)) << "the wait did not survive the restart";
    const auto events = pending.get();
    std::wstring plain;
    for (const auto& r : theBench().readers())
        if (r.name.rfind("Zentrik Plain", 0) == 0) plain = wide(r.name);
    ASSERT_FALSE(plain.empty());
    bool sawDisconnect = false;
    bool sawConnect = false;
    for (const auto& e : events) {
        if (e.type == Listener::READER_DISCONNECTED && e.reader.getNameString() == pinPad) sawDisconnect = true;
        if (e.type == Listener::READER_CONNECTED && e.reader.getNameString() == plain) sawConnect = true;
    }
    EXPECT_NE(std::string::npos, logSince(logBefore).find("Service stopped. Waiting on single object ..."))
        << "the restart was not seen as a stopped service";
    std::string all;
    for (const auto& e : events) all += describe(e) + "; ";
    EXPECT_TRUE(sawDisconnect) << all;
    EXPECT_TRUE(sawConnect) << all;
    auto watched = listener.watchedReaders();
    EXPECT_EQ(watched.end(), std::find(watched.begin(), watched.end(), pinPad));
    EXPECT_NE(watched.end(), std::find(watched.begin(), watched.end(), plain));

    // The listener keeps working on the new daemon: a card in the new reader.
    drain(listener);
    theBench().insert(theBench().reader("Zentrik Plain").name, image());
    auto inserted = waitWithin(listener, 5s);
    EXPECT_EQ(Listener::CARD_INSERTED, inserted.type);
    EXPECT_EQ(plain, inserted.reader.getNameString());
}

TEST_F(PcscEventListener, GracefulDaemonStopDuringAWaitIsSurvived) {
    // SIGINT makes pcscd remove its readers before it goes: the blocked wait
    // first hears that the number of readers changed, while the daemon is
    // already refusing new contexts, and only then loses its connection.
    ensureNoCard(vpcdReader(1));
    Listener listener;
    drain(listener);
    const std::vector<std::wstring> before = listener.watchedReaders();
    auto pending = std::async(std::launch::async, [&] {
        std::vector<Listener::Event> events;
        for (;;) {
            events.push_back(listener.wait(FOREVER));
            if (events.back().type == Listener::CARD_INSERTED &&
                events.back().reader.getNameString() == wide(vpcdReader(1)))
                return events;
        }
    });
    std::this_thread::sleep_for(200ms);
    const pid_t pcscd = theBench().pcscdPid();
    ASSERT_GT(pcscd, 0);
    ASSERT_EQ(0, ::kill(pcscd, SIGINT));
    std::this_thread::sleep_for(1500ms);
    theBench().stopPcscd();  // reaps it (and ends it should SIGINT not have)
    theBench().startPcscd();
    // A wait that failed instead of surviving has its exception ready by now.
    if (pending.wait_for(500ms) == std::future_status::ready) {
        std::vector<Listener::Event> early;
        ASSERT_NO_THROW(early = pending.get()) << "the wait did not survive the graceful stop";
        FAIL() << "the wait ended before the card was inserted";
    }
    theBench().insert(vpcdReader(1), image());
    if (pending.wait_for(15s) != std::future_status::ready) {
        listener.cancel();
        pending.wait();
        FAIL() << "no event after the restart";
    }
    std::vector<Listener::Event> events;
    ASSERT_NO_THROW(events = pending.get()) << "the wait did not survive the graceful stop";
    EXPECT_EQ(Listener::CARD_INSERTED, events.back().type);
    EXPECT_EQ(before, listener.watchedReaders());
    theBench().remove(vpcdReader(1));
}

}  // namespace
}  // namespace ctlpcsc
