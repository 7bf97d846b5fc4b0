// A card whose every answer comes from the fuzz input, for driving the card
// token's parsers of card responses. Each transmit consumes one answer:
//   2 bytes  status word (big-endian)
//   2 bytes  data length (big-endian); FFFF: the length the command asked for
//   n bytes  the data (cut to the response buffer's capacity; zeros when the
//            input ends first)
// A pin-pad exchange consumes only a status word. When the input has run out
// the card answers 6F00 to everything, and after MAX_EXCHANGES it behaves
// like a card that was pulled out (the transmit throws the library's own
// error), so a caller that keeps asking still ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ctl/cardconnection.h"
#include "fuzzinput.h"

namespace fuzz {

class FuzzCard : public ctl::CardConnection {
public:
    static constexpr std::size_t MAX_EXCHANGES = 1000;
    static constexpr std::uint16_t ASKED_LENGTH = 0xFFFF;

    FuzzCard(FuzzInput& input, bool pinPad) : input(input), pinPad(pinPad) {}

    bool isPinPadAvailable() override { return pinPad; }
    Protocol getProtocol() override { return PROTOCOL_T1; }
    std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength,
                           std::uint32_t flags) override;
    std::uint16_t pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* command,
                               std::uint32_t commandLength) override;
    std::uint16_t pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                               std::uint8_t currentPinOffset, std::uint8_t newPinOffset,
                               const std::uint8_t* command, std::uint32_t commandLength) override;

    std::size_t exchangeCount() const { return exchanges; }

    // What a well-behaved card sends back for the command: Le of a command
    // without data (0 meaning 256), nothing for one with data except the
    // commands with a trailing Le.
    static std::uint32_t askedLength(const std::uint8_t* command, std::uint32_t commandLength);

private:
    std::uint16_t nextStatusWord();

    FuzzInput& input;
    bool pinPad;
    std::size_t exchanges = 0;
};

}  // namespace fuzz
