// Every hash against the FIPS 180-4 example messages and their published
// digests: the empty message, "abc", the 448-bit and 896-bit two-block
// messages (the second one crosses SHA-256's padding boundary) and a million
// 'a', fed in pieces of changing size so that buffered and direct blocks mix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "messagedigest.h"

namespace {

std::string hexOf(const std::uint8_t* bytes, std::size_t length) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 0x0F];
    }
    return text;
}

const std::string MESSAGE_448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
const std::string MESSAGE_896 =
    "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
const std::string MILLION_A(1000000, 'a');

struct KnownAnswer {
    const char* name;
    HashAlgorithm algorithm;
    const std::string* message;
    const char* digest;
};

void PrintTo(const KnownAnswer& c, std::ostream* os) { *os << c.name; }

const std::string EMPTY;
const std::string ABC = "abc";

const KnownAnswer KNOWN_ANSWERS[] = {
    {"sha1 empty", HashAlgorithm::SHA1, &EMPTY, "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"sha1 abc", HashAlgorithm::SHA1, &ABC, "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"sha1 448", HashAlgorithm::SHA1, &MESSAGE_448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"sha1 896", HashAlgorithm::SHA1, &MESSAGE_896, "a49b2446a02c645bf419f995b67091253a04a259"},
    {"sha1 million", HashAlgorithm::SHA1, &MILLION_A, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {"sha224 empty", HashAlgorithm::SHA224, &EMPTY, "d14a028c2a3a2bc9476102bb288234c415a2b01f828ea62ac5b3e42f"},
    {"sha224 abc", HashAlgorithm::SHA224, &ABC, "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
    {"sha224 448", HashAlgorithm::SHA224, &MESSAGE_448, "75388b16512776cc5dba5da1fd890150b0c6455cb4f58b1952522525"},
    {"sha224 896", HashAlgorithm::SHA224, &MESSAGE_896, "c97ca9a559850ce97a04a96def6d99a9e0e0e2ab14e6b8df265fc0b3"},
    {"sha224 million", HashAlgorithm::SHA224, &MILLION_A, "20794655980c91d8bbb4c1ea97618a4bf03f42581948b2ee4ee7ad67"},
    {"sha256 abc", HashAlgorithm::SHA256, &ABC, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"sha256 448", HashAlgorithm::SHA256, &MESSAGE_448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"sha384 empty", HashAlgorithm::SHA384, &EMPTY,
     "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
    {"sha384 abc", HashAlgorithm::SHA384, &ABC,
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {"sha384 448", HashAlgorithm::SHA384, &MESSAGE_448,
     "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b"},
    {"sha384 896", HashAlgorithm::SHA384, &MESSAGE_896,
     "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
    {"sha384 million", HashAlgorithm::SHA384, &MILLION_A,
     "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
    {"sha512 empty", HashAlgorithm::SHA512, &EMPTY,
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f"
     "63b931bd47417a81a538327af927da3e"},
    {"sha512 abc", HashAlgorithm::SHA512, &ABC,
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd"
     "454d4423643ce80e2a9ac94fa54ca49f"},
    {"sha512 448", HashAlgorithm::SHA512, &MESSAGE_448,
     "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca0"
     "31ad85c7a71dd70354ec631238ca3445"},
    {"sha512 896", HashAlgorithm::SHA512, &MESSAGE_896,
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433a"
     "c7d329eeb6dd26545e96e55b874be909"},
    {"sha512 million", HashAlgorithm::SHA512, &MILLION_A,
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31b"
     "eb009c5c2c49aa2e4eadb217ad8cc09b"},
};

class Digests : public ::testing::TestWithParam<KnownAnswer> {};

TEST_P(Digests, OneBufferGivesThePublishedDigest) {
    const KnownAnswer& c = GetParam();
    std::uint8_t digest[MessageDigest::MAX_DIGEST_SIZE];
    MessageDigest::digest(c.algorithm, c.message->data(), c.message->size(), digest);
    EXPECT_EQ(c.digest, hexOf(digest, MessageDigest::digestSize(c.algorithm)));
}

TEST_P(Digests, PiecesOfChangingSizeGiveTheSameDigest) {
    const KnownAnswer& c = GetParam();
    MessageDigest hash(c.algorithm);
    std::size_t offset = 0;
    for (std::size_t piece = 1; offset < c.message->size(); piece = piece % 131 + 7) {
        const std::size_t take = std::min(piece, c.message->size() - offset);
        hash.update(c.message->data() + offset, take);
        offset += take;
    }
    std::uint8_t digest[MessageDigest::MAX_DIGEST_SIZE];
    MessageDigest fork = hash;  // a copy finishes independently
    fork.final(digest);
    EXPECT_EQ(c.digest, hexOf(digest, hash.digestSize()));
    hash.final(digest);
    EXPECT_EQ(c.digest, hexOf(digest, hash.digestSize()));
}

INSTANTIATE_TEST_SUITE_P(Fips180, Digests, ::testing::ValuesIn(KNOWN_ANSWERS));

}  // namespace
