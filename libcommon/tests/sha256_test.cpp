#include "sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string hex(const std::uint8_t (&digest)[Sha256::DIGEST_SIZE]) {
    std::string text;
    char piece[3];
    for (std::uint8_t b : digest) {
        std::snprintf(piece, sizeof piece, "%02x", b);
        text += piece;
    }
    return text;
}

std::string oneShot(const std::string& message) {
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(message.data(), message.size(), digest);
    return hex(digest);
}

// Feeds the message in pieces of `step` bytes.
std::string incremental(const std::string& message, std::size_t step) {
    Sha256 sha;
    for (std::size_t i = 0; i < message.size(); i += step) {
        sha.update(message.data() + i, std::min(step, message.size() - i));
    }
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    sha.final(digest);
    return hex(digest);
}

// Byte i is (i * 31 + 7) mod 256.
std::string patterned(std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    }
    return bytes;
}

struct Vector {
    const char* name;
    std::string message;
    const char* digest;
};

class Sha256Vectors : public ::testing::TestWithParam<Vector> {};

TEST_P(Sha256Vectors, OneShotAndEveryPieceSizeGiveTheKnownDigest) {
    const Vector& v = GetParam();
    EXPECT_EQ(v.digest, oneShot(v.message));
    for (std::size_t step : {1u, 3u, 55u, 63u, 64u, 65u, 1000u}) {
        EXPECT_EQ(v.digest, incremental(v.message, step)) << "pieces of " << step;
    }
}

// FIPS 180-4 examples, and lengths around the padding boundaries (55 is the
// longest message whose length still fits in its last block).
INSTANTIATE_TEST_SUITE_P(
    Known, Sha256Vectors,
    ::testing::Values(
        Vector{"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Vector{"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Vector{"bits448", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
               "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Vector{"bits896",
               "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnop"
               "qrlmnopqrsmnopqrstnopqrstu",
               "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        Vector{"len55", patterned(55), "8aa994584139d128848eeebc4e815639ba5ab6e6e39574195a63ac4f14f7c43b"},
        Vector{"len56", patterned(56), "ad574708f75c044c9b85de64cb568ee7711ff4f36448c6242f053ba8f6cc2b63"},
        Vector{"len63", patterned(63), "280ed3e8ff1df845b2e7dfe6ac6cee817bef20e783cc65abc41b818b4d2fe076"},
        Vector{"len64", patterned(64), "c6ab9724ade5b6a7a1edfffb12f3aa9181351355af8fd08c919952ad211339dd"},
        Vector{"len65", patterned(65), "788367c73c7ddf4c53f65e68cc0d943e6227ab55b0e78ba63ace822b1c6301c0"},
        Vector{"len119", patterned(119), "3d610547d68216dedf7435a4fb6260353911f6b3fd3f18805ddb8be285d726fe"},
        Vector{"len120", patterned(120), "1f80156a804cb7862ad113e8200e9d74499723e7c7854d5f48776d3148e09656"},
        Vector{"len128", patterned(128), "cc548ca2dec1f6fe4f58b2e27aa9c7521607df1130d140b55a4dad0665302356"}),
    [](const ::testing::TestParamInfo<Vector>& info) { return std::string(info.param.name); });

TEST(Sha256, OneMillionLetterA) {
    const std::string message(1000000, 'a');
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", oneShot(message));
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
              incremental(message, 4096));
}

TEST(Sha256, FinalStartsANewMessage) {
    Sha256 sha;
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    sha.update("garbage", 7);
    sha.final(digest);
    sha.update("abc", 3);
    sha.final(digest);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", hex(digest));
}

TEST(Sha256, NullDataWithZeroLengthAddsNothing) {
    Sha256 sha;
    sha.update(nullptr, 0);
    sha.update("abc", 3);
    sha.update(nullptr, 0);
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    sha.final(digest);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", hex(digest));
}

}  // namespace
