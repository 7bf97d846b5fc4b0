#include "pinentry.h"

#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

namespace zentriktool {
namespace {

// The terminal settings before the echo was turned off, for the signal
// handler: Ctrl-C at the prompt must not leave the terminal silent.
termios savedTerminal{};

extern "C" void restoreTerminalAndDie(int signalNumber) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// Turns the terminal's echo off for its lifetime, and back on on every path,
// an interrupt included.
class EchoOff {
public:
    EchoOff() {
        if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
        termios quiet = savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        previousInt_ = std::signal(SIGINT, restoreTerminalAndDie);
        previousTerm_ = std::signal(SIGTERM, restoreTerminalAndDie);
        active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
        std::signal(SIGINT, previousInt_);
        std::signal(SIGTERM, previousTerm_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    bool active_ = false;
    void (*previousInt_)(int) = SIG_DFL;
    void (*previousTerm_)(int) = SIG_DFL;
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
