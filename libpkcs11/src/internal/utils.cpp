// PKCS #1 version 1.5 block formatting around the card's raw RSA operation.
#include "internal/utils.h"

#include <cstring>

#include "p11exceptions.h"
#include "vxexception.h"

namespace {

constexpr std::size_t MINIMUM_PADDING = 8;
// Header (2 bytes), minimum padding and separator.
constexpr std::size_t MINIMUM_OVERHEAD = 2 + MINIMUM_PADDING + 1;

// Branch-free helpers for the decrypted block: each answers with 1 or 0 (or
// an all-ones or all-zero mask) without a data-dependent jump.
constexpr std::size_t SIZE_BITS = sizeof(std::size_t) * 8;

inline std::size_t isZeroByte(std::uint8_t value) noexcept {
    // 0 - 1 wraps to all ones; any value from 1 to 255 stays far below the top bit.
    return (static_cast<std::size_t>(value) - 1) >> (SIZE_BITS - 1);
}

inline std::size_t isLess(std::size_t a, std::size_t b) noexcept {
    // Both operands are block offsets, far below the top bit.
    return (a - b) >> (SIZE_BITS - 1);
}

inline std::size_t maskOf(std::size_t bit) noexcept { return std::size_t{0} - bit; }

}  // namespace

bool isBelowModulus(const std::uint8_t* value, std::size_t length, const StaticBuffer<256>& modulus) noexcept {
    if (modulus.length == 0) return true;
    std::size_t modulusStart = 0;
    while (modulusStart < modulus.length && modulus.data[modulusStart] == 0) ++modulusStart;
    while (length > 0 && *value == 0) {
        ++value;
        --length;
    }
    const std::size_t modulusLength = modulus.length - modulusStart;
    if (length != modulusLength) return length < modulusLength;
    return std::memcmp(value, modulus.data + modulusStart, length) < 0;
}

void wipeBytes(void* data, std::size_t length) noexcept {
    volatile std::uint8_t* bytes = static_cast<volatile std::uint8_t*>(data);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = 0;
}

void pkcs1padSigniturePadding(const std::uint8_t* data, std::size_t dataLength,
                              std::uint8_t* block, std::size_t blockLength) {
    static constexpr char FN[] = "pkcs1padSigniturePadding";
    if (block == nullptr) throw InvalidArgumentException::nullPointer("block", FN, __FILE__, __LINE__);
    if (data == nullptr && dataLength != 0) {
        throw InvalidArgumentException::nullPointer("data", FN, __FILE__, __LINE__);
    }
    if (blockLength < MINIMUM_OVERHEAD || blockLength - MINIMUM_OVERHEAD < dataLength) {
        throw InvalidPlainTextDataLength(static_cast<CK_ULONG>(dataLength));
    }
    const std::size_t separator = blockLength - dataLength - 1;
    block[0] = 0x00;
    block[1] = 0x01;
    std::memset(block + 2, 0xFF, separator - 2);
    block[separator] = 0x00;
    if (dataLength != 0) std::memcpy(block + separator + 1, data, dataLength);
}

void pkcs1unpadEncryptionPadding(const std::uint8_t* block, std::size_t blockLength,
                                 const std::uint8_t** message, std::size_t* messageLength) {
    static constexpr char FN[] = "pkcs1unpadEncryptionPadding";
    if (block == nullptr) throw InvalidArgumentException::nullPointer("buffer", FN, __FILE__, __LINE__);
    if (message == nullptr) throw InvalidArgumentException::nullPointer("message", FN, __FILE__, __LINE__);
    if (messageLength == nullptr) {
        throw InvalidArgumentException::nullPointer("messageLength", FN, __FILE__, __LINE__);
    }
    if (blockLength < MINIMUM_OVERHEAD) throw InvalidEncryptedDataLength(static_cast<CK_ULONG>(blockLength));

    // One pass over every byte: the first zero from index 2 on is the
    // separator; later zeros and the header's value change nothing in the
    // work done.
    const std::size_t badHeader = (1 - isZeroByte(block[0])) | (1 - isZeroByte(block[1] ^ 0x02));
    std::size_t found = 0;
    std::size_t separator = 0;
    for (std::size_t i = 2; i < blockLength; ++i) {
        const std::size_t firstZero = isZeroByte(block[i]) & (found ^ 1);
        separator = (i & maskOf(firstZero)) | (separator & ~maskOf(firstZero));
        found |= firstZero;
    }
    const std::size_t shortPadding = found & isLess(separator, 2 + MINIMUM_PADDING);

    if (badHeader != 0) throw InvalidEncryptedData("invalid beginning of padding header (0x00 | 0x02)");
    if (found == 0) throw InvalidEncryptedData("invalid ending of padding header (not ends with 0x00)");
    if (shortPadding != 0) throw InvalidEncryptedData("invalid length of PS in padding (less than 8 bytes)");
    *message = block + separator + 1;
    *messageLength = blockLength - (separator + 1);
}
