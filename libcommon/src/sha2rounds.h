// The compression function SHA-256 and SHA-512 are built from (FIPS 180-4,
// 6.2.2 and 6.4.2): the same message schedule and rounds over 32- or 64-bit
// words. A shape gives the word, the number of rounds, the round constants
// and the rotation amounts of the four sigma functions (the small ones end
// with a shift instead of a third rotation).
#pragma once

#include <cstddef>

#include "hashblocks.h"

template <class Shape>
void sha2Compress(typename Shape::Word (&state)[8], const std::uint8_t* block) noexcept {
    using Word = typename Shape::Word;
    constexpr std::size_t ROUNDS = Shape::ROUNDS;
    const auto rotr = [](Word x, int n) { return static_cast<Word>((x >> n) | (x << (8 * sizeof(Word) - n))); };
    const auto sigma = [&rotr](Word x, const int (&amounts)[3]) {
        return rotr(x, amounts[0]) ^ rotr(x, amounts[1]) ^ rotr(x, amounts[2]);
    };
    const auto smallSigma = [&rotr](Word x, const int (&amounts)[3]) {
        return rotr(x, amounts[0]) ^ rotr(x, amounts[1]) ^ (x >> amounts[2]);
    };
    Word w[ROUNDS];
    for (std::size_t i = 0; i < 16; ++i) w[i] = loadBigEndian<Word>(block + sizeof(Word) * i);
    for (std::size_t i = 16; i < ROUNDS; ++i) {
        w[i] = w[i - 16] + smallSigma(w[i - 15], Shape::SMALL_SIGMA0) + w[i - 7] +
               smallSigma(w[i - 2], Shape::SMALL_SIGMA1);
    }
    Word a = state[0], b = state[1], c = state[2], d = state[3];
    Word e = state[4], f = state[5], g = state[6], h = state[7];
    for (std::size_t i = 0; i < ROUNDS; ++i) {
        const Word choose = (e & f) ^ (~e & g);
        const Word t1 = h + sigma(e, Shape::SIGMA1) + choose + Shape::ROUND_CONSTANTS[i] + w[i];
        const Word majority = (a & b) ^ (a & c) ^ (b & c);
        const Word t2 = sigma(a, Shape::SIGMA0) + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}
