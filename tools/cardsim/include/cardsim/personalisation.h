// Personalisation of a new card: what `cardsim init` writes and what tests use
// to make a card without a file.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cardsim/cardstate.h"

namespace cardsim {

struct Personalisation {
    std::optional<Bytes> serial;  // 8 bytes; random when absent
    std::optional<Bytes> cardId;  // 16 bytes; random when absent
    std::uint8_t versionMajor = 3;
    std::uint8_t versionMinor = 1;
    bool activated = true;
    std::string userPin = "1234";
    std::string soPin = "12345678";
    std::uint8_t pinTries = 3;
    std::array<std::uint8_t, 9> userPinPolicy = defaultPinPolicy();
    std::array<std::uint8_t, 9> soPinPolicy = defaultPinPolicy();
    std::uint16_t blockSize = 256;
    std::uint16_t blockCount = 512;
    // {key size, count}; size 0 makes slots not bound to a size.
    std::vector<std::pair<std::uint16_t, std::uint16_t>> keySlots = {{1024, 2}, {2048, 6}};
    // Extra KEY authentication objects: {role 3..7, 24-byte key}.
    std::vector<std::pair<std::uint8_t, Bytes>> keyAuthObjects;

    // Minimum length 4, maximum 16, any character allowed, none required, no
    // limit on repeated characters.
    static std::array<std::uint8_t, 9> defaultPinPolicy() { return {4, 16, 0x0F, 0, 0, 0, 0, 0, 0}; }
};

// Throws std::invalid_argument for values the card cannot hold (PIN longer
// than 16 bytes or against its policy, block size 0, more than 64 key slots...).
CardState personalise(const Personalisation& options);

// Checks a PIN against a 9-byte policy (layout in README.md).
bool pinSatisfiesPolicy(const Bytes& pin, const std::array<std::uint8_t, 9>& policy);

}  // namespace cardsim
