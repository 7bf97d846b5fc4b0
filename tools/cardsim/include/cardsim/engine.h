// The Ferrix card simulator's engine: the card's operating system, its state
// and its answers to command APDUs. The serving program, the in-process test
// connection and the inspector all sit on this one class.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cardsim {

struct CardState;

class CardEngine {
public:
    // Loads a card image written by `cardsim init`; throws std::runtime_error
    // when the file is missing or malformed. Every change of the card's
    // persistent state is written back to the image atomically.
    static std::unique_ptr<CardEngine> open(const std::string& imagePath);
    // A card that lives only in memory (tests): nothing is written anywhere.
    static std::unique_ptr<CardEngine> fromState(const CardState& state);

    virtual ~CardEngine() = default;

    virtual std::vector<std::uint8_t> atr() const = 0;
    // Power and reset clear the selection, authentication, session PINs and the
    // current object; persistent state (objects, PINs, tries) stays. A card
    // starts unpowered; commands sent without power answer 6F00 and change nothing.
    virtual void powerOn() = 0;
    virtual void powerOff() = 0;
    virtual void reset() = 0;
    virtual bool isPowered() const = 0;
    // One command APDU in; response data followed by SW1 SW2 out. Malformed
    // commands answer an error status word; this never throws for bad input.
    virtual std::vector<std::uint8_t> transmit(const std::vector<std::uint8_t>& apdu) = 0;
    // A copy of the persistent state as it is now (inspection and tests).
    virtual CardState state() const = 0;
};

}  // namespace cardsim
