// Test-only RSA helpers on OpenSSL's libcrypto: key generation for imports,
// the PKCS #1 v1.5 type 1 block the token's caller would build, and
// signature verification with a public key given as modulus and exponent.
#pragma once

#include <cstdint>
#include <vector>

namespace tokentest {

using Bytes = std::vector<std::uint8_t>;

struct RsaKey {
    Bytes n, e, p, q, dp, dq, qinv;
};

RsaKey generateRsaKey(int bits);
Bytes sha256(const Bytes& data);
// 00 01 FF..FF 00 DigestInfo(SHA-256, digest), `modulusLength` bytes.
Bytes pkcs1SignatureBlock(const Bytes& digest, std::size_t modulusLength);
// EVP_PKEY_verify with PKCS #1 v1.5 padding and SHA-256.
bool verifySha256Signature(const Bytes& n, const Bytes& e, const Bytes& digest,
                           const Bytes& signature);

}  // namespace tokentest
