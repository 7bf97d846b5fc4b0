#include "controlserver.h"

#include "readerwire.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace cardsim::serve {

namespace {

constexpr auto PRESENCE_WAIT = std::chrono::seconds(10);
constexpr std::size_t MAX_LINE = 4096;

std::string hex(unsigned value, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", width, value);
    return buf;
}

bool parseNumber(const std::string& text, int base, unsigned long max, unsigned long& out) {
    if (text.empty() || text.size() > 12) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text.c_str(), &end, base);
    return errno == 0 && *end == '\0' && out <= max && text[0] != '-';
}

}  // namespace

ControlServer::ControlServer(ControlState& state, const WakePipe& cardWake) : state_(state), cardWake_(cardWake) {}

ControlServer::~ControlServer() { stop(); }

bool ControlServer::start(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return false;
    addr.sun_family = AF_UNIX;
    path.copy(addr.sun_path, path.size());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return false;
    ::unlink(path.c_str());
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listenFd_, 8) != 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    path_ = path;
    thread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void ControlServer::stop() {
    if (thread_.joinable()) {
        stopWake_.notify();
        thread_.join();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
        ::unlink(path_.c_str());
    }
}

void ControlServer::acceptLoop() {
    for (;;) {
        auto r = readerwire::waitFor(listenFd_, POLLIN, stopWake_.readFd(),
                                     std::chrono::steady_clock::now() + std::chrono::hours(1));
        if (r == readerwire::IoResult::WOKEN || r == readerwire::IoResult::ERROR) return;
        if (r != readerwire::IoResult::OK) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serveClient(fd);
        ::close(fd);
    }
}

// One client at a time: requests are short, and ordering them keeps the
// presence changes of concurrent callers from interleaving.
void ControlServer::serveClient(int fd) {
    std::string pending;
    char buf[512];
    for (;;) {
        auto r = readerwire::waitFor(fd, POLLIN, stopWake_.readFd(),
                                     std::chrono::steady_clock::now() + std::chrono::seconds(30));
        if (r != readerwire::IoResult::OK) return;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string reply = answer(pending.substr(0, eol));
            pending.erase(0, eol + 1);
            if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size())) return;
        }
        if (pending.size() > MAX_LINE) {
            std::string reply = "err line too long\n";
            ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            return;
        }
    }
}

std::string ControlServer::presence(bool inserted) {
    state_.requestInserted(inserted);
    cardWake_.notify();
    if (state_.waitConnected(inserted, PRESENCE_WAIT)) return "ok\n";
    return inserted ? "err the reader does not accept the card\n" : "err the card is still connected\n";
}

std::string ControlServer::answer(const std::string& request) {
    std::istringstream in(request);
    std::string verb;
    in >> verb;
    std::vector<std::string> args;
    for (std::string a; in >> a;) args.push_back(a);

    if (verb == "status" && args.empty()) {
        std::uint64_t commands = 0;
        for (auto& [ins, count] : state_.counters()) commands += count;
        return "inserted=" + std::string(state_.connected() ? "1" : "0") +
               " keypad=" + std::to_string(state_.keypadSize()) + " commands=" + std::to_string(commands) + "\nok\n";
    }
    if (verb == "remove" && args.empty()) return presence(false);
    if (verb == "insert" && args.empty()) return presence(true);
    if (verb == "keypad" && args.size() == 1) {
        if (args[0] == "clear") {
            state_.clearKeypad();
            return "ok\n";
        }
        auto entry = KeypadEntry::parse(args[0]);
        if (!entry) return "err bad keypad entry\n";
        state_.pushKeypad(*entry);
        return "ok\n";
    }
    if (verb == "latency" && args.size() == 2) {
        unsigned long perApdu, perByte;
        if (!parseNumber(args[0], 10, 60000000, perApdu) || !parseNumber(args[1], 10, 1000000, perByte))
            return "err bad latency\n";
        state_.setLatency(std::chrono::microseconds(perApdu), std::chrono::microseconds(perByte));
        return "ok\n";
    }
    if (verb == "inject" && args.size() == 1 && args[0] == "clear") {
        state_.clearInjections();
        return "ok\n";
    }
    if (verb == "inject" && args.size() == 3) {
        unsigned long ins, nth, sw = ControlState::REMOVAL;
        if (!parseNumber(args[0], 16, 0xFF, ins) || !parseNumber(args[1], 10, 1000000, nth) || nth == 0 ||
            (args[2] != "remove" && (!parseNumber(args[2], 16, 0xFFFF, sw) || sw == ControlState::REMOVAL)))
            return "err bad injection\n";
        state_.inject(static_cast<std::uint8_t>(ins), static_cast<unsigned>(nth), static_cast<std::uint16_t>(sw));
        return "ok\n";
    }
    if (verb == "trace" && args.empty()) {
        std::string out;
        for (const auto& r : state_.trace()) {
            out += std::to_string(r.sequence) + " " + hex(r.cla, 2) + " " + hex(r.ins, 2) + " " + hex(r.p1, 2) + " " +
                   hex(r.p2, 2) + " " + std::to_string(r.commandLength) + " " + std::to_string(r.responseLength) +
                   " " + hex(r.sw, 4) + (r.injected ? " injected" : "") + "\n";
        }
        return out + "ok\n";
    }
    if (verb == "capture" && args.size() == 1 && (args[0] == "on" || args[0] == "off")) {
        state_.setCapture(args[0] == "on");
        return "ok\n";
    }
    if (verb == "commands" && args.empty()) {
        std::string out;
        for (const auto& r : state_.trace()) {
            out += std::to_string(r.sequence) + " ";
            if (r.command.empty()) {
                out += hex(r.cla, 2) + hex(r.ins, 2) + hex(r.p1, 2) + hex(r.p2, 2);
            } else {
                for (std::uint8_t byte : r.command) out += hex(byte, 2);
            }
            out += "\n";
        }
        return out + "ok\n";
    }
    if (verb == "counters" && args.empty()) {
        std::string out;
        for (const auto& [ins, count] : state_.counters()) out += hex(ins, 2) + " " + std::to_string(count) + "\n";
        return out + "ok\n";
    }
    if (verb == "clear" && args.empty()) {
        state_.clearStatistics();
        return "ok\n";
    }
    return "err unknown request\n";
}

}  // namespace cardsim::serve
