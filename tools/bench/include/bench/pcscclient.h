// A small PC/SC client for the bench and its tests: one context, reader
// listing, status waits, and card handles with transmit and control.
// Results are pcsc-lite codes folded to 32 bits (DWORD is 64-bit there).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<std::uint8_t>;

// "00 A4 04 00" or "00A40400" -> bytes; throws std::invalid_argument.
Bytes fromHex(const std::string& hex);
std::string toHex(const Bytes& bytes);

class PcscCard {
public:
    PcscCard(PcscCard&& other) noexcept;
    PcscCard& operator=(PcscCard&&) = delete;
    PcscCard(const PcscCard&) = delete;
    ~PcscCard();

    std::uint32_t protocol() const { return protocol_; }
    // Response data followed by SW1 SW2; throws PcscError when the exchange fails.
    Bytes transmit(const Bytes& apdu);
    std::uint16_t transmitSw(const Bytes& apdu) { return statusWord(transmit(apdu)); }
    // Raw SCardTransmit result for tests of failures.
    std::uint32_t tryTransmit(const Bytes& apdu, Bytes& response);
    // On success output holds what came back; on SCARD_E_INSUFFICIENT_BUFFER its
    // size is the length the reader reported as needed.
    std::uint32_t control(std::uint32_t code, const Bytes& input, Bytes& output, std::size_t outputCapacity = 1024);
    std::uint32_t status();
    // Exclusive access to the card for a sequence of commands, as the module
    // holds it for the card work of one call. Throw PcscError on failure.
    void beginTransaction();
    void endTransaction(std::uint32_t disposition = 0);
    std::uint32_t disconnect(std::uint32_t disposition);

    static std::uint16_t statusWord(const Bytes& response);

private:
    friend class PcscClient;
    PcscCard(std::intptr_t handle, std::uint32_t protocol) : handle_(handle), protocol_(protocol) {}
    std::intptr_t handle_;
    std::uint32_t protocol_;
    bool connected_ = true;
};

class PcscError : public std::exception {
public:
    PcscError(const std::string& call, std::uint32_t code);
    const char* what() const noexcept override { return message_.c_str(); }
    std::uint32_t code() const { return code_; }

private:
    std::string message_;
    std::uint32_t code_;
};

class PcscClient {
public:
    // Retries establishing the context until the service answers or the
    // timeout passes (then throws PcscError).
    explicit PcscClient(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    ~PcscClient();
    PcscClient(const PcscClient&) = delete;
    PcscClient& operator=(const PcscClient&) = delete;

    std::vector<std::string> readers();
    // Event state bits of SCardGetStatusChange for one reader (0 on failure).
    std::uint32_t readerState(const std::string& reader);
    // Waits until the reader reports a card (present) or none (!present).
    bool waitForCard(const std::string& reader, bool present, std::chrono::milliseconds timeout);
    PcscCard connect(const std::string& reader, bool shared = true);
    std::uint32_t tryConnect(const std::string& reader, std::uint32_t shareMode);

private:
    std::intptr_t context_ = 0;
};

}  // namespace bench
