// The Ferrix card simulator's engine: the card's operating system, its state
// and its answers to command APDUs. The serving program, the in-process test
// connection and the inspector all sit on this one class.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cardsim {

class CardEngine {
public:
    // Loads a card image written by `cardsim init`; throws std::runtime_error
    // when the file is missing or malformed. Every change of the card's
    // persistent state is written back to the image atomically.
    static std::unique_ptr<CardEngine> open(const std::string& imagePath);

    virtual ~CardEngine() = default;

    virtual std::vector<std::uint8_t> atr() const = 0;
    // Power and reset clear the selection, authentication, session PINs and the
    // current object; persistent state (objects, PINs, tries) stays.
    virtual void powerOn() = 0;
    virtual void powerOff() = 0;
    virtual void reset() = 0;
    // One command APDU in; response data followed by SW1 SW2 out. Malformed
    // commands answer an error status word; this never throws for bad input.
    virtual std::vector<std::uint8_t> transmit(const std::vector<std::uint8_t>& apdu) = 0;
};

}  // namespace cardsim
