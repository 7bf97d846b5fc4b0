// PKCS #1 version 1.5 block formatting for the card's raw RSA operation: the
// card computes only m^d mod n, so the module builds the signature block
// before the card signs and checks the encryption block after the card
// decrypts.
//
// Signature block (type 1) of k bytes for data D of d bytes:
//   00 01 FF..FF (k - d - 3 bytes, at least 8) 00 D
// Encryption block (type 2) expected after decryption:
//   00 02 PS (at least 8 non-zero bytes) 00 M
#pragma once

#include <cstddef>
#include <cstdint>

#include "staticbuffer.h"

// The largest block the module handles: the modulus of a 2048-bit key.
inline constexpr std::size_t RSA_BLOCK_CAPACITY = 256;

// Builds the type 1 block of `blockLength` bytes into `block`.
// InvalidPlainTextDataLength when the data leaves fewer than 8 padding bytes
// (blockLength < dataLength + 11).
void pkcs1padSigniturePadding(const std::uint8_t* data, std::size_t dataLength,
                              std::uint8_t* block, std::size_t blockLength);

// Checks a type 2 block and tells where its message starts and how long it
// is (possibly 0). Failures, in this order of precedence: a null block
// (InvalidArgumentException naming "buffer"), a block shorter than 11 bytes
// (InvalidEncryptedDataLength), then InvalidEncryptedData for a wrong
// header, no separator, or fewer than 8 padding bytes. The whole block is
// always examined, so the time taken does not tell where the padding breaks.
void pkcs1unpadEncryptionPadding(const std::uint8_t* block, std::size_t blockLength,
                                 const std::uint8_t** message, std::size_t* messageLength);

// Whether the big-endian number `value` is below the big-endian `modulus`
// (leading zero bytes of either do not count); true when the modulus is not
// known (empty), leaving the judgement to the card.
bool isBelowModulus(const std::uint8_t* value, std::size_t length, const StaticBuffer<256>& modulus) noexcept;

// Overwrites memory in a way the compiler may not drop.
void wipeBytes(void* data, std::size_t length) noexcept;

// A block buffer that wipes itself when it goes out of scope: signature
// blocks hold the data being signed, decrypted blocks the plaintext.
struct WipedBlock {
    std::uint8_t data[RSA_BLOCK_CAPACITY] = {};
    WipedBlock() = default;
    WipedBlock(const WipedBlock&) = delete;
    WipedBlock& operator=(const WipedBlock&) = delete;
    ~WipedBlock() { wipeBytes(data, sizeof data); }
};

// The same for the card's answer to a private-key operation.
struct WipedCardBlock {
    StaticBuffer<RSA_BLOCK_CAPACITY> buffer;
    WipedCardBlock() = default;
    WipedCardBlock(const WipedCardBlock&) = delete;
    WipedCardBlock& operator=(const WipedCardBlock&) = delete;
    ~WipedCardBlock() {
        wipeBytes(buffer.data, sizeof buffer.data);
        buffer.length = 0;
    }
};
