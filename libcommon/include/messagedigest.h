// One interface over the hash functions the signature and decryption formats
// use: SHA-1, SHA-224, SHA-256, SHA-384 and SHA-512 (FIPS 180-4). A digest in
// progress is a plain value: copying it forks the computation, so a length
// query can finish a copy while the original keeps accumulating.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>

#include "sha1.h"
#include "sha256.h"
#include "sha512.h"

enum class HashAlgorithm : std::uint8_t { SHA1, SHA224, SHA256, SHA384, SHA512 };

class MessageDigest {
public:
    // The longest digest of any algorithm here (SHA-512).
    static constexpr std::size_t MAX_DIGEST_SIZE = 64;

    explicit MessageDigest(HashAlgorithm algorithm) noexcept;

    HashAlgorithm algorithm() const noexcept { return which; }
    std::size_t digestSize() const noexcept { return digestSize(which); }
    static std::size_t digestSize(HashAlgorithm algorithm) noexcept;

    // Adds bytes; null data is allowed only with length 0.
    void update(const void* data, std::size_t length) noexcept;
    // Writes digestSize() bytes and starts a new message.
    void final(std::uint8_t* digest) noexcept;

    // The digest of one buffer into `digest` (digestSize(algorithm) bytes).
    static void digest(HashAlgorithm algorithm, const void* data, std::size_t length,
                       std::uint8_t* digest) noexcept;

private:
    HashAlgorithm which;
    std::variant<Sha1, Sha256, Sha512> engine;
};
