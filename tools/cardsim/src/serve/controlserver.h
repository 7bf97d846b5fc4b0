// The control socket of `cardsim serve --control PATH`: a unix stream socket
// speaking lines of text, so that tests (bench::CardControl) and shell
// scripts (tools/bench/bench.sh ctl) steer the same card.
//
// Each request is one line; the answer is zero or more data lines followed by
// a line "ok" or "err <reason>". Requests:
//   status                     "inserted=0|1 keypad=N commands=N"
//   remove | insert            take the card out of the reader / put it back
//   keypad ENTRY               queue keypad input: pin:DIGITS[:DIGITS[:DIGITS]],
//                              cancel, timeout, mismatch
//   keypad clear
//   latency APDU_US BYTE_US    delay per command and per byte exchanged
//   inject INS N SW            (hex, decimal, hex) the Nth command with INS
//                              from now answers SW without reaching the card
//   inject INS N remove        the card leaves the reader instead of
//                              answering the Nth command with INS from now
//   inject clear               forget injections that have not fired
//   trace                      one line per command:
//                              "SEQ CLA INS P1 P2 LEN RESPLEN SW [injected]"
//   capture on|off             keep whole commands in the trace from now on
//                              (off at start: they carry PINs)
//   commands                   one line per traced command: "SEQ HEX", the
//                              whole command in hexadecimal when it was
//                              captured, else only its 4-byte header
//   counters                   one line per INS: "INS COUNT"
//   clear                      forget the trace and the counters
#pragma once

#include "cardserver.h"
#include "controlstate.h"

#include <string>
#include <thread>

namespace cardsim::serve {

class ControlServer {
public:
    ControlServer(ControlState& state, const WakePipe& cardWake);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Binds the socket (replacing a stale file) and starts answering.
    bool start(const std::string& path);
    void stop();

    // One request line in, the complete answer out (testable without sockets).
    std::string answer(const std::string& request);

private:
    void acceptLoop();
    void serveClient(int fd);
    std::string presence(bool inserted);

    ControlState& state_;
    const WakePipe& cardWake_;
    WakePipe stopWake_;
    std::string path_;
    int listenFd_ = -1;
    std::thread thread_;
};

}  // namespace cardsim::serve
