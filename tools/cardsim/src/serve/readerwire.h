// The byte stream between a reader driver (pcscd's vpcd driver or our own IFD
// handler, the listening side) and a card (`cardsim serve`, the connecting side).
//
// Every message is a frame: a 2-byte big-endian payload length, then the payload.
//   reader -> card, 1-byte payload: a reader control
//       00 power off, 01 power on, 02 reset, 04 "send your ATR"
//       80 the next frame is a reader control call (our IFD handler only)
//   reader -> card, longer payload: a command APDU; the card answers one frame
//       with the response data followed by SW1 SW2
//   card -> reader: the ATR (after 04), an APDU response, or a control answer
// A control call is two frames so that it can never be mistaken for an APDU:
//   [80], then [4-byte big-endian control code][input bytes],
//   answered by [1-byte ControlStatus][output bytes].
// The card never sends anything unsolicited; closing the connection removes
// the card, connecting again inserts it.
//
// Header-only so that the serving program and the IFD handler share it.
#pragma once

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

namespace readerwire {

constexpr std::uint8_t POWER_OFF = 0x00;
constexpr std::uint8_t POWER_ON = 0x01;
constexpr std::uint8_t RESET = 0x02;
constexpr std::uint8_t GET_ATR = 0x04;
constexpr std::uint8_t CONTROL_CALL = 0x80;

enum class ControlStatus : std::uint8_t {
    OK = 0,
    UNSUPPORTED = 1,        // control code the card side does not know
    INVALID_PARAMETER = 2,  // malformed input for a known control code
};

constexpr std::size_t MAX_PAYLOAD = 0xFFFF;

// pcsc-lite's SCARD_CTL_CODE(code) is 0x42000000 + code.
constexpr std::uint32_t ctlCode(std::uint32_t code) { return 0x42000000u + code; }
constexpr std::uint32_t CM_IOCTL_GET_FEATURE_REQUEST = ctlCode(3400);
constexpr std::uint8_t FEATURE_VERIFY_PIN_DIRECT = 0x06;
constexpr std::uint8_t FEATURE_MODIFY_PIN_DIRECT = 0x07;
// The control codes our pin-pad reader announces for the two features.
constexpr std::uint32_t IOCTL_VERIFY_PIN_DIRECT = ctlCode(0x330000 + FEATURE_VERIFY_PIN_DIRECT);
constexpr std::uint32_t IOCTL_MODIFY_PIN_DIRECT = ctlCode(0x330000 + FEATURE_MODIFY_PIN_DIRECT);

enum class IoResult { OK, CLOSED, TIMEOUT, WOKEN, ERROR };

// Waits until fd is readable (or writable), the optional wake descriptor is
// readable, or the deadline passes.
inline IoResult waitFor(int fd, short events, int wakeFd, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) return IoResult::TIMEOUT;
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        int n = ::poll(fds, wakeFd >= 0 ? 2 : 1, static_cast<int>(left.count()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return IoResult::ERROR;
        }
        if (n == 0) return IoResult::TIMEOUT;
        if (wakeFd >= 0 && (fds[1].revents & POLLIN)) return IoResult::WOKEN;
        if (fds[0].revents) return IoResult::OK;
    }
}

// The vpcd driver in pcscd writes a frame's length and its payload
// separately, without TCP_NODELAY: while our acknowledgement of the first
// write is delayed (up to 40 ms), Nagle's algorithm holds the second one back.
// Quick acknowledgements are switched off again by the kernel after a while,
// so they are asked for after every read. Fails harmlessly on other sockets.
inline void acknowledgeAtOnce(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

inline IoResult readExact(int fd, std::uint8_t* buf, std::size_t len, int wakeFd,
                          std::chrono::steady_clock::time_point deadline) {
    std::size_t got = 0;
    while (got < len) {
        IoResult w = waitFor(fd, POLLIN, wakeFd, deadline);
        if (w != IoResult::OK) return w;
        ssize_t n = ::recv(fd, buf + got, len - got, 0);
        if (n == 0) return IoResult::CLOSED;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return errno == ECONNRESET ? IoResult::CLOSED : IoResult::ERROR;
        }
        got += static_cast<std::size_t>(n);
        acknowledgeAtOnce(fd);
    }
    return IoResult::OK;
}

// Reads one frame. A wake descriptor that becomes readable interrupts only
// the wait for the frame's first byte, never a frame half read.
inline IoResult readFrame(int fd, std::vector<std::uint8_t>& payload, int wakeFd,
                          std::chrono::steady_clock::time_point deadline) {
    std::uint8_t head[2];
    IoResult r = readExact(fd, head, 1, wakeFd, deadline);
    if (r != IoResult::OK) return r;
    r = readExact(fd, head + 1, 1, -1, deadline);
    if (r != IoResult::OK) return r;
    payload.resize((static_cast<std::size_t>(head[0]) << 8) | head[1]);
    return payload.empty() ? IoResult::OK : readExact(fd, payload.data(), payload.size(), -1, deadline);
}

inline IoResult writeFrame(int fd, const std::uint8_t* data, std::size_t len) {
    if (len > MAX_PAYLOAD) return IoResult::ERROR;
    std::vector<std::uint8_t> frame;
    frame.reserve(len + 2);
    frame.push_back(static_cast<std::uint8_t>(len >> 8));
    frame.push_back(static_cast<std::uint8_t>(len));
    frame.insert(frame.end(), data, data + len);
    std::size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                if (waitFor(fd, POLLOUT, -1, deadline) != IoResult::OK) return IoResult::ERROR;
                continue;
            }
            return (errno == EPIPE || errno == ECONNRESET) ? IoResult::CLOSED : IoResult::ERROR;
        }
        sent += static_cast<std::size_t>(n);
    }
    return IoResult::OK;
}

inline IoResult writeFrame(int fd, const std::vector<std::uint8_t>& payload) {
    return writeFrame(fd, payload.data(), payload.size());
}

}  // namespace readerwire
