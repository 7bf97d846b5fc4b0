#include "internal/rsaencoding.h"

#include <cstring>

#include "internal/utils.h"
#include "p11exceptions.h"
#include "platform.h"
#include "vxexception.h"

namespace {

// DER prefixes of DigestInfo { AlgorithmIdentifier { oid, NULL }, OCTET STRING }
// for each hash; the digest follows.
struct DigestInfoPrefix {
    HashAlgorithm hash;
    std::uint8_t length;
    std::uint8_t bytes[19];
};
constexpr DigestInfoPrefix DIGEST_INFO_PREFIXES[] = {
    {HashAlgorithm::SHA1, 15, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
    {HashAlgorithm::SHA224, 19, {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04,
                                 0x05, 0x00, 0x04, 0x1c}},
    {HashAlgorithm::SHA256, 19, {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01,
                                 0x05, 0x00, 0x04, 0x20}},
    {HashAlgorithm::SHA384, 19, {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02,
                                 0x05, 0x00, 0x04, 0x30}},
    {HashAlgorithm::SHA512, 19, {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03,
                                 0x05, 0x00, 0x04, 0x40}},
};

const DigestInfoPrefix& prefixOf(HashAlgorithm hash) {
    for (const DigestInfoPrefix& prefix : DIGEST_INFO_PREFIXES) {
        if (prefix.hash == hash) return prefix;
    }
    throw InternalErrorException("no DigestInfo for hash %d", static_cast<int>(hash));
}

constexpr std::size_t MAX_DIGEST_INFO = 19 + MessageDigest::MAX_DIGEST_SIZE;

// Branch-free helpers: 1 or 0 (or an all-ones or all-zero byte mask)
// without a data-dependent jump.
constexpr std::size_t SIZE_BITS = sizeof(std::size_t) * 8;
inline std::size_t isZero(std::size_t value) noexcept {
    // Both halves are 0 only for value 0: then the top bit of ~value & (value - 1) is set.
    return (~value & (value - 1)) >> (SIZE_BITS - 1);
}
inline std::size_t maskOf(std::size_t bit) noexcept { return std::size_t{0} - bit; }

}  // namespace

void mgf1Xor(HashAlgorithm hash, const std::uint8_t* seed, std::size_t seedLength, std::uint8_t* target,
             std::size_t length) noexcept {
    std::uint8_t block[MessageDigest::MAX_DIGEST_SIZE];
    const std::size_t hashLength = MessageDigest::digestSize(hash);
    std::uint32_t counter = 0;
    for (std::size_t offset = 0; offset < length; offset += hashLength, ++counter) {
        const std::uint8_t counterBytes[4] = {static_cast<std::uint8_t>(counter >> 24),
                                              static_cast<std::uint8_t>(counter >> 16),
                                              static_cast<std::uint8_t>(counter >> 8),
                                              static_cast<std::uint8_t>(counter)};
        MessageDigest digest(hash);
        digest.update(seed, seedLength);
        digest.update(counterBytes, sizeof counterBytes);
        digest.final(block);
        const std::size_t take = length - offset < hashLength ? length - offset : hashLength;
        for (std::size_t i = 0; i < take; ++i) target[offset + i] ^= block[i];
    }
    wipeBytes(block, sizeof block);
}

void pkcs1DigestInfoEncode(HashAlgorithm hash, const std::uint8_t* digest, std::uint8_t* block,
                           std::size_t blockLength) {
    const DigestInfoPrefix& prefix = prefixOf(hash);
    const std::size_t hashLength = MessageDigest::digestSize(hash);
    std::uint8_t info[MAX_DIGEST_INFO];
    std::memcpy(info, prefix.bytes, prefix.length);
    std::memcpy(info + prefix.length, digest, hashLength);
    pkcs1padSigniturePadding(info, prefix.length + hashLength, block, blockLength);
}

void pssEncode(HashAlgorithm hash, HashAlgorithm mgfHash, const std::uint8_t* mHash, const std::uint8_t* salt,
               std::size_t saltLength, std::size_t modulusBits, std::uint8_t* block, std::size_t blockLength) {
    const std::size_t hashLength = MessageDigest::digestSize(hash);
    const std::size_t emBits = modulusBits - 1;
    const std::size_t emLength = (emBits + 7) / 8;
    if (modulusBits < 2 || blockLength < emLength || emLength < hashLength + 2 ||
        saltLength > emLength - hashLength - 2) {
        throw InvalidPlainTextDataLength(static_cast<CK_ULONG>(saltLength));
    }
    std::uint8_t* em = block + (blockLength - emLength);
    std::memset(block, 0, blockLength - emLength);

    static const std::uint8_t ZEROS[8] = {};
    MessageDigest digest(hash);
    digest.update(ZEROS, sizeof ZEROS);
    digest.update(mHash, hashLength);
    digest.update(salt, saltLength);
    const std::size_t dbLength = emLength - hashLength - 1;
    std::uint8_t* h = em + dbLength;
    digest.final(h);

    std::memset(em, 0, dbLength - saltLength - 1);
    em[dbLength - saltLength - 1] = 0x01;
    if (saltLength != 0) std::memcpy(em + dbLength - saltLength, salt, saltLength);
    mgf1Xor(mgfHash, h, hashLength, em, dbLength);
    em[0] &= static_cast<std::uint8_t>(0xFF >> (8 * emLength - emBits));
    em[emLength - 1] = 0xBC;
}

void oaepDecode(HashAlgorithm hash, HashAlgorithm mgfHash, const std::uint8_t* label, std::size_t labelLength,
                std::uint8_t* block, std::size_t blockLength, const std::uint8_t** message,
                std::size_t* messageLength) {
    static constexpr char FN[] = "oaepDecode";
    if (block == nullptr) throw InvalidArgumentException::nullPointer("buffer", FN, __FILE__, __LINE__);
    if (message == nullptr || messageLength == nullptr) {
        throw InvalidArgumentException::nullPointer("message", FN, __FILE__, __LINE__);
    }
    const std::size_t hashLength = MessageDigest::digestSize(hash);
    // The key size is public: a block too short for the hash is refused
    // before any secret is looked at.
    if (blockLength < 2 * hashLength + 2) throw InvalidEncryptedData("invalid OAEP block");

    std::uint8_t* seed = block + 1;
    std::uint8_t* db = block + 1 + hashLength;
    const std::size_t dbLength = blockLength - hashLength - 1;
    mgf1Xor(mgfHash, db, dbLength, seed, hashLength);
    mgf1Xor(mgfHash, seed, hashLength, db, dbLength);

    std::uint8_t labelHash[MessageDigest::MAX_DIGEST_SIZE];
    MessageDigest::digest(hash, label, labelLength, labelHash);
    std::size_t difference = block[0];
    for (std::size_t i = 0; i < hashLength; ++i) difference |= static_cast<std::size_t>(labelHash[i] ^ db[i]);

    // After the label hash: zero bytes, then 01, then the message. One pass
    // over every byte; `looking` stays 1 until the 01 is found, and any other
    // byte met while looking is an error.
    std::size_t looking = 1;
    std::size_t separator = 0;
    std::size_t badPadding = 0;
    for (std::size_t i = hashLength; i < dbLength; ++i) {
        const std::size_t isSeparator = isZero(static_cast<std::size_t>(db[i] ^ 0x01));
        const std::size_t isPadding = isZero(db[i]);
        const std::size_t found = looking & isSeparator;
        separator = (i & maskOf(found)) | (separator & ~maskOf(found));
        badPadding |= looking & (1 ^ isSeparator) & (1 ^ isPadding);
        looking &= 1 ^ isSeparator;
    }
    const std::size_t bad = (1 ^ isZero(difference)) | looking | badPadding;
    wipeBytes(labelHash, sizeof labelHash);
    if (bad != 0) throw InvalidEncryptedData("invalid OAEP block");
    *message = db + separator + 1;
    *messageLength = dbLength - separator - 1;
}

void formatSignatureBlock(const OperationMechanism& mechanism, const std::uint8_t* input,
                          std::size_t inputLength, std::size_t modulusBits, std::uint8_t* block,
                          std::size_t blockLength) {
    const MechanismRow& row = *mechanism.row;
    switch (row.encoding) {
    case BlockEncoding::PKCS1_V15:
        if (!row.hash) {
            pkcs1padSigniturePadding(input, inputLength, block, blockLength);
            return;
        }
        if (inputLength != MessageDigest::digestSize(*row.hash)) {
            throw InvalidPlainTextDataLength(static_cast<CK_ULONG>(inputLength));
        }
        pkcs1DigestInfoEncode(*row.hash, input, block, blockLength);
        return;
    case BlockEncoding::PSS: {
        if (inputLength != MessageDigest::digestSize(mechanism.hash)) {
            throw InvalidPlainTextDataLength(static_cast<CK_ULONG>(inputLength));
        }
        WipedBlock salt;
        if (mechanism.saltLength > sizeof salt.data) {
            throw InvalidPlainTextDataLength(static_cast<CK_ULONG>(mechanism.saltLength));
        }
        if (mechanism.saltLength != 0 && !platform::randomBytes(salt.data, mechanism.saltLength)) {
            throw InternalErrorException("no random bytes for the PSS salt");
        }
        pssEncode(mechanism.hash, mechanism.mgfHash, input, salt.data, mechanism.saltLength, modulusBits, block,
                  blockLength);
        return;
    }
    case BlockEncoding::NONE:
    case BlockEncoding::OAEP:
        break;
    }
    throw InternalErrorException("mechanism 0x%lx does not sign", static_cast<unsigned long>(row.type));
}

void decodeDecryptedBlock(const OperationMechanism& mechanism, std::uint8_t* block, std::size_t blockLength,
                          const std::uint8_t** message, std::size_t* messageLength) {
    switch (mechanism.row->encoding) {
    case BlockEncoding::PKCS1_V15:
        pkcs1unpadEncryptionPadding(block, blockLength, message, messageLength);
        return;
    case BlockEncoding::OAEP:
        oaepDecode(mechanism.hash, mechanism.mgfHash, mechanism.label.data(), mechanism.label.size(), block,
                   blockLength, message, messageLength);
        return;
    case BlockEncoding::NONE:
    case BlockEncoding::PSS:
        break;
    }
    throw InternalErrorException("mechanism 0x%lx does not decrypt",
                                 static_cast<unsigned long>(mechanism.row->type));
}
