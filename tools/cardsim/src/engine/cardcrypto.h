// The card's cryptography, on OpenSSL's libcrypto: RSA key generation and the
// raw private-key operation, 3DES for key authentication, random bytes.
#pragma once

#include <optional>

#include "cardsim/cardstate.h"

namespace cardsim::crypto {

Bytes randomBytes(std::size_t count);
// All seven components, the modulus exactly keySize / 8 bytes. Empty result
// when generation fails (for example an exponent OpenSSL refuses).
std::optional<RsaKey> generateRsaKey(unsigned keySize, const Bytes& publicExponent);
// input^d mod n through the CRT components; the result is left-padded to
// `outputLength`. Empty when the input is not below the modulus or the
// components are unusable.
std::optional<Bytes> rsaPrivate(const RsaKey& key, const Bytes& input, std::size_t outputLength);
// The public operation (tests and self-checks).
std::optional<Bytes> rsaPublic(const Bytes& n, const Bytes& e, const Bytes& input);
// n == p * q when both parts are present; the private part alone is accepted
// when p and q are non-zero.
bool keyIsConsistent(const RsaKey& key);
// 3DES (EDE, three keys) of one 8-byte block with a 24-byte key.
std::optional<Bytes> tripleDesEncrypt(const Bytes& key24, const Bytes& block8);

}  // namespace cardsim::crypto
