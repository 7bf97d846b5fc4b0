// The keypad of a simulated pin-pad reader. A test scripts what the user will
// "type" (a queue of KeypadEntry); a FEATURE_VERIFY_PIN_DIRECT or
// FEATURE_MODIFY_PIN_DIRECT control call takes the next entry and either turns
// it into a command APDU for the card (the PIN digits inserted into the
// caller's template) or ends with the reader's own status word, as a real
// reader does when the user cancels or the entry is unusable.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cardsim::serve {

struct KeypadEntry {
    enum class Kind { DIGITS, CANCEL, TIMEOUT, MISMATCH };
    Kind kind = Kind::TIMEOUT;
    // DIGITS: the PINs typed one after the other. A verification uses the first;
    // a modification takes [current PIN, when asked] new PIN [confirmation];
    // a missing confirmation repeats the new PIN.
    std::vector<std::string> pins;

    // Text form (control socket): "pin:1234", "pin:1234:5678", "cancel",
    // "timeout", "mismatch". Digits only; nullopt for anything else.
    static std::optional<KeypadEntry> parse(const std::string& text);
    std::string describe() const;  // lengths only, never the digits
};

// Status words a reader answers by itself.
constexpr std::uint16_t SW_PINPAD_TIMEOUT = 0x6400;
constexpr std::uint16_t SW_PINPAD_CANCELLED = 0x6401;
constexpr std::uint16_t SW_PINPAD_MISMATCH = 0x6402;
constexpr std::uint16_t SW_PINPAD_WRONG_LENGTH = 0x6403;

struct PinPadResult {
    enum class Kind { SEND_APDU, READER_SW, INVALID };
    Kind kind = Kind::INVALID;
    std::vector<std::uint8_t> apdu;  // SEND_APDU: the completed command
    std::uint16_t sw = 0;            // READER_SW
    std::string reason;              // INVALID: what was wrong with the structure

    static PinPadResult send(std::vector<std::uint8_t> apdu);
    static PinPadResult readerSw(std::uint16_t sw);
    static PinPadResult invalid(std::string reason);
};

class PinPad {
public:
    // CM_IOCTL_GET_FEATURE_REQUEST answer: tag, length 4, big-endian control
    // code for both direct PIN features.
    static std::vector<std::uint8_t> featureList();

    // How long the reader waits for the person to type: bTimerOut (byte 0 of
    // both structures) in seconds, the reader's default for 0, never more than
    // MAX_ENTRY_WAIT.
    static constexpr std::chrono::seconds DEFAULT_ENTRY_WAIT{30};
    static constexpr std::chrono::seconds MAX_ENTRY_WAIT{60};
    static std::chrono::milliseconds entryTimeout(const std::vector<std::uint8_t>& structure);

    // PIN_VERIFY_STRUCTURE (19 header bytes, then ulDataLength APDU bytes).
    // entry may be null: nobody typed anything, the reader times out.
    static PinPadResult verify(const std::vector<std::uint8_t>& structure, const KeypadEntry* entry);
    // PIN_MODIFY_STRUCTURE (24 header bytes, then ulDataLength APDU bytes).
    static PinPadResult modify(const std::vector<std::uint8_t>& structure, const KeypadEntry* entry);
};

}  // namespace cardsim::serve
