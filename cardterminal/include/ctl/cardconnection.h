// Abstract connection to one card. Production code uses the PC/SC
// implementation; tests use a scripted connection (exact APDU -> response pairs)
// or one backed by the card simulator's engine.
#pragma once

#include <cstdint>

namespace ctl {

class CardConnection {
public:
    enum Mode : std::uint32_t { MODE_SHARED = 1, MODE_EXCLUSIVE = 2 };
    enum Protocol : std::uint32_t { PROTOCOL_T0 = 1, PROTOCOL_T1 = 2, PROTOCOL_T0_OR_T1 = 3 };
    enum Disposition : std::uint32_t {
        LEAVE_CARD = 1,
        RESET_CARD = 2,
        UNPOWER_CARD = 3,
        EJECT_CARD = 4
    };
    // Bit 0 of transmit's flags: the command carries a secret (PIN or key).
    static constexpr std::uint32_t FLAG_SENSITIVE = 0x1;

    virtual ~CardConnection() = default;
    virtual bool isPinPadAvailable() = 0;
    virtual Protocol getProtocol() = 0;
    // `responseLength` is in/out: the capacity of `response` in, the number of
    // response data bytes (status word excluded) out. Returns the status word.
    virtual std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength,
                                   std::uint8_t* response, std::uint32_t* responseLength,
                                   std::uint32_t flags) = 0;
    // The reader inserts the PIN typed on its keypad at `pinOffset` of the
    // command template and returns the card's (or its own) status word.
    virtual std::uint16_t pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* command,
                                       std::uint32_t commandLength) = 0;
    virtual std::uint16_t pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                                       std::uint8_t currentPinOffset, std::uint8_t newPinOffset,
                                       const std::uint8_t* command,
                                       std::uint32_t commandLength) = 0;
};

}  // namespace ctl
