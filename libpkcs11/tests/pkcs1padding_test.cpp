// The PKCS #1 v1.5 blocks around the card's raw RSA operation: the type 1
// block built for signing and the type 2 block checked after decryption,
// with the failures and their order of precedence.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "internal/utils.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes sequence(std::size_t length, std::uint8_t first) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

// 00 01 FF.. 00 data, built independently of the routine under test.
Bytes expectedType1(const Bytes& data, std::size_t k) {
    Bytes block{0x00, 0x01};
    block.insert(block.end(), k - data.size() - 3, 0xFF);
    block.push_back(0x00);
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

struct PadCase {
    std::size_t dataLength;
    std::size_t k;
};

void PrintTo(const PadCase& c, std::ostream* os) { *os << "d=" << c.dataLength << " k=" << c.k; }

class SignaturePadding : public ::testing::TestWithParam<PadCase> {};

TEST_P(SignaturePadding, BuildsTheType1Block) {
    const Bytes data = sequence(GetParam().dataLength, 0x10);
    Bytes block(GetParam().k, 0xAA);
    pkcs1padSigniturePadding(data.data(), data.size(), block.data(), block.size());
    EXPECT_EQ(expectedType1(data, GetParam().k), block);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SignaturePadding,
                         ::testing::Values(PadCase{0, 128}, PadCase{35, 128}, PadCase{51, 128},
                                           PadCase{117, 128}, PadCase{0, 11}, PadCase{19, 256},
                                           PadCase{245, 256}));

TEST(SignaturePaddingLimits, DataLeavingFewerThanEightPaddingBytesIsRefused) {
    for (const PadCase c : {PadCase{118, 128}, PadCase{246, 256}, PadCase{1, 11}, PadCase{0, 10},
                            PadCase{300, 256}}) {
        SCOPED_TRACE(std::to_string(c.dataLength) + "/" + std::to_string(c.k));
        const Bytes data(c.dataLength, 0x5A);
        Bytes block(c.k);
        try {
            pkcs1padSigniturePadding(data.data(), data.size(), block.data(), block.size());
            ADD_FAILURE() << "no exception";
        } catch (const InvalidPlainTextDataLength& e) {
            EXPECT_EQ("Invalid lenght of plain text data [length=" + std::to_string(c.dataLength) + "]",
                      std::string(e.what()));
        }
    }
}

TEST(SignaturePaddingLimits, NullBlockIsRefusedNotWritten) {
    const Bytes data(4, 1);
    EXPECT_THROW(pkcs1padSigniturePadding(data.data(), data.size(), nullptr, 128), InvalidArgumentException);
    Bytes block(128);
    EXPECT_THROW(pkcs1padSigniturePadding(nullptr, 4, block.data(), block.size()), InvalidArgumentException);
}

// What a type 2 check answers: the message, or the exception's text.
std::string unpad(const Bytes& block) {
    const std::uint8_t* message = nullptr;
    std::size_t length = 0;
    try {
        pkcs1unpadEncryptionPadding(block.empty() ? nullptr : block.data(), block.size(), &message, &length);
    } catch (const VxException& e) {
        return std::string("error: ") + e.what();
    }
    if (message < block.data() || message + length != block.data() + block.size()) return "message outside block";
    return "message: " + std::string(message, message + length);
}

// 00 02, `padding` non-zero bytes, 00, message.
Bytes type2(std::size_t padding, const std::string& message) {
    Bytes block{0x00, 0x02};
    for (std::size_t i = 0; i < padding; ++i) block.push_back(static_cast<std::uint8_t>(0x01 + i % 0xFE));
    block.push_back(0x00);
    block.insert(block.end(), message.begin(), message.end());
    return block;
}

Bytes with(Bytes block, std::size_t index, std::uint8_t value) {
    block[index] = value;
    return block;
}

const std::string BAD_HEADER = "error: Invalid format of encrypted data [invalid beginning of padding header (0x00 | 0x02)]";
const std::string NO_SEPARATOR = "error: Invalid format of encrypted data [invalid ending of padding header (not ends with 0x00)]";
const std::string SHORT_PADDING = "error: Invalid format of encrypted data [invalid length of PS in padding (less than 8 bytes)]";

struct UnpadCase {
    const char* name;
    Bytes block;
    std::string expected;
};

void PrintTo(const UnpadCase& c, std::ostream* os) { *os << c.name; }

class EncryptionUnpadding : public ::testing::TestWithParam<UnpadCase> {};

TEST_P(EncryptionUnpadding, AnswersAsExpected) { EXPECT_EQ(GetParam().expected, unpad(GetParam().block)); }

INSTANTIATE_TEST_SUITE_P(
    Blocks, EncryptionUnpadding,
    ::testing::Values(
        UnpadCase{"ten bytes", Bytes(10, 0), "error: Invalid lenght of encrypted data [length=10]"},
        UnpadCase{"short block checked before its header", Bytes{0x01, 0x05, 0x00}, "error: Invalid lenght of encrypted data [length=3]"},
        UnpadCase{"first byte not zero", with(type2(8, "abc"), 0, 0x01), BAD_HEADER},
        UnpadCase{"block type 1", with(type2(8, "abc"), 1, 0x01), BAD_HEADER},
        UnpadCase{"bad header wins over a missing separator", with(Bytes(128, 0xFF), 1, 0x01), BAD_HEADER},
        UnpadCase{"no separator", with(with(Bytes(128, 0x33), 0, 0x00), 1, 0x02), NO_SEPARATOR},
        UnpadCase{"seven padding bytes", type2(7, "message"), SHORT_PADDING},
        UnpadCase{"separator right after the header", type2(0, std::string(20, 'x')), SHORT_PADDING},
        UnpadCase{"eight padding bytes", type2(8, "message"), "message: message"},
        UnpadCase{"empty message", type2(125, ""), "message: "},
        UnpadCase{"message with zero bytes after the separator", type2(8, std::string("a\0b\0", 4)),
                  "message: " + std::string("a\0b\0", 4)},
        UnpadCase{"2048-bit block with a 32-byte message", type2(256 - 35, std::string(32, 'k')),
                  "message: " + std::string(32, 'k')},
        UnpadCase{"eleven bytes, empty message", type2(8, ""), "message: "}));

// The null-pointer message carries the source line; only its start is fixed.
TEST(EncryptionUnpaddingNull, NamesTheBuffer) {
    const std::string answer = unpad({});
    EXPECT_EQ(0u, answer.find("error: Null pointer exception <buffer> [pkcs1unpadEncryptionPadding()")) << answer;
}

TEST(EncryptionUnpaddingRoundTrip, EveryMessageLengthOfA1024BitBlockIsFound) {
    for (std::size_t length = 0; length <= 117; ++length) {
        const std::string message(length, static_cast<char>('A' + length % 26));
        EXPECT_EQ("message: " + message, unpad(type2(128 - 3 - length, message))) << length;
    }
}

TEST(WipedBlocks, AreZeroAfterWiping) {
    std::uint8_t bytes[16];
    for (auto& b : bytes) b = 0xC3;
    wipeBytes(bytes, sizeof bytes);
    for (auto b : bytes) EXPECT_EQ(0, b);
}

}  // namespace

namespace {

// A ciphertext must be below the modulus; leading zero bytes of either do
// not count, and an unknown (empty) modulus leaves the judgement to the card.
TEST(CiphertextRange, OnlyNumbersBelowTheModulusAreCiphertexts) {
    const struct {
        const char* name;
        Bytes value;
        Bytes modulus;
        bool below;
    } cases[] = {
        {"one less", {0xC0, 0x00}, {0xC0, 0x01}, true},
        {"equal", {0xC0, 0x01}, {0xC0, 0x01}, false},
        {"above in the last byte", {0xC0, 0x02}, {0xC0, 0x01}, false},
        {"above in the first byte", {0xFF, 0x00}, {0xC0, 0x01}, false},
        {"leading zeros of the value", {0x00, 0x00, 0xC0, 0x00}, {0xC0, 0x01}, true},
        {"leading zeros of the modulus", {0x7F, 0x01}, {0x00, 0x7F, 0x02}, true},
        {"shorter modulus", {0x01, 0x00, 0x00}, {0x00, 0xFF, 0xFF}, false},
        {"unknown modulus", {0xFF, 0xFF}, {}, true},
    };
    for (const auto& c : cases) {
        const StaticBuffer<256> modulus(c.modulus.data(), c.modulus.size());
        EXPECT_EQ(c.below, isBelowModulus(c.value.data(), c.value.size(), modulus)) << c.name;
    }
}

}  // namespace
