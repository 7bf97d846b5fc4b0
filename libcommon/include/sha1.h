// SHA-1 (FIPS 180-4). Only for formatting signatures and decryption blocks
// that applications ask for with SHA-1 (PKCS #1 DigestInfo, PSS, OAEP, MGF1).
#pragma once

#include <cstddef>
#include <cstdint>

#include "hashblocks.h"

class Sha1 {
public:
    static constexpr std::size_t DIGEST_SIZE = 20;
    static constexpr std::size_t BLOCK_SIZE = 64;

    Sha1() noexcept;

    // Adds bytes to the message; null data is allowed only with length 0.
    void update(const void* data, std::size_t length) noexcept;
    // Writes the DIGEST_SIZE bytes of the digest and starts a new message.
    void finalInto(std::uint8_t* digest) noexcept;

private:
    void reset() noexcept;
    void compress(const std::uint8_t* block) noexcept;

    std::uint32_t state[5];
    HashBlocks<BLOCK_SIZE, 8> blocks;
};
