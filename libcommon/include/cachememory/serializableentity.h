// An object that can be stored in a cache file and rebuilt from it.
//
// A record is exactly what writeStream produces: it carries no length, type or
// separator of its own, so every record is built only from the primitives
// below, which makes it self-delimiting:
//   - integers as 1, 2 or 4 bytes, little-endian; booleans as one byte 0 or 1;
//   - a fixed-capacity buffer as its 32-bit length followed by that many bytes.
// A reader never trusts a stored length: a buffer length above the buffer's
// capacity (or the smaller limit its owner gives) fails before anything is
// copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>

#include "staticbuffer.h"

class SerializableEntity {
public:
    SerializableEntity() = default;
    SerializableEntity(const SerializableEntity&) = default;
    SerializableEntity& operator=(const SerializableEntity&) = default;
    virtual ~SerializableEntity() = default;

    virtual void writeStream(std::ostream& stream) const = 0;
    virtual void readStream(std::istream& stream) = 0;
    // Negative, zero or positive as this entity orders before, equal to or
    // after the other one. Entities of one kind only are ever compared.
    virtual std::int32_t compare(const SerializableEntity& other) const = 0;

    // Stream primitives. Every failure throws SerializationException after a
    // line in the trace log; a null data pointer is an InvalidArgumentException.
    static void writeBytes(std::ostream& stream, const void* data, std::size_t size);
    static void readBytes(std::istream& stream, void* data, std::size_t size);

    static void writeUint8(std::ostream& stream, std::uint8_t value);
    static void writeUint16(std::ostream& stream, std::uint16_t value);
    static void writeUint32(std::ostream& stream, std::uint32_t value);
    static void writeBool(std::ostream& stream, bool value);
    static std::uint8_t readUint8(std::istream& stream);
    static std::uint16_t readUint16(std::istream& stream);
    static std::uint32_t readUint32(std::istream& stream);
    // Only 0 and 1 are booleans; any other byte means the record is not one
    // of ours.
    static bool readBool(std::istream& stream);

    template <std::size_t N>
    static void writeBuffer(std::ostream& stream, const StaticBuffer<N>& buffer) {
        writeBufferBytes(stream, buffer.data, buffer.length);
    }

    // Reads a buffer written by writeBuffer. `maxLength` may narrow the
    // capacity (object contents are limited to 16-bit sizes); a longer stored
    // length leaves the buffer untouched and throws.
    template <std::size_t N>
    static void readBuffer(std::istream& stream, StaticBuffer<N>& buffer,
                           std::size_t maxLength = N) {
        std::uint32_t length = readBufferLength(stream, maxLength < N ? maxLength : N);
        readBytes(stream, buffer.data, length);
        buffer.length = length;
    }

protected:
    // The two halves of the buffer format (32-bit length, then the bytes),
    // for entities that keep a byte string in a container of its own size.
    static void writeBufferBytes(std::ostream& stream, const std::uint8_t* data,
                                 std::uint64_t length);
    static std::uint32_t readBufferLength(std::istream& stream, std::size_t maxLength);
};

// memcmp-style ordering of two byte strings: the shorter one is smaller;
// strings of equal length compare bytewise as unsigned bytes.
std::int32_t compareByteStrings(const std::uint8_t* left, std::size_t leftLength,
                                const std::uint8_t* right, std::size_t rightLength) noexcept;

template <std::size_t N, std::size_t M>
std::int32_t compareByteStrings(const StaticBuffer<N>& left, const StaticBuffer<M>& right) noexcept {
    return compareByteStrings(left.data, static_cast<std::size_t>(left.length), right.data,
                              static_cast<std::size_t>(right.length));
}
