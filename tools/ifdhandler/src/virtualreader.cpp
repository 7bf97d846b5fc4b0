#include "virtualreader.h"

#include "readerwire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace ifdzentrik {

using Clock = std::chrono::steady_clock;

namespace {

constexpr auto ABSENCE_HOLD_OFF = std::chrono::milliseconds(50);
// Generous: a test may give the card a latency of its own, and a pin-pad
// operation waits up to a minute for the keypad entry.
constexpr auto ANSWER_WAIT = std::chrono::seconds(90);
constexpr std::size_t MAX_ATR = 33;

}  // namespace

bool VirtualReader::parseDeviceName(const std::string& deviceName, Kind& kind, std::uint16_t& port) {
    auto colon = deviceName.find(':');
    if (colon == std::string::npos) return false;
    std::string type = deviceName.substr(0, colon);
    std::string number = deviceName.substr(colon + 1);
    if (type == "plain") {
        kind = Kind::PLAIN;
    } else if (type == "pinpad") {
        kind = Kind::PINPAD;
    } else {
        return false;
    }
    if (number.empty() || number.size() > 5) return false;
    char* end = nullptr;
    unsigned long value = std::strtoul(number.c_str(), &end, 10);
    if (*end != '\0' || value == 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

VirtualReader::VirtualReader(Kind kind, std::uint16_t port) : kind_(kind), port_(port) {
    if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0) wakeFds_[0] = wakeFds_[1] = -1;
}

VirtualReader::~VirtualReader() {
    for (int fd : {listenFd_, cardFd_, wakeFds_[0], wakeFds_[1]}) {
        if (fd >= 0) ::close(fd);
    }
}

bool VirtualReader::listen() {
    if (wakeFds_[0] < 0) return false;
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) return false;
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(listenFd_, 1) == 0;
}

// The card side never speaks unasked, so a readable idle connection means the
// card left (end of stream) or broke the protocol; both are a removal.
bool VirtualReader::peerClosed() const {
    pollfd p{cardFd_, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    std::uint8_t byte;
    ssize_t n = ::recv(cardFd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return false;
    return true;
}

void VirtualReader::drop() {
    if (cardFd_ >= 0) ::close(cardFd_);
    cardFd_ = -1;
    atr_.clear();
    absenceReported_ = false;
    droppedAt_ = Clock::now();
}

bool VirtualReader::isCardPresent() {
    std::lock_guard lock(mutex_);
    if (cardFd_ >= 0) {
        if (!peerClosed()) return true;
        drop();
    }
    if (!absenceReported_) {
        absenceReported_ = true;
        return false;
    }
    if (Clock::now() - droppedAt_ < ABSENCE_HOLD_OFF) return false;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    cardFd_ = fd;
    return true;
}

// One request frame out, one answer frame in; a failure is a removal.
VirtualReader::Result VirtualReader::roundTrip(const std::vector<std::uint8_t>& request,
                                               std::vector<std::uint8_t>& answer) {
    if (cardFd_ < 0) return Result::NOT_PRESENT;
    if (readerwire::writeFrame(cardFd_, request) != readerwire::IoResult::OK ||
        readerwire::readFrame(cardFd_, answer, -1, Clock::now() + ANSWER_WAIT) != readerwire::IoResult::OK) {
        drop();
        return Result::COMMUNICATION_ERROR;
    }
    return Result::OK;
}

VirtualReader::Result VirtualReader::powerWith(std::uint8_t action, std::vector<std::uint8_t>& atr) {
    std::lock_guard lock(mutex_);
    if (cardFd_ < 0) return Result::NOT_PRESENT;
    if (readerwire::writeFrame(cardFd_, &action, 1) != readerwire::IoResult::OK) {
        drop();
        return Result::COMMUNICATION_ERROR;
    }
    Result r = roundTrip({readerwire::GET_ATR}, atr);
    if (r != Result::OK) return r;
    if (atr.empty() || atr.size() > MAX_ATR) return Result::COMMUNICATION_ERROR;
    atr_ = atr;
    return Result::OK;
}

VirtualReader::Result VirtualReader::powerUp(std::vector<std::uint8_t>& atr) {
    return powerWith(readerwire::POWER_ON, atr);
}

VirtualReader::Result VirtualReader::reset(std::vector<std::uint8_t>& atr) {
    return powerWith(readerwire::RESET, atr);
}

VirtualReader::Result VirtualReader::powerDown() {
    std::lock_guard lock(mutex_);
    if (cardFd_ < 0) return Result::NOT_PRESENT;
    std::uint8_t off = readerwire::POWER_OFF;
    if (readerwire::writeFrame(cardFd_, &off, 1) != readerwire::IoResult::OK) {
        drop();
        return Result::COMMUNICATION_ERROR;
    }
    atr_.clear();
    return Result::OK;
}

std::vector<std::uint8_t> VirtualReader::atr() {
    std::lock_guard lock(mutex_);
    return atr_;
}

VirtualReader::Result VirtualReader::transmit(const std::uint8_t* command, std::size_t length,
                                              std::vector<std::uint8_t>& response) {
    // One- and zero-byte frames are reader controls on the wire, never APDUs.
    if (length < 2 || length > readerwire::MAX_PAYLOAD) return Result::COMMUNICATION_ERROR;
    std::lock_guard lock(mutex_);
    Result r = roundTrip(std::vector<std::uint8_t>(command, command + length), response);
    if (r == Result::OK && response.size() < 2) return Result::COMMUNICATION_ERROR;
    return r;
}

VirtualReader::Result VirtualReader::control(std::uint32_t code, const std::uint8_t* input, std::size_t length,
                                             std::vector<std::uint8_t>& output) {
    if (kind_ != Kind::PINPAD) return Result::NOT_SUPPORTED;
    if (length > readerwire::MAX_PAYLOAD - 4) return Result::COMMUNICATION_ERROR;
    std::vector<std::uint8_t> call{static_cast<std::uint8_t>(code >> 24), static_cast<std::uint8_t>(code >> 16),
                                   static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)};
    if (length > 0) call.insert(call.end(), input, input + length);
    std::lock_guard lock(mutex_);
    if (cardFd_ < 0) return Result::NOT_PRESENT;
    std::uint8_t announce = readerwire::CONTROL_CALL;
    if (readerwire::writeFrame(cardFd_, &announce, 1) != readerwire::IoResult::OK) {
        drop();
        return Result::COMMUNICATION_ERROR;
    }
    std::vector<std::uint8_t> answer;
    Result r = roundTrip(call, answer);
    if (r != Result::OK) return r;
    if (answer.empty()) return Result::COMMUNICATION_ERROR;
    switch (static_cast<readerwire::ControlStatus>(answer[0])) {
    case readerwire::ControlStatus::OK: output.assign(answer.begin() + 1, answer.end()); return Result::OK;
    case readerwire::ControlStatus::UNSUPPORTED: return Result::NOT_SUPPORTED;
    default: return Result::COMMUNICATION_ERROR;
    }
}

// What the polling thread should watch now: the card connection, or the
// listening socket when the reader is empty; -1 with notBefore set when pcscd
// first has to see the reader empty.
int VirtualReader::eventDescriptor(Clock::time_point& notBefore) {
    std::lock_guard lock(mutex_);
    notBefore = Clock::time_point{};
    if (cardFd_ >= 0) return cardFd_;
    if (!absenceReported_) return -1;
    if (Clock::now() - droppedAt_ < ABSENCE_HOLD_OFF) {
        notBefore = droppedAt_ + ABSENCE_HOLD_OFF;
        return -1;
    }
    return listenFd_;
}

void VirtualReader::waitForEvent(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        Clock::time_point notBefore;
        int fd = eventDescriptor(notBefore);
        if (fd < 0) {
            if (notBefore != Clock::time_point{})
                readerwire::waitFor(wakeFds_[0], POLLIN, -1, std::min(notBefore, deadline));
            return;
        }
        auto r = readerwire::waitFor(fd, POLLIN | POLLRDHUP, wakeFds_[0], deadline);
        if (r == readerwire::IoResult::WOKEN) {
            char buf[16];
            while (::read(wakeFds_[0], buf, sizeof buf) > 0) {
            }
            return;
        }
        if (r != readerwire::IoResult::OK || fd == listenFd_) return;
        // The card connection turned readable: either the card left, or an
        // answer to a running exchange arrived, which that exchange consumes
        // while holding the lock.
        std::unique_lock lock(mutex_);
        if (cardFd_ != fd || peerClosed()) return;
        lock.unlock();
        readerwire::waitFor(wakeFds_[0], POLLIN, -1, Clock::now() + std::chrono::milliseconds(1));
    }
}

void VirtualReader::stopWaiting() {
    char c = 1;
    ssize_t ignored = ::write(wakeFds_[1], &c, 1);
    (void)ignored;
}

}  // namespace ifdzentrik
