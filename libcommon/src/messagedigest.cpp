#include "messagedigest.h"

namespace {

std::variant<Sha1, Sha256, Sha512> engineFor(HashAlgorithm algorithm) noexcept {
    switch (algorithm) {
    case HashAlgorithm::SHA1: return Sha1();
    case HashAlgorithm::SHA224: return Sha256(Sha256::Variant::SHA224);
    case HashAlgorithm::SHA256: return Sha256(Sha256::Variant::SHA256);
    case HashAlgorithm::SHA384: return Sha512(Sha512::Variant::SHA384);
    case HashAlgorithm::SHA512: break;
    }
    return Sha512(Sha512::Variant::SHA512);
}

}  // namespace

MessageDigest::MessageDigest(HashAlgorithm algorithm) noexcept : which(algorithm), engine(engineFor(algorithm)) {}

std::size_t MessageDigest::digestSize(HashAlgorithm algorithm) noexcept {
    switch (algorithm) {
    case HashAlgorithm::SHA1: return Sha1::DIGEST_SIZE;
    case HashAlgorithm::SHA224: return Sha256::SHA224_DIGEST_SIZE;
    case HashAlgorithm::SHA256: return Sha256::DIGEST_SIZE;
    case HashAlgorithm::SHA384: return Sha512::SHA384_DIGEST_SIZE;
    case HashAlgorithm::SHA512: break;
    }
    return Sha512::SHA512_DIGEST_SIZE;
}

void MessageDigest::update(const void* data, std::size_t length) noexcept {
    std::visit([&](auto& hash) { hash.update(data, length); }, engine);
}

void MessageDigest::final(std::uint8_t* digest) noexcept {
    std::visit([&](auto& hash) { hash.finalInto(digest); }, engine);
}

void MessageDigest::digest(HashAlgorithm algorithm, const void* data, std::size_t length,
                           std::uint8_t* digest) noexcept {
    MessageDigest hash(algorithm);
    hash.update(data, length);
    hash.final(digest);
}
