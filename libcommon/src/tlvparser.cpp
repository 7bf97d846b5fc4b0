#include "tlvparser.h"

namespace {

constexpr std::uint8_t CONSTRUCTED = 0x20;
constexpr std::uint8_t LONG_LENGTH = 0x80;
constexpr unsigned MAX_LENGTH_BYTES = 8;

}  // namespace

TlvReader::TlvReader(const void* data, std::uint64_t size)
    : data(static_cast<const std::uint8_t*>(data)), size(data != nullptr ? size : 0) {}

std::uint64_t TlvReader::limit() const { return depth > 0 ? ends[depth - 1] : size; }

const std::uint8_t* TlvReader::take(std::uint64_t n) {
    if (n > limit() - offset) {
        throw TlvParserException("TlvReader - reading after end of data");
    }
    const std::uint8_t* bytes = data + offset;
    offset += n;
    return bytes;
}

std::uint64_t TlvReader::readLength() {
    const std::uint8_t first = *take(1);
    if ((first & LONG_LENGTH) == 0) {
        return first;
    }
    const unsigned count = first & 0x7Fu;
    if (count > MAX_LENGTH_BYTES) {
        throw TlvParserException("invalid size of extended length");
    }
    std::uint64_t length = 0;
    for (unsigned i = 0; i < count; ++i) {
        length = (length << 8) | *take(1);
    }
    return length;
}

void TlvReader::readNext(std::uint8_t tag, void* buffer, std::uint64_t* length, bool includeHeader,
                         bool skip) {
    // An element starts after the entered elements that are read to their
    // end: it is their next sibling.
    while (depth > 0 && ends[depth - 1] == offset) {
        --depth;
    }
    const std::uint64_t start = offset;
    const std::uint8_t actual = *take(1);
    if (actual != tag) {
        throw TlvParserException("unexpected tag [actual=0x%X, requested=0x%X]",
                                 static_cast<unsigned>(actual), static_cast<unsigned>(tag));
    }
    const std::uint64_t valueLength = readLength();
    if (valueLength > limit() - offset) {
        throw TlvParserException("length %llu exceeds the size of buffer",
                                 static_cast<unsigned long long>(valueLength));
    }
    const std::uint64_t headerLength = offset - start;

    if (length != nullptr) {
        // Cannot overflow: the value lies inside the input.
        const std::uint64_t elementSize = valueLength + (includeHeader ? headerLength : 0);
        if (buffer == nullptr) {
            *length = elementSize;
            offset = start;
            return;
        }
        if (*length < elementSize) {
            throw TlvParserException("insufficient size of buffer [actual=%llu, requested=%llu]",
                                     static_cast<unsigned long long>(*length),
                                     static_cast<unsigned long long>(elementSize));
        }
        const std::uint8_t* from = includeHeader ? data + start : data + offset;
        take(valueLength);
        std::memcpy(buffer, from, static_cast<std::size_t>(elementSize));
        *length = elementSize;
        return;
    }
    if ((tag & CONSTRUCTED) != 0 && !skip) {
        // Entered: the next read is the first child, and the children end
        // where this element does.
        if (depth == MAX_DEPTH) {
            throw TlvParserException("elements nested deeper than %u", MAX_DEPTH);
        }
        ends[depth++] = offset + valueLength;
        return;
    }
    take(valueLength);
}

TlvReader TlvReader::readConstructed(std::uint8_t tag) {
    if ((tag & CONSTRUCTED) == 0) {
        throw TlvParserException("tag 0x%X is not constructed", static_cast<unsigned>(tag));
    }
    // The size query checks the tag and the bounds and consumes nothing.
    std::uint64_t valueLength = 0;
    readNext(tag, nullptr, &valueLength, false, false);
    take(1);
    readLength();
    const std::uint8_t* value = take(valueLength);
    return TlvReader(value, valueLength);
}

LvReader::LvReader(const void* data, std::uint64_t size)
    : data(static_cast<const std::uint8_t*>(data)), size(data != nullptr ? size : 0) {}

const std::uint8_t* LvReader::take(std::uint64_t n, const char* failure) {
    if (n > size - offset) {
        throw LvParserException("%s", failure);
    }
    const std::uint8_t* bytes = data + offset;
    offset += n;
    return bytes;
}

bool LvReader::read(void* buffer, std::uint64_t* length, unsigned flags) {
    if (length == nullptr) {
        throw InvalidArgumentException::nullPointer("length", "LvReader::read", __FILE__, __LINE__);
    }
    if (offset >= size) {
        throw LvParserException("LvReader - reading after end of data");
    }
    const std::uint8_t itemLength = data[offset];
    if (itemLength == LvWriter::ABSENT) {
        if ((flags & FLAG_MANDATORY) != 0) {
            throw LvParserException("mandatory value not present");
        }
        take(1, "LvReader - reading after end of data");
        *length = 0;
        return false;
    }
    if ((flags & FLAG_EXACT_SIZE) != 0 && *length != itemLength) {
        throw LvParserException("unexpected size of data (expected = %llu, actual = %u)",
                                static_cast<unsigned long long>(*length),
                                static_cast<unsigned>(itemLength));
    }
    if (itemLength > size - offset - 1) {
        throw LvParserException("length would exceed the input buffer");
    }
    if (itemLength > *length) {
        throw LvParserException("insufficient buffer to store data into (requested = %u, actual = %llu)",
                                static_cast<unsigned>(itemLength),
                                static_cast<unsigned long long>(*length));
    }
    if (buffer == nullptr && itemLength > 0) {
        throw InvalidArgumentException::nullPointer("buffer", "LvReader::read", __FILE__, __LINE__);
    }
    take(1, "LvReader - reading after end of data");
    const std::uint8_t* value = take(itemLength, "length would exceed the input buffer");
    if (itemLength > 0) {
        std::memcpy(buffer, value, itemLength);
    }
    *length = itemLength;
    return true;
}

LvWriter::LvWriter() noexcept : buffer{} {}

void LvWriter::ensureRoom(std::uint64_t needed) const {
    if (needed > CAPACITY - used) {
        throw LvParserException("insufficient buffer to write data into (requested = %llu, avaliable= %llu)",
                                static_cast<unsigned long long>(needed),
                                static_cast<unsigned long long>(CAPACITY - used));
    }
}

void LvWriter::write(const void* bytes, std::uint64_t length) {
    if (length > MAX_VALUE_LENGTH) {
        throw LvParserException("unsupported data size (supported = 0xFE, requested= 0x%llX)",
                                static_cast<unsigned long long>(length));
    }
    if (bytes == nullptr && length > 0) {
        throw InvalidArgumentException::nullPointer("bytes", "LvWriter::write", __FILE__, __LINE__);
    }
    ensureRoom(length + 1);
    buffer[used] = static_cast<std::uint8_t>(length);
    if (length > 0) {
        std::memcpy(buffer + used + 1, bytes, static_cast<std::size_t>(length));
    }
    used += length + 1;
}

void LvWriter::writeAbsent() {
    ensureRoom(1);
    buffer[used++] = ABSENT;
}
