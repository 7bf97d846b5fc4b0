// Client of a served card's control socket (`cardsim serve --control PATH`;
// the line protocol is described in tools/cardsim/src/serve/controlserver.h).
// Every call opens its own connection, so copies may be used from anywhere.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct TraceEntry {
    std::uint64_t sequence = 0;
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    std::size_t commandLength = 0;
    std::size_t responseLength = 0;
    std::uint16_t sw = 0;
    bool injected = false;
};

class CardControl {
public:
    CardControl() = default;
    explicit CardControl(std::string socketPath) : path_(std::move(socketPath)) {}
    const std::string& path() const { return path_; }

    // Sends one request line; returns the data lines. Throws std::runtime_error
    // with the card's reason on "err" or when the socket cannot be reached.
    std::vector<std::string> request(const std::string& line) const;

    void remove() const { request("remove"); }
    void insert() const { request("insert"); }
    bool inserted() const;
    // "pin:1234", "pin:1111:2222", "cancel", "timeout", "mismatch".
    void keypad(const std::string& entry) const { request("keypad " + entry); }
    void clearKeypad() const { request("keypad clear"); }
    void setLatency(unsigned perApduMicros, unsigned perByteMicros) const;
    void injectStatusWord(std::uint8_t ins, unsigned nth, std::uint16_t sw) const;
    // The card leaves the reader instead of answering the nth command with INS.
    void injectRemoval(std::uint8_t ins, unsigned nth) const;
    void clearInjections() const { request("inject clear"); }
    std::vector<TraceEntry> trace() const;
    std::map<std::uint8_t, std::uint64_t> counters() const;
    std::uint64_t count(std::uint8_t ins) const;
    void clearStatistics() const { request("clear"); }
    // Whole commands are kept in the trace only while capture is on (they
    // carry PINs and session PINs: for benchmarks on a private bench).
    void setCapture(bool on) const { request(on ? "capture on" : "capture off"); }
    // The traced commands in order: whole when captured, else their header.
    std::vector<std::vector<std::uint8_t>> commands() const;

private:
    std::string path_;
};

}  // namespace bench
