// What a test can steer and observe on a served card, shared between the
// card's I/O thread and the control socket's thread; every member is guarded
// by one mutex.
#pragma once

#include "pinpad.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace cardsim::serve {

// One exchanged command. Only the header and the lengths are kept: command
// data may carry PINs and keys, and the trace is read by anybody who can
// reach the control socket.
struct TraceRecord {
    std::uint64_t sequence = 0;
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    std::size_t commandLength = 0;
    std::size_t responseLength = 0;  // data bytes, status word excluded
    std::uint16_t sw = 0;
    bool injected = false;           // answered by an injected status word
    // The whole command, kept only while capture is switched on (benchmarks
    // replay it); empty otherwise.
    std::vector<std::uint8_t> command;
};

class ControlState {
public:
    // Keypad script, consumed front first by pin-pad operations.
    void pushKeypad(KeypadEntry entry);
    void clearKeypad();
    std::optional<KeypadEntry> peekKeypad() const;
    // The front entry once there is one, waiting for it up to `timeout` (a
    // person typing while the reader shows its prompt); nullopt when the time
    // runs out or the card is to be taken out meanwhile.
    std::optional<KeypadEntry> waitKeypad(std::chrono::milliseconds timeout) const;
    void popKeypad();
    std::size_t keypadSize() const;

    // Simulated transmission time: a fixed delay per APDU and a delay per
    // byte of command and response.
    void setLatency(std::chrono::microseconds perApdu, std::chrono::microseconds perByte);
    std::chrono::microseconds delayFor(std::size_t bytes) const;

    // The nth command with this INS, counted from now (1 = the next one), is
    // answered with sw without reaching the card. REMOVAL (never a status
    // word a card sends) instead takes the card out of the reader before that
    // command reaches it: the command gets no answer.
    static constexpr std::uint16_t REMOVAL = 0x0000;
    void inject(std::uint8_t ins, unsigned nth, std::uint16_t sw);
    std::optional<std::uint16_t> takeInjection(std::uint8_t ins);
    // Forgets the injections that have not fired yet.
    void clearInjections();

    void record(const std::vector<std::uint8_t>& apdu, std::size_t responseLength, std::uint16_t sw, bool injected);
    std::vector<TraceRecord> trace() const;
    std::map<std::uint8_t, std::uint64_t> counters() const;
    void clearStatistics();
    // Whether the trace keeps whole commands from now on. Off by default:
    // command data carries PINs and session PINs.
    void setCapture(bool on);

    // Presence: the control side asks, the I/O thread performs and reports.
    void requestInserted(bool inserted);
    bool insertedRequested() const;
    void reportConnected(bool connected);
    bool connected() const;
    bool waitConnected(bool connected, std::chrono::milliseconds timeout) const;

private:
    struct Injection {
        std::uint8_t ins;
        unsigned remaining;
        std::uint16_t sw;
    };
    static constexpr std::size_t MAX_TRACE = 100000;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<KeypadEntry> keypad_;
    std::chrono::microseconds perApdu_{0};
    std::chrono::microseconds perByte_{0};
    std::vector<Injection> injections_;
    std::vector<TraceRecord> trace_;
    std::map<std::uint8_t, std::uint64_t> counters_;
    std::uint64_t sequence_ = 0;
    bool capture_ = false;
    bool insertedRequested_ = true;
    bool connected_ = false;
};

}  // namespace cardsim::serve
