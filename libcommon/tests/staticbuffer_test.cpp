#include "staticbuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

template <std::size_t N>
bool tailIsZero(const StaticBuffer<N>& buffer) {
    for (std::size_t i = buffer.size(); i < N; ++i) {
        if (buffer.data[i] != 0) {
            return false;
        }
    }
    return true;
}

std::string messageOf(std::size_t length) {
    std::vector<unsigned char> bytes(length, 0xAB);
    try {
        StaticBuffer<128> buffer(bytes.data(), bytes.size());
        return "";
    } catch (const InvalidArgumentException& e) {
        return e.what();
    }
}

TEST(StaticBuffer, DefaultIsEmptyAndZero) {
    StaticBuffer<8> buffer;
    EXPECT_EQ(0u, buffer.length);
    EXPECT_TRUE(tailIsZero(buffer));
}

struct LengthCase {
    std::size_t length;
    bool accepted;
};

class StaticBufferBounds : public ::testing::TestWithParam<LengthCase> {};

TEST_P(StaticBufferBounds, AcceptsUpToCapacity) {
    const LengthCase& c = GetParam();
    const std::string message = messageOf(c.length);
    if (c.accepted) {
        EXPECT_EQ("", message);
    } else {
        EXPECT_EQ("Invalid argument range exception <length> [" + std::to_string(c.length) +
                      "] not inside <0,128> [StaticBuffer<128>::StaticBuffer() staticbuffer.h:" ,
                  message.substr(0, message.rfind(':') + 1));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, StaticBufferBounds,
                         ::testing::Values(LengthCase{0, true}, LengthCase{1, true}, LengthCase{127, true},
                                           LengthCase{128, true}, LengthCase{129, false},
                                           LengthCase{65536, false}));

TEST(StaticBuffer, CopiesBytesAndZeroesTheRest) {
    const unsigned char bytes[] = {1, 2, 3, 4, 5};
    StaticBuffer<8> buffer(bytes, sizeof bytes);
    EXPECT_EQ(5u, buffer.length);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 5), std::vector<unsigned char>(buffer.begin(), buffer.end()));
    EXPECT_TRUE(tailIsZero(buffer));
}

TEST(StaticBuffer, CopyCopiesDataAndLength) {
    const StaticBuffer<8> original("abc", 3);
    StaticBuffer<8> copy;
    copy = original;
    EXPECT_EQ(3u, copy.length);
    EXPECT_TRUE(copy == original);
    StaticBuffer<16> wider("abc", 3);
    EXPECT_TRUE(original == wider);
    EXPECT_FALSE(original == StaticBuffer<8>("abd", 3));
    EXPECT_FALSE(original == StaticBuffer<8>("ab", 2));
}

TEST(StaticBuffer, FailedAssignLeavesContent) {
    StaticBuffer<4> buffer("abcd", 4);
    EXPECT_THROW(buffer.assign("abcde", 5), InvalidArgumentException);
    EXPECT_EQ(4u, buffer.length);
    EXPECT_EQ('d', buffer.data[3]);
    buffer.assign("x", 1);
    EXPECT_EQ(1u, buffer.length);
    EXPECT_TRUE(tailIsZero(buffer));
}

TEST(StaticBuffer, NullBytesWithLengthIsANullPointerError) {
    try {
        StaticBuffer<8> buffer(nullptr, 3);
        FAIL() << "no exception";
    } catch (const InvalidArgumentException& e) {
        EXPECT_EQ(0, std::string(e.what()).find("Null pointer exception <bytes> [StaticBuffer<8>::StaticBuffer()"))
            << e.what();
    }
    StaticBuffer<8> empty(nullptr, 0);
    EXPECT_EQ(0u, empty.length);
}

TEST(StaticBuffer, ClearZeroesEverything) {
    StaticBuffer<8> pin("123456", 6);
    pin.clear();
    EXPECT_EQ(0u, pin.length);
    EXPECT_TRUE(tailIsZero(pin));
}

TEST(StaticBuffer, DefaultPublicExponentIs65537) {
    EXPECT_EQ(3u, DEFAULT_PUBLIC_EXPONENT.length);
    EXPECT_EQ(0x01, DEFAULT_PUBLIC_EXPONENT.data[0]);
    EXPECT_EQ(0x00, DEFAULT_PUBLIC_EXPONENT.data[1]);
    EXPECT_EQ(0x01, DEFAULT_PUBLIC_EXPONENT.data[2]);
    EXPECT_TRUE(tailIsZero(DEFAULT_PUBLIC_EXPONENT));
    EXPECT_EQ(256u, DEFAULT_PUBLIC_EXPONENT.capacity());
}

}  // namespace
