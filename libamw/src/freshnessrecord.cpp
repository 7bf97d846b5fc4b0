#include "amw/freshnessrecord.h"

#include "vxexception.h"

namespace amw {

namespace {

std::size_t kindIndex(std::uint32_t kind) {
    if (kind < 1 || kind > FreshnessRecord::KIND_COUNT) {
        throw InternalErrorException("FreshnessRecord unknown kind [%u]", kind);
    }
    return kind - 1;
}

}  // namespace

std::uint16_t& FreshnessRecord::counter(std::uint32_t kind) { return counters[kindIndex(kind)]; }

std::uint16_t FreshnessRecord::counter(std::uint32_t kind) const {
    return counters[kindIndex(kind)];
}

std::array<std::uint8_t, FreshnessRecord::DIGEST_PREFIX_SIZE>& FreshnessRecord::digest(
    std::uint32_t kind) {
    return digests[kindIndex(kind)];
}

const std::array<std::uint8_t, FreshnessRecord::DIGEST_PREFIX_SIZE>& FreshnessRecord::digest(
    std::uint32_t kind) const {
    return digests[kindIndex(kind)];
}

FreshnessRecord FreshnessRecord::fromCardBytes(const std::uint8_t (&bytes)[CARD_SIZE]) noexcept {
    FreshnessRecord record;
    for (std::size_t i = 0; i < CARD_COUNTER_COUNT; ++i) {
        record.counters[i] =
            static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    const std::size_t digestOffset = 2 * CARD_COUNTER_COUNT;
    for (std::size_t kind = 0; kind < KIND_COUNT; ++kind) {
        for (std::size_t j = 0; j < DIGEST_PREFIX_SIZE; ++j) {
            record.digests[kind][j] = bytes[digestOffset + kind * DIGEST_PREFIX_SIZE + j];
        }
    }
    return record;
}

void FreshnessRecord::toCardBytes(std::uint8_t (&bytes)[CARD_SIZE]) const noexcept {
    for (std::size_t i = 0; i < CARD_COUNTER_COUNT; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(counters[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(counters[i] >> 8);
    }
    const std::size_t digestOffset = 2 * CARD_COUNTER_COUNT;
    for (std::size_t kind = 0; kind < KIND_COUNT; ++kind) {
        for (std::size_t j = 0; j < DIGEST_PREFIX_SIZE; ++j) {
            bytes[digestOffset + kind * DIGEST_PREFIX_SIZE + j] = digests[kind][j];
        }
    }
}

}  // namespace amw
