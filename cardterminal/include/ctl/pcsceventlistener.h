// Turns the PC/SC service's state changes into a queue of discrete events:
// card inserted or removed, reader connected or disconnected.
//
// The state array mirrors what the service last reported: entry 0 is the
// pseudo-reader through which the service announces that readers came or
// went, entries 1.. are the real readers in list order. Every entry starts
// "unaware", so the first wait reports a card already in a reader as
// inserted.
//
// One thread waits at a time; cancel() is the only call meant to run on
// another thread while a wait blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <vector>

#include "ctl/pcscapi.h"
#include "ctl/pcscreader.h"

namespace ctl {

class PcScEventListener {
public:
    enum EventType : std::uint32_t {
        CARD_INSERTED = 1,
        CARD_REMOVED = 2,
        READER_CONNECTED = 3,
        READER_DISCONNECTED = 4
    };

    struct Event {
        PcScReader reader;
        EventType type;
    };

    // Establishes the listener's context and lists the readers; throws
    // CtlException when the service refuses.
    PcScEventListener();
    explicit PcScEventListener(PcScApi& api);
    ~PcScEventListener();
    PcScEventListener(const PcScEventListener&) = delete;
    PcScEventListener& operator=(const PcScEventListener&) = delete;

    // The next event. `timeout` in milliseconds goes to the service as it is
    // (0xFFFFFFFF: no limit). Throws CtlException 0x8010000A when nothing
    // happened in time and 0x80100002 after cancel(). An endless wait waits
    // for a stopped service and goes on with a new context; any other wait
    // answers 0x8010000A at once and leaves the new context to a later wait.
    Event wait(std::uint32_t timeout);
    // Wakes a blocked wait; this and every later wait end with CtlException
    // 0x80100002. Safe to call from another thread.
    //
    // A cancelled listener is single-use: it never waits again, and its owner
    // (the slot table, at finalisation) discards it; a new initialisation
    // makes a new listener. The cancel is kept rather than consumed by the
    // wait in progress because the waiter may not have reached the service
    // yet when it lands: a one-shot cancel would then be lost and the
    // finalising caller's waiter would block for ever.
    void cancel();

    // Inspection for callers' diagnostics and tests.
    std::size_t queuedEventCount() const noexcept { return eventQueue.size(); }
    std::vector<std::wstring> watchedReaders() const;

    static const wchar_t* eventTypeName(std::uint32_t type) noexcept;

private:
    // Makes a new context when the old one died, and re-lists the readers
    // when a change is pending. With mayWaitForService a stopped service is
    // waited for; without, false when the service is not there.
    bool catchUpWithService(bool mayWaitForService);
    // Re-lists the readers; only a listing that succeeds settles the change.
    void resynchronizeReaders();
    void dropContext() noexcept;
    void handleNumOfReadersChanged();
    void handleServiceStopped(std::uint32_t result);
    void collectCardEvents();
    void appendReaderEntry(const std::wstring& name);
    void queue(const std::wstring& readerName, EventType type);

    PcScApi& api;
    std::atomic<PcScContext> context{0};
    std::deque<Event> eventQueue;
    std::vector<PcScReaderState> readerStates;
    std::atomic<bool> cancelRequested{false};
    // The service announced a change of readers that is not yet listed.
    bool readerListStale = false;
};

}  // namespace ctl
