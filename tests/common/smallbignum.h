// A minimal unsigned bignum for tests that check RSA results without a
// crypto library (the Windows executables have none): big-endian byte strings
// in and out, little-endian 32-bit limbs inside. Slow but plain; meant for
// public exponents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace smallbignum {

using Bytes = std::vector<std::uint8_t>;
using Limbs = std::vector<std::uint32_t>;

inline Limbs fromBigEndian(const Bytes& bytes) {
    Limbs limbs((bytes.size() + 3) / 4 + 1, 0);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::size_t bit = (bytes.size() - 1 - i) * 8;
        limbs[bit / 32] |= static_cast<std::uint32_t>(bytes[i]) << (bit % 32);
    }
    return limbs;
}

inline Bytes toBigEndian(const Limbs& limbs, std::size_t size) {
    Bytes bytes(size, 0);
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t bit = (size - 1 - i) * 8;
        if (bit / 32 < limbs.size()) bytes[i] = static_cast<std::uint8_t>(limbs[bit / 32] >> (bit % 32));
    }
    return bytes;
}

inline bool bitAt(const Limbs& value, std::size_t bit) { return (value[bit / 32] >> (bit % 32)) & 1u; }

// a >= b, both of the same limb count.
inline bool notLess(const Limbs& a, const Limbs& b) {
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) return a[i] > b[i];
    }
    return true;
}

inline void subtractInPlace(Limbs& a, const Limbs& b) {
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::uint64_t difference = static_cast<std::uint64_t>(a[i]) - b[i] - borrow;
        a[i] = static_cast<std::uint32_t>(difference);
        borrow = (difference >> 63) & 1u;
    }
}

// (a * b) mod m, with a, b < m; all three have m's limb count, whose top limb
// is zero, so the shifted remainder below never overflows.
inline Limbs mulMod(const Limbs& a, const Limbs& b, const Limbs& m) {
    Limbs product(a.size() * 2, 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::uint64_t sum = static_cast<std::uint64_t>(a[i]) * b[j] + product[i + j] + carry;
            product[i + j] = static_cast<std::uint32_t>(sum);
            carry = sum >> 32;
        }
        product[i + b.size()] = static_cast<std::uint32_t>(carry);
    }
    // Bit-serial reduction: remainder = 2 * remainder + next bit, minus m
    // whenever it reaches m.
    Limbs remainder(m.size(), 0);
    for (std::size_t bit = product.size() * 32; bit-- > 0;) {
        std::uint32_t carry = bitAt(product, bit) ? 1u : 0u;
        for (std::uint32_t& limb : remainder) {
            const std::uint32_t next = limb >> 31;
            limb = (limb << 1) | carry;
            carry = next;
        }
        if (notLess(remainder, m)) subtractInPlace(remainder, m);
    }
    return remainder;
}

// base^exponent mod modulus, all big-endian byte strings; the result has the
// modulus's length.
inline Bytes modPow(const Bytes& base, const Bytes& exponent, const Bytes& modulus) {
    const Limbs m = fromBigEndian(modulus);
    Limbs b = fromBigEndian(base);
    b.resize(m.size(), 0);
    Limbs result(m.size(), 0);
    result[0] = 1;
    for (std::uint8_t byte : exponent) {
        for (int bit = 7; bit >= 0; --bit) {
            result = mulMod(result, result, m);
            if ((byte >> bit) & 1u) result = mulMod(result, b, m);
        }
    }
    return toBigEndian(result, modulus.size());
}

}  // namespace smallbignum
