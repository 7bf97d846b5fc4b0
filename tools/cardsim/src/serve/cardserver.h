// Plays the card in a reader: connects to the reader driver's TCP port,
// answers its frames (readerwire.h) from the card engine, and reconnects
// whenever the reader goes away (pcscd restarted) or a removal requested on
// the control socket ends. A connection is a card in the reader.
#pragma once

#include "controlstate.h"

#include <cardsim/engine.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace cardsim::serve {

// A pipe whose read end becomes readable when somebody wants the I/O loop to
// look at its state again (a signal, a control request). notify() is
// async-signal-safe.
class WakePipe {
public:
    WakePipe();
    ~WakePipe();
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;
    void notify() const;
    void drain() const;
    int readFd() const { return fds_[0]; }

private:
    int fds_[2] = {-1, -1};
};

class CardServer {
public:
    CardServer(CardEngine& engine, ControlState& state, const WakePipe& wake, std::string host, std::uint16_t port);
    // Runs until stop is set (and the wake pipe notified).
    void run(const std::atomic<bool>& stop);

private:
    int connectOnce() const;
    void serveConnection(int fd, const std::atomic<bool>& stop);
    bool handleFrame(int fd, const std::vector<std::uint8_t>& frame);
    bool handleControlCall(int fd);
    std::vector<std::uint8_t> controlAnswer(const std::vector<std::uint8_t>& call);
    std::vector<std::uint8_t> pinPadAnswer(std::uint32_t code, const std::vector<std::uint8_t>& input);
    std::vector<std::uint8_t> exchange(const std::vector<std::uint8_t>& apdu);

    CardEngine& engine_;
    ControlState& state_;
    const WakePipe& wake_;
    std::string host_;
    std::uint16_t port_;
};

}  // namespace cardsim::serve
