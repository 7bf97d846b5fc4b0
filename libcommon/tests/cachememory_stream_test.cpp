// The stream primitives that every cache record is built from.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cachememory/serializableentity.h"
#include "vxexception.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::ostringstream& out) {
    std::string text = out.str();
    return Bytes(text.begin(), text.end());
}

std::istringstream streamOf(const Bytes& bytes) {
    return std::istringstream(std::string(bytes.begin(), bytes.end()), std::ios::binary);
}

TEST(SerializableEntityStream, IntegersAreLittleEndianAndBooleansOneByte) {
    std::ostringstream out(std::ios::binary);
    SerializableEntity::writeUint8(out, 0xA1);
    SerializableEntity::writeUint16(out, 0xB2C3);
    SerializableEntity::writeUint32(out, 0xD4E5F607);
    SerializableEntity::writeBool(out, true);
    SerializableEntity::writeBool(out, false);
    EXPECT_EQ((Bytes{0xA1, 0xC3, 0xB2, 0x07, 0xF6, 0xE5, 0xD4, 0x01, 0x00}), bytesOf(out));

    std::istringstream in = streamOf(bytesOf(out));
    EXPECT_EQ(0xA1, SerializableEntity::readUint8(in));
    EXPECT_EQ(0xB2C3, SerializableEntity::readUint16(in));
    EXPECT_EQ(0xD4E5F607u, SerializableEntity::readUint32(in));
    EXPECT_TRUE(SerializableEntity::readBool(in));
    EXPECT_FALSE(SerializableEntity::readBool(in));
}

TEST(SerializableEntityStream, BufferIsItsLengthThenItsBytes) {
    const std::uint8_t id[] = {0x01, 0x02, 0x03};
    StaticBuffer<128> buffer(id, sizeof id);
    std::ostringstream out(std::ios::binary);
    SerializableEntity::writeBuffer(out, buffer);
    SerializableEntity::writeBuffer(out, StaticBuffer<8>());
    EXPECT_EQ((Bytes{3, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0}), bytesOf(out));

    std::istringstream in = streamOf(bytesOf(out));
    StaticBuffer<128> readBack;
    StaticBuffer<8> empty(id, 2);
    SerializableEntity::readBuffer(in, readBack);
    SerializableEntity::readBuffer(in, empty);
    EXPECT_TRUE(readBack == buffer);
    EXPECT_EQ(0u, empty.length);
}

TEST(SerializableEntityStream, StoredLengthAboveCapacityThrowsAndLeavesTheBufferAlone) {
    struct Case {
        std::uint32_t storedLength;
        std::size_t limit;
    };
    const Case cases[] = {{9, 8}, {0xFFFFFFFF, 8}, {5, 4}};
    for (const Case& c : cases) {
        Bytes bytes = {static_cast<std::uint8_t>(c.storedLength),
                       static_cast<std::uint8_t>(c.storedLength >> 8),
                       static_cast<std::uint8_t>(c.storedLength >> 16),
                       static_cast<std::uint8_t>(c.storedLength >> 24)};
        bytes.resize(bytes.size() + 16, 0xEE);
        std::istringstream in = streamOf(bytes);
        const std::uint8_t before[] = {0x42};
        StaticBuffer<8> buffer(before, 1);
        EXPECT_THROW(SerializableEntity::readBuffer(in, buffer, c.limit), SerializationException)
            << c.storedLength;
        EXPECT_EQ(1u, buffer.length);
        EXPECT_EQ(0x42, buffer.data[0]);
        EXPECT_EQ(0, buffer.data[1]);
    }
}

TEST(SerializableEntityStream, ReadingPastTheEndThrowsSerializationException) {
    std::istringstream in = streamOf(Bytes{1, 2, 3});
    EXPECT_THROW(SerializableEntity::readUint32(in), SerializationException);

    std::istringstream shortBuffer = streamOf(Bytes{4, 0, 0, 0, 1, 2});
    StaticBuffer<8> buffer;
    EXPECT_THROW(SerializableEntity::readBuffer(shortBuffer, buffer), SerializationException);
    EXPECT_EQ(0u, buffer.length);
}

TEST(SerializableEntityStream, SerializationExceptionCarriesItsMessage) {
    std::istringstream in = streamOf(Bytes{});
    try {
        SerializableEntity::readUint8(in);
        FAIL() << "no exception";
    } catch (const SerializationException& e) {
        EXPECT_STREQ("Error in serialization/deserialization within a stream", e.what());
    }
}

TEST(SerializableEntityStream, BooleanOtherThanZeroOrOneIsRejected) {
    for (std::uint8_t value : {2, 0x80, 0xFF}) {
        std::istringstream in = streamOf(Bytes{value});
        EXPECT_THROW(SerializableEntity::readBool(in), SerializationException) << int(value);
    }
}

TEST(SerializableEntityStream, WritingToAFailedStreamThrows) {
    std::ostringstream out(std::ios::binary);
    out.setstate(std::ios::badbit);
    EXPECT_THROW(SerializableEntity::writeUint16(out, 1), SerializationException);
}

TEST(SerializableEntityStream, NullDataIsAnArgumentError) {
    std::ostringstream out(std::ios::binary);
    std::istringstream in = streamOf(Bytes{1, 2});
    try {
        SerializableEntity::writeBytes(out, nullptr, 1);
        FAIL() << "no exception";
    } catch (const InvalidArgumentException& e) {
        EXPECT_EQ(std::size_t{0}, std::string(e.what()).rfind("Null pointer exception <data> [", 0)) << e.what();
    }
    EXPECT_THROW(SerializableEntity::readBytes(in, nullptr, 1), InvalidArgumentException);
}

TEST(CompareByteStrings, ShorterIsSmallerAndEqualLengthsCompareAsUnsignedBytes) {
    struct Case {
        Bytes left;
        Bytes right;
        int expectedSign;
    };
    const Case cases[] = {
        {{0x01, 0x02}, {0x01, 0x02, 0x03}, -1},
        {{0x01, 0x03}, {0x01, 0x02}, 1},
        {{0x01, 0x02}, {0x01, 0x02}, 0},
        {{}, {}, 0},
        {{}, {0x00}, -1},
        {{0xFF}, {0x01, 0x00}, -1},
        {{0x80}, {0x7F}, 1},
    };
    for (const Case& c : cases) {
        std::int32_t result =
            compareByteStrings(c.left.data(), c.left.size(), c.right.data(), c.right.size());
        int sign = (result > 0) - (result < 0);
        EXPECT_EQ(c.expectedSign, sign) << "left size " << c.left.size();
        std::int32_t reverse =
            compareByteStrings(c.right.data(), c.right.size(), c.left.data(), c.left.size());
        EXPECT_EQ(-c.expectedSign, (reverse > 0) - (reverse < 0));
    }
}

}  // namespace
