#include "cardserver.h"

#include "readerwire.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <thread>

namespace cardsim::serve {

using Clock = std::chrono::steady_clock;

namespace {

// A reader waits for a command as long as the card is inserted; the deadline
// only bounds frames that have begun to arrive.
constexpr auto IDLE_WAIT = std::chrono::hours(24 * 365);
constexpr auto FRAME_WAIT = std::chrono::seconds(10);
constexpr auto RECONNECT_PAUSE = std::chrono::milliseconds(50);

std::vector<std::uint8_t> statusWord(std::uint16_t sw) {
    return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)};
}

std::vector<std::uint8_t> controlReply(readerwire::ControlStatus status, const std::vector<std::uint8_t>& output = {}) {
    std::vector<std::uint8_t> reply{static_cast<std::uint8_t>(status)};
    reply.insert(reply.end(), output.begin(), output.end());
    return reply;
}

}  // namespace

WakePipe::WakePipe() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
}

WakePipe::~WakePipe() {
    if (fds_[0] >= 0) ::close(fds_[0]);
    if (fds_[1] >= 0) ::close(fds_[1]);
}

void WakePipe::notify() const {
    char c = 1;
    ssize_t ignored = ::write(fds_[1], &c, 1);
    (void)ignored;  // a full pipe is already a pending wake-up
}

void WakePipe::drain() const {
    char buf[64];
    while (::read(fds_[0], buf, sizeof buf) > 0) {
    }
}

CardServer::CardServer(CardEngine& engine, ControlState& state, const WakePipe& wake, std::string host,
                       std::uint16_t port)
    : engine_(engine), state_(state), wake_(wake), host_(std::move(host)), port_(port) {}

int CardServer::connectOnce() const {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    if (::inet_pton(AF_INET, host_.c_str(), &addr.sin_addr) != 1) return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void CardServer::run(const std::atomic<bool>& stop) {
    while (!stop) {
        wake_.drain();
        int fd = state_.insertedRequested() ? connectOnce() : -1;
        if (fd < 0) {
            readerwire::waitFor(wake_.readFd(), POLLIN, -1, Clock::now() + RECONNECT_PAUSE);
            continue;
        }
        // A card that was out of the reader has no power.
        engine_.powerOff();
        state_.reportConnected(true);
        std::fprintf(stderr, "cardsim serve: card inserted into %s:%u\n", host_.c_str(), port_);
        serveConnection(fd, stop);
        ::close(fd);
        engine_.powerOff();
        state_.reportConnected(false);
        std::fprintf(stderr, "cardsim serve: card removed from %s:%u\n", host_.c_str(), port_);
    }
}

void CardServer::serveConnection(int fd, const std::atomic<bool>& stop) {
    std::vector<std::uint8_t> frame;
    for (;;) {
        auto r = readerwire::readFrame(fd, frame, wake_.readFd(), Clock::now() + IDLE_WAIT);
        if (r == readerwire::IoResult::WOKEN) {
            wake_.drain();
            if (stop || !state_.insertedRequested()) return;
            continue;
        }
        if (r != readerwire::IoResult::OK || !handleFrame(fd, frame)) return;
    }
}

// Returns false when the connection is no longer usable.
bool CardServer::handleFrame(int fd, const std::vector<std::uint8_t>& frame) {
    using namespace readerwire;
    if (frame.empty()) return true;
    if (frame.size() > 1) {
        const std::vector<std::uint8_t> response = exchange(frame);
        // An empty answer is an injected removal: the connection closes unanswered.
        return !response.empty() && writeFrame(fd, response) == IoResult::OK;
    }
    switch (frame[0]) {
    case POWER_OFF: engine_.powerOff(); return true;
    case POWER_ON: engine_.powerOn(); return true;
    case RESET: engine_.reset(); return true;
    case GET_ATR: return writeFrame(fd, engine_.atr()) == IoResult::OK;
    case CONTROL_CALL: return handleControlCall(fd);
    default:
        std::fprintf(stderr, "cardsim serve: ignoring unknown reader control %02X\n", frame[0]);
        return true;
    }
}

bool CardServer::handleControlCall(int fd) {
    std::vector<std::uint8_t> call;
    if (readerwire::readFrame(fd, call, -1, Clock::now() + FRAME_WAIT) != readerwire::IoResult::OK) return false;
    return readerwire::writeFrame(fd, controlAnswer(call)) == readerwire::IoResult::OK;
}

std::vector<std::uint8_t> CardServer::controlAnswer(const std::vector<std::uint8_t>& call) {
    using readerwire::ControlStatus;
    if (call.size() < 4) return controlReply(ControlStatus::INVALID_PARAMETER);
    std::uint32_t code = (static_cast<std::uint32_t>(call[0]) << 24) | (static_cast<std::uint32_t>(call[1]) << 16) |
                         (static_cast<std::uint32_t>(call[2]) << 8) | call[3];
    std::vector<std::uint8_t> input(call.begin() + 4, call.end());
    if (code == readerwire::CM_IOCTL_GET_FEATURE_REQUEST) return controlReply(ControlStatus::OK, PinPad::featureList());
    if (code == readerwire::IOCTL_VERIFY_PIN_DIRECT || code == readerwire::IOCTL_MODIFY_PIN_DIRECT)
        return pinPadAnswer(code, input);
    return controlReply(ControlStatus::UNSUPPORTED);
}

// The entry is consumed only by a well-formed request, so a malformed
// structure does not eat the input scripted for the next operation. With
// nothing scripted the reader waits for the entry, as a real one waits while
// the person types, up to the structure's time-out.
std::vector<std::uint8_t> CardServer::pinPadAnswer(std::uint32_t code, const std::vector<std::uint8_t>& input) {
    using readerwire::ControlStatus;
    const auto answer = [&](const KeypadEntry* typed) {
        return code == readerwire::IOCTL_VERIFY_PIN_DIRECT ? PinPad::verify(input, typed)
                                                           : PinPad::modify(input, typed);
    };
    auto entry = state_.peekKeypad();
    if (!entry && answer(nullptr).kind != PinPadResult::Kind::INVALID) {
        entry = state_.waitKeypad(PinPad::entryTimeout(input));
    }
    const KeypadEntry* typed = entry ? &*entry : nullptr;
    PinPadResult result = answer(typed);
    switch (result.kind) {
    case PinPadResult::Kind::INVALID:
        std::fprintf(stderr, "cardsim serve: rejected pin-pad request: %s\n", result.reason.c_str());
        return controlReply(ControlStatus::INVALID_PARAMETER);
    case PinPadResult::Kind::READER_SW:
        state_.popKeypad();
        return controlReply(ControlStatus::OK, statusWord(result.sw));
    case PinPadResult::Kind::SEND_APDU: break;
    }
    state_.popKeypad();
    return controlReply(ControlStatus::OK, exchange(result.apdu));
}

std::vector<std::uint8_t> CardServer::exchange(const std::vector<std::uint8_t>& apdu) {
    std::uint8_t ins = apdu.size() > 1 ? apdu[1] : 0;
    auto injected = state_.takeInjection(ins);
    std::vector<std::uint8_t> response;
    if (injected && *injected == ControlState::REMOVAL) {
        state_.requestInserted(false);
        state_.record(apdu, 0, 0, true);
        return response;
    }
    if (injected) {
        response = statusWord(*injected);
    } else {
        try {
            response = engine_.transmit(apdu);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "cardsim serve: engine failed on a command: %s\n", e.what());
        }
        if (response.size() < 2) response = statusWord(0x6F00);
    }
    auto delay = state_.delayFor(apdu.size() + response.size());
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    std::uint16_t sw = static_cast<std::uint16_t>((response[response.size() - 2] << 8) | response.back());
    state_.record(apdu, response.size() - 2, sw, injected.has_value());
    return response;
}

}  // namespace cardsim::serve
