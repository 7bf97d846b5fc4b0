// OpenSSL pieces of the stress program: certificates to store and the check
// of a card signature with the public key read back from the card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stress {

using Bytes = std::vector<std::uint8_t>;

// A self-signed certificate (DER) with the common name, signed with a key
// made once per process.
Bytes makeCertificate(const std::string& commonName);
// True when `signature` is a PKCS #1 v1.5 signature of exactly `data` under
// the public key (n, e).
bool verifySignature(const Bytes& n, const Bytes& e, const Bytes& data, const Bytes& signature);
Bytes randomBytes(std::size_t count);

}  // namespace stress
