// SHA-512 and SHA-384 (FIPS 180-4): one compression function, two initial
// states; SHA-384 keeps the first 48 bytes of the final state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hashblocks.h"

class Sha512 {
public:
    static constexpr std::size_t SHA512_DIGEST_SIZE = 64;
    static constexpr std::size_t SHA384_DIGEST_SIZE = 48;
    static constexpr std::size_t BLOCK_SIZE = 128;

    enum class Variant : std::uint8_t { SHA384, SHA512 };

    explicit Sha512(Variant variant = Variant::SHA512) noexcept;

    std::size_t digestSize() const noexcept {
        return variant == Variant::SHA384 ? SHA384_DIGEST_SIZE : SHA512_DIGEST_SIZE;
    }
    // Adds bytes to the message; null data is allowed only with length 0.
    void update(const void* data, std::size_t length) noexcept;
    // Writes digestSize() bytes and starts a new message.
    void finalInto(std::uint8_t* digest) noexcept;

private:
    void reset() noexcept;
    void compress(const std::uint8_t* block) noexcept;

    Variant variant;
    std::uint64_t state[8];
    HashBlocks<BLOCK_SIZE, 16> blocks;
};
