#include "sha256.h"

#include <cstring>

#include "sha2rounds.h"

namespace {

constexpr std::uint32_t SHA256_ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t INITIAL_STATE[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t SHA224_INITIAL_STATE[8] = {0xc1059ed8, 0x367cd507, 0x3070dd17, 0xf70e5939,
                                                   0xffc00b31, 0x68581511, 0x64f98fa7, 0xbefa4fa4};

struct Sha256Shape {
    using Word = std::uint32_t;
    static constexpr std::size_t ROUNDS = 64;
    static constexpr const Word* ROUND_CONSTANTS = SHA256_ROUND_CONSTANTS;
    static constexpr int SIGMA0[3] = {2, 13, 22};
    static constexpr int SIGMA1[3] = {6, 11, 25};
    static constexpr int SMALL_SIGMA0[3] = {7, 18, 3};
    static constexpr int SMALL_SIGMA1[3] = {17, 19, 10};
};

}  // namespace

Sha256::Sha256(Variant variant_) noexcept : variant(variant_) { reset(); }

void Sha256::reset() noexcept {
    std::memcpy(state, variant == Variant::SHA224 ? SHA224_INITIAL_STATE : INITIAL_STATE, sizeof state);
    blocks.clear();
}

void Sha256::compress(const std::uint8_t* block) noexcept { sha2Compress<Sha256Shape>(state, block); }

void Sha256::update(const void* data, std::size_t length) noexcept {
    blocks.absorb(data, length, [this](const std::uint8_t* block) { compress(block); });
}

void Sha256::finish(std::uint8_t* digest) noexcept {
    blocks.pad([this](const std::uint8_t* block) { compress(block); });
    storeBigEndian(state, digestSize(), digest);
    reset();
}

void Sha256::final(std::uint8_t (&digest)[DIGEST_SIZE]) noexcept { finish(&digest[0]); }

void Sha256::finalInto(std::uint8_t* digest) noexcept { finish(digest); }

void Sha256::digest(const void* data, std::size_t length,
                    std::uint8_t (&digest)[DIGEST_SIZE]) noexcept {
    Sha256 sha;
    sha.update(data, length);
    sha.final(digest);
}
