// The freshness block: how every process tells whether its cache files of a
// card are current.
//
// On the card it is 47 bytes:
//   offset  size   content
//   0       6 x 2  freshness counters of kinds 1 to 6, 16-bit little-endian each
//   12      7 x 5  digests of kinds 1 to 7: the first 5 bytes of the SHA-256 of
//                  that kind's cache file, in digest order
// In memory there is a seventh counter (kind 7, authentication objects); it
// is always 0 when read from the card and never written to it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace amw {

struct FreshnessRecord {
    static constexpr std::size_t CARD_SIZE = 47;
    static constexpr std::size_t KIND_COUNT = 7;
    static constexpr std::size_t CARD_COUNTER_COUNT = 6;
    static constexpr std::size_t DIGEST_PREFIX_SIZE = 5;

    // Index n-1 holds kind n.
    std::array<std::uint16_t, KIND_COUNT> counters{};
    std::array<std::array<std::uint8_t, DIGEST_PREFIX_SIZE>, KIND_COUNT> digests{};

    // Kinds are numbered 1 to 7; out-of-range kinds throw InternalErrorException.
    std::uint16_t& counter(std::uint32_t kind);
    std::uint16_t counter(std::uint32_t kind) const;
    std::array<std::uint8_t, DIGEST_PREFIX_SIZE>& digest(std::uint32_t kind);
    const std::array<std::uint8_t, DIGEST_PREFIX_SIZE>& digest(std::uint32_t kind) const;

    // The card's byte layout, both ways. The seventh counter is not part of it.
    static FreshnessRecord fromCardBytes(const std::uint8_t (&bytes)[CARD_SIZE]) noexcept;
    void toCardBytes(std::uint8_t (&bytes)[CARD_SIZE]) const noexcept;

    friend bool operator==(const FreshnessRecord&, const FreshnessRecord&) = default;
};

}  // namespace amw
