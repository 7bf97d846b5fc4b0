#include "bench/cardcontrol.h"

#include "bench/pcscclient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace {

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::vector<std::string> CardControl::request(const std::string& line) const {
    sockaddr_un addr{};
    if (path_.empty() || path_.size() >= sizeof addr.sun_path) throw std::runtime_error("bad control socket path");
    addr.sun_family = AF_UNIX;
    path_.copy(addr.sun_path, path_.size());
    Socket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd() < 0 || ::connect(s.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot reach the card control socket " + path_);
    std::string out = line + "\n";
    if (::send(s.fd(), out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
        throw std::runtime_error("cannot send to the card control socket");
    std::string received;
    std::vector<std::string> lines;
    char buf[4096];
    for (;;) {
        pollfd p{s.fd(), POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0) throw std::runtime_error("no answer from the card control socket");
        ssize_t n = ::recv(s.fd(), buf, sizeof buf, 0);
        if (n <= 0) throw std::runtime_error("card control socket closed mid-answer");
        received.append(buf, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = received.find('\n')) != std::string::npos) {
            std::string l = received.substr(0, eol);
            received.erase(0, eol + 1);
            if (l == "ok") return lines;
            if (l.rfind("err", 0) == 0) throw std::runtime_error("card control \"" + line + "\": " + l);
            lines.push_back(l);
        }
    }
}

bool CardControl::inserted() const {
    auto lines = request("status");
    return !lines.empty() && lines[0].find("inserted=1") != std::string::npos;
}

void CardControl::setLatency(unsigned perApduMicros, unsigned perByteMicros) const {
    request("latency " + std::to_string(perApduMicros) + " " + std::to_string(perByteMicros));
}

void CardControl::injectStatusWord(std::uint8_t ins, unsigned nth, std::uint16_t sw) const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "inject %02X %u %04X", ins, nth, sw);
    request(buf);
}

void CardControl::injectRemoval(std::uint8_t ins, unsigned nth) const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "inject %02X %u remove", ins, nth);
    request(buf);
}

std::vector<TraceEntry> CardControl::trace() const {
    std::vector<TraceEntry> entries;
    for (const auto& line : request("trace")) {
        std::istringstream in(line);
        TraceEntry e;
        unsigned cla, ins, p1, p2, sw;
        std::string flag;
        in >> e.sequence >> std::hex >> cla >> ins >> p1 >> p2 >> std::dec >> e.commandLength >> e.responseLength >>
            std::hex >> sw >> flag;
        e.cla = static_cast<std::uint8_t>(cla);
        e.ins = static_cast<std::uint8_t>(ins);
        e.p1 = static_cast<std::uint8_t>(p1);
        e.p2 = static_cast<std::uint8_t>(p2);
        e.sw = static_cast<std::uint16_t>(sw);
        e.injected = flag == "injected";
        entries.push_back(e);
    }
    return entries;
}

std::vector<std::vector<std::uint8_t>> CardControl::commands() const {
    std::vector<std::vector<std::uint8_t>> result;
    for (const auto& line : request("commands")) {
        const std::size_t space = line.find(' ');
        if (space == std::string::npos) throw std::runtime_error("bad command line from the card: " + line);
        result.push_back(fromHex(line.substr(space + 1)));
    }
    return result;
}

std::map<std::uint8_t, std::uint64_t> CardControl::counters() const {
    std::map<std::uint8_t, std::uint64_t> result;
    for (const auto& line : request("counters")) {
        std::istringstream in(line);
        unsigned ins;
        std::uint64_t count;
        in >> std::hex >> ins >> std::dec >> count;
        result[static_cast<std::uint8_t>(ins)] = count;
    }
    return result;
}

std::uint64_t CardControl::count(std::uint8_t ins) const {
    auto all = counters();
    auto it = all.find(ins);
    return it == all.end() ? 0 : it->second;
}

}  // namespace bench
