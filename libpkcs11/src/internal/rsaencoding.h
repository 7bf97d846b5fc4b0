// The encodings around the card's raw RSA operation beyond the PKCS #1
// version 1.5 blocks of internal/utils: the DigestInfo signature block of the
// hash-and-sign mechanisms, EMSA-PSS for signatures and EME-OAEP for
// decryption, with MGF1 as their mask generation function.
//
// EMSA-PSS for a key of modBits bits (emLen = ceil((modBits - 1) / 8) bytes):
//   M'  = 00 00 00 00 00 00 00 00 | mHash | salt
//   H   = Hash(M')
//   DB  = 00..00 (emLen - sLen - hLen - 2 bytes) | 01 | salt
//   EM  = (DB xor MGF1(H, emLen - hLen - 1)) | H | BC
// with the leftmost 8 * emLen - (modBits - 1) bits of EM cleared.
//
// EME-OAEP for a k-byte modulus and label L:
//   EM  = 00 | maskedSeed (hLen) | maskedDB (k - hLen - 1)
//   DB  = Hash(L) | 00..00 | 01 | M,   seed = maskedSeed xor MGF1(maskedDB)
//   and maskedDB = DB xor MGF1(seed).
#pragma once

#include <cstddef>
#include <cstdint>

#include "internal/mechanisms.h"
#include "messagedigest.h"

// XORs MGF1 with `hash` over the seed into `target` (`length` bytes).
void mgf1Xor(HashAlgorithm hash, const std::uint8_t* seed, std::size_t seedLength, std::uint8_t* target,
             std::size_t length) noexcept;

// 00 01 FF.. 00 DigestInfo(hash, digest) into a block of `blockLength`
// bytes; InvalidPlainTextDataLength when the block is too short.
void pkcs1DigestInfoEncode(HashAlgorithm hash, const std::uint8_t* digest, std::uint8_t* block,
                           std::size_t blockLength);

// EMSA-PSS of mHash (the hash's length) with the given salt into a block of
// `blockLength` = ceil(modulusBits / 8) bytes (a leading zero byte when
// emLen is shorter). InvalidPlainTextDataLength when the salt does not fit.
void pssEncode(HashAlgorithm hash, HashAlgorithm mgfHash, const std::uint8_t* mHash, const std::uint8_t* salt,
               std::size_t saltLength, std::size_t modulusBits, std::uint8_t* block, std::size_t blockLength);

// Checks an EME-OAEP block in constant time and tells where the message
// starts in `block` and how long it is. The block is unmasked in place. Every
// failure (a block too short for the hash included) throws the same
// InvalidEncryptedData, after the whole block has been examined, so that
// neither the result nor the time taken tells which check failed.
void oaepDecode(HashAlgorithm hash, HashAlgorithm mgfHash, const std::uint8_t* label, std::size_t labelLength,
                std::uint8_t* block, std::size_t blockLength, const std::uint8_t** message,
                std::size_t* messageLength);

// The block a signing mechanism sends to the card: `input` is the data given
// to the mechanism, or its digest for the hash-and-sign mechanisms. A PSS salt
// comes from the operating system's generator and is wiped after use.
// InvalidPlainTextDataLength for input of the wrong length (PSS takes exactly
// one hash) or too long for the block.
void formatSignatureBlock(const OperationMechanism& mechanism, const std::uint8_t* input,
                          std::size_t inputLength, std::size_t modulusBits, std::uint8_t* block,
                          std::size_t blockLength);

// Checks the block the card decrypted and finds the message in it.
void decodeDecryptedBlock(const OperationMechanism& mechanism, std::uint8_t* block, std::size_t blockLength,
                          const std::uint8_t** message, std::size_t* messageLength);
