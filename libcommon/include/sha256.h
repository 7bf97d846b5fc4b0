// SHA-256 (FIPS 180-4), used for the digests that guard the cache files, and
// its SHA-224 variant (another initial state, the first 28 bytes of the
// result) for the signature and decryption formats that name it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hashblocks.h"

class Sha256 {
public:
    static constexpr std::size_t DIGEST_SIZE = 32;
    static constexpr std::size_t BLOCK_SIZE = 64;

    static constexpr std::size_t SHA224_DIGEST_SIZE = 28;

    enum class Variant : std::uint8_t { SHA224, SHA256 };

    explicit Sha256(Variant variant = Variant::SHA256) noexcept;

    std::size_t digestSize() const noexcept {
        return variant == Variant::SHA224 ? SHA224_DIGEST_SIZE : DIGEST_SIZE;
    }

    // Adds bytes to the message; null data is allowed only with length 0.
    void update(const void* data, std::size_t length) noexcept;
    // Writes the digest of everything added and starts a new message.
    void final(std::uint8_t (&digest)[DIGEST_SIZE]) noexcept;
    // The same for either variant: writes digestSize() bytes.
    void finalInto(std::uint8_t* digest) noexcept;

    // The digest of one buffer.
    static void digest(const void* data, std::size_t length,
                       std::uint8_t (&digest)[DIGEST_SIZE]) noexcept;

private:
    void reset() noexcept;
    void compress(const std::uint8_t* block) noexcept;
    void finish(std::uint8_t* digest) noexcept;

    Variant variant;
    std::uint32_t state[8];
    HashBlocks<BLOCK_SIZE, 8> blocks;
};
