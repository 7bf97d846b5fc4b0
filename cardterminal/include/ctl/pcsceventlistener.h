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
    // happened in time and 0x80100002 after cancel(). A stopped service is
    // waited for and the wait goes on with a new context.
    Event wait(std::uint32_t timeout);
    // Wakes a blocked wait; this and every later wait end with CtlException
    // 0x80100002. Safe to call from another thread.
    void cancel();

    // Inspection for callers' diagnostics and tests.
    std::size_t queuedEventCount() const noexcept { return eventQueue.size(); }
    std::vector<std::wstring> watchedReaders() const;

    static const wchar_t* eventTypeName(std::uint32_t type) noexcept;

private:
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
};

}  // namespace ctl
