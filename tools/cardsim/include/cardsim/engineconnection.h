// A ctl::CardConnection backed by the card simulator's engine, for fast
// in-process tests of the card driver and the layers above it. It behaves as
// the PC/SC connection does towards its caller: response length in/out, the
// status word returned, a 61xx answered with GET RESPONSE, the trailing Le of
// a case-4 command dropped under T=0, and a pin pad whose keypad the test
// scripts in advance.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "cardsim/engine.h"
#include "ctl/cardconnection.h"

namespace cardsim {

class EngineConnection : public ctl::CardConnection {
public:
    // One keypad entry: digits typed and confirmed, or the user cancelling, or
    // nobody typing until the reader gives up.
    struct KeypadEntry {
        enum Kind { DIGITS, CANCEL, TIMEOUT } kind = DIGITS;
        std::string digits;
        static KeypadEntry typed(std::string digits) { return {DIGITS, std::move(digits)}; }
        static KeypadEntry cancel() { return {CANCEL, {}}; }
        static KeypadEntry timeout() { return {TIMEOUT, {}}; }
    };

    // Does not own the engine; powers the card on when it is off.
    explicit EngineConnection(CardEngine& engine, Protocol protocol = PROTOCOL_T1);
    // Owns the engine.
    explicit EngineConnection(std::unique_ptr<CardEngine> engine, Protocol protocol = PROTOCOL_T1);

    CardEngine& engine() { return *engine_; }

    void setPinPadAvailable(bool available) { pinPadAvailable_ = available; }
    void queueKeypad(KeypadEntry entry) { keypad_.push_back(std::move(entry)); }
    std::size_t keypadEntriesLeft() const { return keypad_.size(); }
    // The next command whose INS is `ins` and that is the `nth` (1-based) such
    // command from now is not sent to the card; `statusWord` is answered instead.
    void injectStatusWord(std::uint8_t ins, unsigned nth, std::uint16_t statusWord);
    // Every command APDU that reached the card, GET RESPONSE included.
    const std::vector<std::vector<std::uint8_t>>& sentCommands() const { return sent_; }
    void clearSentCommands() { sent_.clear(); }

    bool isPinPadAvailable() override { return pinPadAvailable_; }
    Protocol getProtocol() override { return protocol_; }
    std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength,
                           std::uint32_t flags) override;
    std::uint16_t pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* command,
                               std::uint32_t commandLength) override;
    std::uint16_t pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                               std::uint8_t currentPinOffset, std::uint8_t newPinOffset,
                               const std::uint8_t* command, std::uint32_t commandLength) override;

private:
    struct Injection {
        std::uint8_t ins;
        unsigned remaining;
        std::uint16_t statusWord;
    };
    std::vector<std::uint8_t> exchange(const std::vector<std::uint8_t>& command);
    // Sends a command carrying keypad input: GET RESPONSE handling as transmit.
    std::uint16_t sendFromReader(std::vector<std::uint8_t> command);
    // Takes the next keypad entry; a reader status word when it is not digits
    // of an acceptable length (1 to 8).
    std::uint16_t takePin(std::string& digits);

    std::unique_ptr<CardEngine> owned_;
    CardEngine* engine_;
    Protocol protocol_;
    bool pinPadAvailable_ = false;
    std::deque<KeypadEntry> keypad_;
    std::vector<Injection> injections_;
    std::vector<std::vector<std::uint8_t>> sent_;
};

}  // namespace cardsim
