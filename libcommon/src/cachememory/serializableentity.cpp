#include "cachememory/serializableentity.h"

#include <cstring>

#include "logger.h"
#include "vxexception.h"

// The primitives are used by the card objects' records, so they log under the
// card driver's facility.

namespace {

[[noreturn]] void failRead() {
    Logger::instance().log(LOG_FACILITY_AMWFERRIX, L"readStream(): stream not good");
    throw SerializationException();
}

[[noreturn]] void failWrite() {
    Logger::instance().log(LOG_FACILITY_AMWFERRIX, L"writeStream(): stream not good");
    throw SerializationException();
}

}  // namespace

void SerializableEntity::writeBytes(std::ostream& stream, const void* data, std::size_t size) {
    if (data == nullptr) {
        throw InvalidArgumentException::nullPointer("data", "SerializableEntity::writeBytes",
                                                    __FILE__, __LINE__);
    }
    stream.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!stream.good()) {
        failWrite();
    }
}

void SerializableEntity::readBytes(std::istream& stream, void* data, std::size_t size) {
    if (data == nullptr) {
        throw InvalidArgumentException::nullPointer("data", "SerializableEntity::readBytes",
                                                    __FILE__, __LINE__);
    }
    stream.read(static_cast<char*>(data), static_cast<std::streamsize>(size));
    if (!stream.good()) {
        failRead();
    }
}

void SerializableEntity::writeUint8(std::ostream& stream, std::uint8_t value) {
    writeBytes(stream, &value, 1);
}

void SerializableEntity::writeUint16(std::ostream& stream, std::uint16_t value) {
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(value & 0xFF),
                                   static_cast<std::uint8_t>(value >> 8)};
    writeBytes(stream, bytes, sizeof bytes);
}

void SerializableEntity::writeUint32(std::ostream& stream, std::uint32_t value) {
    std::uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF);
    }
    writeBytes(stream, bytes, sizeof bytes);
}

void SerializableEntity::writeBool(std::ostream& stream, bool value) {
    writeUint8(stream, value ? 1 : 0);
}

std::uint8_t SerializableEntity::readUint8(std::istream& stream) {
    std::uint8_t value = 0;
    readBytes(stream, &value, 1);
    return value;
}

std::uint16_t SerializableEntity::readUint16(std::istream& stream) {
    std::uint8_t bytes[2];
    readBytes(stream, bytes, sizeof bytes);
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t SerializableEntity::readUint32(std::istream& stream) {
    std::uint8_t bytes[4];
    readBytes(stream, bytes, sizeof bytes);
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

bool SerializableEntity::readBool(std::istream& stream) {
    std::uint8_t value = readUint8(stream);
    if (value > 1) {
        Logger::instance().log(LOG_FACILITY_AMWFERRIX, L"readStream(): invalid boolean value (%d)",
                               static_cast<int>(value));
        throw SerializationException();
    }
    return value == 1;
}

void SerializableEntity::writeBufferBytes(std::ostream& stream, const std::uint8_t* data,
                                          std::uint64_t length) {
    // A buffer never holds more than its capacity, and capacities are far
    // below 4 GiB, so the length always fits its 32-bit field.
    writeUint32(stream, static_cast<std::uint32_t>(length));
    if (length > 0) {
        writeBytes(stream, data, static_cast<std::size_t>(length));
    }
}

std::uint32_t SerializableEntity::readBufferLength(std::istream& stream, std::size_t maxLength) {
    std::uint32_t length = readUint32(stream);
    if (length > maxLength) {
        Logger::instance().log(LOG_FACILITY_AMWFERRIX,
                               L"readStream(): invalid size of static buffer (size:%d, max_size:%d)",
                               static_cast<int>(length), static_cast<int>(maxLength));
        throw SerializationException();
    }
    return length;
}

std::int32_t compareByteStrings(const std::uint8_t* left, std::size_t leftLength,
                                const std::uint8_t* right, std::size_t rightLength) noexcept {
    if (leftLength != rightLength) {
        return leftLength < rightLength ? -1 : 1;
    }
    if (leftLength == 0) {
        return 0;
    }
    int result = std::memcmp(left, right, leftLength);
    return result < 0 ? -1 : (result > 0 ? 1 : 0);
}
