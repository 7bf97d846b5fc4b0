// A short command APDU as the card receives it. Forms accepted:
//   CLA INS P1 P2                      no data, no Le
//   CLA INS P1 P2 Le                   no data; Le 00 means 256
//   CLA INS P1 P2 Lc data              Lc 01..FF data bytes
//   CLA INS P1 P2 Lc data Le           data and a trailing Le
// Anything else (extended lengths, Lc 00 with data, a length that matches no
// form) is malformed and answered 6700 by the card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cardsim/cardstate.h"

namespace cardsim {

struct CommandApdu {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    Bytes data;
    bool hasLe = false;
    std::size_t le = 0;  // 1..256 when hasLe

    std::uint16_t p1p2() const { return static_cast<std::uint16_t>(p1 << 8 | p2); }
    static std::optional<CommandApdu> parse(const Bytes& apdu);
};

// Status words the card answers.
namespace sw {
constexpr std::uint16_t OK = 0x9000;
constexpr std::uint16_t MEMORY_FAILURE = 0x6581;
constexpr std::uint16_t WRONG_LENGTH = 0x6700;
constexpr std::uint16_t INCOMPATIBLE_OBJECT = 0x6981;
constexpr std::uint16_t SECURITY_NOT_SATISFIED = 0x6982;
constexpr std::uint16_t AUTH_BLOCKED = 0x6983;
constexpr std::uint16_t CONDITIONS_NOT_SATISFIED = 0x6985;
constexpr std::uint16_t WRONG_DATA = 0x6A80;
constexpr std::uint16_t NOT_FOUND = 0x6A82;
constexpr std::uint16_t NO_CONTENT = 0x6A83;
constexpr std::uint16_t NOT_ENOUGH_SPACE = 0x6A84;
constexpr std::uint16_t WRONG_P1P2 = 0x6A86;
constexpr std::uint16_t ALREADY_EXISTS = 0x6A89;
constexpr std::uint16_t NO_AUTH_OBJECT = 0x6B00;
constexpr std::uint16_t INS_NOT_SUPPORTED = 0x6D00;
constexpr std::uint16_t CLA_NOT_SUPPORTED = 0x6E00;
constexpr std::uint16_t NO_DIAGNOSIS = 0x6F00;
constexpr std::uint16_t CARD_FULL = 0x6F03;
constexpr std::uint16_t PIN_POLICY = 0x6F18;
constexpr std::uint16_t wrongLe(std::size_t exact) {
    return static_cast<std::uint16_t>(0x6C00 | (exact & 0xFF));
}
constexpr std::uint16_t moreData(std::size_t available) {
    return static_cast<std::uint16_t>(0x6100 | (available & 0xFF));
}
constexpr std::uint16_t wrongSecret(std::size_t triesLeft) {
    return static_cast<std::uint16_t>(0x63C0 | (triesLeft & 0x0F));
}
}  // namespace sw

}  // namespace cardsim
