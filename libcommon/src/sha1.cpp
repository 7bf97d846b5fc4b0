#include "sha1.h"

#include <cstring>

namespace {

constexpr std::uint32_t INITIAL_STATE[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

constexpr std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

Sha1::Sha1() noexcept { reset(); }

void Sha1::reset() noexcept {
    std::memcpy(state, INITIAL_STATE, sizeof state);
    blocks.clear();
}

void Sha1::compress(const std::uint8_t* block) noexcept {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = loadBigEndian<std::uint32_t>(block + 4 * i);
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

void Sha1::update(const void* data, std::size_t length) noexcept {
    blocks.absorb(data, length, [this](const std::uint8_t* block) { compress(block); });
}

void Sha1::finalInto(std::uint8_t* digest) noexcept {
    blocks.pad([this](const std::uint8_t* block) { compress(block); });
    storeBigEndian(state, sizeof state, digest);
    reset();
}
