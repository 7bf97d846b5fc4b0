// A card connection for unit tests that plays a fixed script: each expected
// exchange names the exact command bytes (and whether the caller must mark
// them sensitive) and the response data and status word to hand back; pin-pad
// calls are scripted the same way. Any difference, or an expectation left over
// when the connection is verified or destroyed, is reported as a GoogleTest
// failure with a hex dump of both sides.
//
// Like the PC/SC connection, the response length is in/out (capacity in, data
// bytes out) and the status word is returned separately. The double answers
// only what the script says: it never produces or resolves 61xx, because the
// transport below the driver does that on its own.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "ctl/cardconnection.h"

namespace ctl {

class ScriptedConnection : public CardConnection {
public:
    using Bytes = std::vector<std::uint8_t>;

    enum class Kind { TRANSMIT, PIN_PAD_VERIFY, PIN_PAD_MODIFY };

    // One call the connection received, as recorded.
    struct Call {
        Kind kind = Kind::TRANSMIT;
        Bytes command;
        std::uint32_t flags = 0;  // transmit only
        std::uint8_t pinOffset = 0;  // verify: the PIN offset; modify: the current-PIN offset
        std::uint8_t newPinOffset = 0;  // modify only
        bool askForCurrentPin = false;  // modify only
        bool confirmNewPin = false;  // modify only
    };

    // Thrown into the code under test when a call does not match the script,
    // so that it stops at the first wrong command; the failure itself has
    // already been reported to GoogleTest.
    class ScriptMismatch : public std::exception {
    public:
        const char* what() const noexcept override { return "scripted connection mismatch"; }
    };

    explicit ScriptedConnection(bool pinPadAvailable = false, Protocol protocol = PROTOCOL_T1);
    ~ScriptedConnection() override;
    ScriptedConnection(const ScriptedConnection&) = delete;
    ScriptedConnection& operator=(const ScriptedConnection&) = delete;

    // Parses blank-separated (or unseparated) hexadecimal digit pairs:
    // "80 02 00 00 02". Throws std::invalid_argument on anything else.
    static Bytes hex(const std::string& text);
    static std::string toHex(const Bytes& bytes);

    // The next transmit must send exactly `command`, with bit 0 of its flags
    // equal to `sensitive`; it receives `responseData` and `statusWord`.
    ScriptedConnection& expectTransmit(const Bytes& command, const Bytes& responseData,
                                       std::uint16_t statusWord, bool sensitive = false);
    // Shorthand with hexadecimal text; `response` holds the data followed by
    // the two status bytes ("01 02 90 00").
    ScriptedConnection& expect(const std::string& command, const std::string& response,
                               bool sensitive = false);
    // The next transmit must send `command`; instead of answering, `fault` is
    // called and whatever it throws leaves transmit.
    ScriptedConnection& expectTransmitFailure(const std::string& command,
                                              std::function<void()> fault,
                                              bool sensitive = false);
    ScriptedConnection& expectPinPadVerify(std::uint8_t pinOffset, const std::string& command,
                                           std::uint16_t statusWord);
    ScriptedConnection& expectPinPadModify(bool askForCurrentPin, bool confirmNewPin,
                                           std::uint8_t currentPinOffset,
                                           std::uint8_t newPinOffset, const std::string& command,
                                           std::uint16_t statusWord);

    // The call expected last, instead of answering, runs `fault` (which
    // throws what the connection should throw).
    ScriptedConnection& failingWith(std::function<void()> fault);

    void setPinPadAvailable(bool available) { pinPad = available; }
    void setProtocol(Protocol value) { protocol = value; }

    // Every call received so far, matching or not, in order.
    const std::vector<Call>& calls() const { return received; }
    std::size_t pendingExpectations() const { return script.size() - next; }
    // Reports every expectation not yet consumed as a failure and forgets it.
    void verify();

    bool isPinPadAvailable() override { return pinPad; }
    Protocol getProtocol() override { return protocol; }
    std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength,
                           std::uint32_t flags) override;
    std::uint16_t pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* command,
                               std::uint32_t commandLength) override;
    std::uint16_t pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                               std::uint8_t currentPinOffset, std::uint8_t newPinOffset,
                               const std::uint8_t* command, std::uint32_t commandLength) override;

private:
    struct Step {
        Call expected;
        Bytes responseData;
        std::uint16_t statusWord = 0x9000;
        std::function<void()> fault;
    };

    // Takes the next step and compares it with `actual`; on any difference
    // reports it and throws ScriptMismatch.
    const Step& match(const Call& actual);

    bool pinPad;
    Protocol protocol;
    std::vector<Step> script;
    std::size_t next = 0;
    std::vector<Call> received;
};

}  // namespace ctl
