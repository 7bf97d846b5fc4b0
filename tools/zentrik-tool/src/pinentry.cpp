#include "pinentry.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

namespace zentriktool {
namespace {

// Turns the terminal's echo off for its lifetime, and back on on every path.
class EchoOff {
public:
    EchoOff() {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

bool stdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }

void readLine(Secret& secret) {
    std::string line;
    if (!std::getline(std::cin, line)) {
        Secret::wipeString(line);
        throw std::runtime_error("no PIN was given (standard input ended)");
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    secret.takeFrom(line);
}

}  // namespace

void askSecret(const char* prompt, Secret& secret) {
    std::cerr << prompt << std::flush;
    if (stdinIsTerminal()) {
        EchoOff quiet;
        readLine(secret);
    } else {
        readLine(secret);
        std::cerr << '\n';
    }
}

void askNewSecret(const char* prompt, Secret& secret) {
    askSecret(prompt, secret);
    if (!stdinIsTerminal()) return;
    Secret again;
    askSecret("Repeat it: ", again);
    if (!secret.equals(again)) throw std::runtime_error("the two entries of the new PIN differ");
}

}  // namespace zentriktool
