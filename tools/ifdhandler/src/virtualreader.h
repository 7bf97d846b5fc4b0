// One reader of our pcsc-lite driver: it listens on 127.0.0.1:PORT, and the
// program that connects there (`cardsim serve`) is the card in the reader.
// Plain readers pass APDUs and power requests; pin-pad readers also pass
// SCardControl calls, which the card side answers with its keypad script.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ifdzentrik {

class VirtualReader {
public:
    enum class Kind { PLAIN, PINPAD };
    enum class Result { OK, NOT_PRESENT, COMMUNICATION_ERROR, INSUFFICIENT_BUFFER, NOT_SUPPORTED };

    // DEVICENAME "plain:PORT" or "pinpad:PORT".
    static bool parseDeviceName(const std::string& deviceName, Kind& kind, std::uint16_t& port);

    VirtualReader(Kind kind, std::uint16_t port);
    ~VirtualReader();
    VirtualReader(const VirtualReader&) = delete;
    VirtualReader& operator=(const VirtualReader&) = delete;

    bool listen();
    Kind kind() const { return kind_; }

    bool isCardPresent();
    Result powerUp(std::vector<std::uint8_t>& atr);
    Result reset(std::vector<std::uint8_t>& atr);
    Result powerDown();
    std::vector<std::uint8_t> atr();
    Result transmit(const std::uint8_t* command, std::size_t length, std::vector<std::uint8_t>& response);
    Result control(std::uint32_t code, const std::uint8_t* input, std::size_t length,
                   std::vector<std::uint8_t>& output);

    // The event wait of pcscd's polling thread: returns when a card may have
    // arrived or left, when stopWaiting() is called, or after timeout.
    void waitForEvent(std::chrono::milliseconds timeout);
    void stopWaiting();

private:
    bool peerClosed() const;
    void drop();
    Result powerWith(std::uint8_t action, std::vector<std::uint8_t>& atr);
    Result roundTrip(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& answer);
    int eventDescriptor(std::chrono::steady_clock::time_point& notBefore);

    const Kind kind_;
    const std::uint16_t port_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};

    std::mutex mutex_;  // guards everything below and every exchange on cardFd_
    int cardFd_ = -1;
    std::vector<std::uint8_t> atr_;
    // After a card leaves, pcscd must see it absent at least once, and for a
    // short while, before a new connection is accepted: otherwise a quick
    // removal and reinsertion looks like nothing happened.
    bool absenceReported_ = true;
    std::chrono::steady_clock::time_point droppedAt_{};
};

}  // namespace ifdzentrik
