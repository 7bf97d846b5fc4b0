// The message handling SHA-1, SHA-256 and SHA-512 share (FIPS 180-4): bytes
// are gathered into blocks of BLOCK_SIZE and each whole block goes to the
// hash's compression function; the last block is padded with 0x80, zeros,
// and the message length in bits as a big-endian number filling the block's
// last LENGTH_FIELD bytes (only its low 64 bits can be non-zero here).
// Words are read from a block and written to the digest big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

template <class Word>
Word loadBigEndian(const std::uint8_t* bytes) noexcept {
    Word word = 0;
    for (std::size_t i = 0; i < sizeof(Word); ++i) word = static_cast<Word>(word << 8) | bytes[i];
    return word;
}

// The first `length` bytes of the words, each word most significant byte
// first; `length` is a whole number of words.
template <class Word>
void storeBigEndian(const Word* words, std::size_t length, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>(words[i / sizeof(Word)] >> (8 * (sizeof(Word) - 1 - i % sizeof(Word))));
    }
}

template <std::size_t BLOCK_SIZE, std::size_t LENGTH_FIELD>
class HashBlocks {
    static_assert(LENGTH_FIELD >= 8 && LENGTH_FIELD < BLOCK_SIZE);

public:
    HashBlocks() = default;
    HashBlocks(const HashBlocks&) = default;
    HashBlocks& operator=(const HashBlocks&) = default;
    // A digest abandoned halfway (a signature replaced or its session
    // closed) still holds up to a block of the message: it goes with it.
    ~HashBlocks() { clear(); }

    // Adds bytes to the message; null data is allowed only with length 0.
    template <typename Compress>
    void absorb(const void* data, std::size_t length, Compress&& compress) noexcept {
        if (data == nullptr || length == 0) return;
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        totalLength += length;
        if (pendingLength > 0) {
            const std::size_t room = BLOCK_SIZE - pendingLength;
            const std::size_t take = length < room ? length : room;
            std::memcpy(pending + pendingLength, bytes, take);
            pendingLength += take;
            bytes += take;
            length -= take;
            if (pendingLength < BLOCK_SIZE) return;
            compress(pending);
            pendingLength = 0;
        }
        while (length >= BLOCK_SIZE) {
            compress(bytes);
            bytes += BLOCK_SIZE;
            length -= BLOCK_SIZE;
        }
        std::memcpy(pending, bytes, length);
        pendingLength = length;
    }

    // Compresses the padded last block (or two) and forgets the message.
    template <typename Compress>
    void pad(Compress&& compress) noexcept {
        const std::uint64_t bitLength = totalLength * 8;
        pending[pendingLength++] = 0x80;
        if (pendingLength > BLOCK_SIZE - LENGTH_FIELD) {
            std::memset(pending + pendingLength, 0, BLOCK_SIZE - pendingLength);
            compress(pending);
            pendingLength = 0;
        }
        std::memset(pending + pendingLength, 0, BLOCK_SIZE - 8 - pendingLength);
        for (int i = 0; i < 8; ++i) {
            pending[BLOCK_SIZE - 1 - i] = static_cast<std::uint8_t>(bitLength >> (8 * i));
        }
        compress(pending);
        clear();
    }

    // The pending bytes may be a secret's: they are wiped, not only dropped,
    // through volatile stores that the compiler may not leave out even when
    // the object's life ends right after.
    void clear() noexcept {
        volatile std::uint8_t* bytes = pending;
        for (std::size_t i = 0; i < BLOCK_SIZE; ++i) bytes[i] = 0;
        *static_cast<volatile std::uint64_t*>(&totalLength) = 0;
        *static_cast<volatile std::size_t*>(&pendingLength) = 0;
    }

private:
    std::uint64_t totalLength = 0;  // bytes added so far
    std::uint8_t pending[BLOCK_SIZE] = {};
    std::size_t pendingLength = 0;
};
