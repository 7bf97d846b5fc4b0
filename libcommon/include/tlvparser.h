// Cursors over encoded bytes that they do not own.
//
// BER-TLV (TlvReader), as in DER-encoded X.509 certificates:
//   tag     one byte; bit 0x20 marks a constructed element (children inside);
//           multi-byte tag numbers are not supported
//   length  one byte below 0x80 is the length itself; 0x80 + n announces n
//           big-endian length bytes (n from 0 to 8; n = 0 reads as length 0)
//   value   `length` bytes
//
// Length-value (LvReader, LvWriter), as in the card's object metadata:
//   one length byte L from 0 to 0xFE, then L value bytes; a length byte of
//   0xFF stands for an absent value and has no value bytes.
//
// An entered constructed element bounds everything read inside it: a child
// whose header or value would run past its parent's end fails as if the
// input ended there, and once the parent's value has been read the next read
// is the parent's next sibling. Nesting deeper than MAX_DEPTH fails.
//
// Every bound is checked by comparing the wanted count with what is left
// (n > limit - offset), never by forming a pointer past the end. A failed read
// throws TlvParserException / LvParserException and leaves the cursor where
// the failure happened; callers discard the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "staticbuffer.h"
#include "vxexception.h"

class TlvReader {
public:
    static constexpr unsigned MAX_DEPTH = 16;

    TlvReader(const void* data, std::uint64_t size);

    // Reads the next element, which must carry `tag`.
    // - `length` given, `buffer` given: `*length` is the capacity of `buffer`;
    //   the element (its value, or with `includeHeader` the tag and length
    //   bytes too) is copied there, `*length` becomes its size and the cursor
    //   moves past the element.
    // - `length` given, `buffer` null: a size query; `*length` becomes the size
    //   the copy would need and the cursor stays where it was.
    // - `length` null: a constructed element with `skip` false is entered (the
    //   next read is its first child); anything else is skipped.
    void readNext(std::uint8_t tag, void* buffer, std::uint64_t* length, bool includeHeader,
                  bool skip);

    // Reads the next element, which must be constructed and carry `tag`, and
    // moves past it; returns a reader over its value alone, so that nothing
    // read through it can reach past the element.
    TlvReader readConstructed(std::uint8_t tag);

    // Reads the next element into `out`; on failure `out` is left unchanged.
    template <std::size_t N>
    void readNext(std::uint8_t tag, StaticBuffer<N>* out, bool includeHeader) {
        if (out == nullptr) {
            throw InvalidArgumentException::nullPointer("buffer", "TlvReader::readNext", __FILE__,
                                                        __LINE__);
        }
        // A size query first (it checks the tag and the length and consumes
        // nothing), so a failure leaves `out` unchanged without a temporary
        // copy, which for 64 KiB buffers would not belong on the stack.
        std::uint64_t needed = 0;
        readNext(tag, nullptr, &needed, includeHeader, false);
        if (needed > N) {
            throw TlvParserException("insufficient size of buffer [actual=%llu, requested=%llu]",
                                     static_cast<unsigned long long>(N),
                                     static_cast<unsigned long long>(needed));
        }
        std::uint64_t length = N;
        readNext(tag, out->data, &length, includeHeader, false);
        // Bytes past the length stay zero.
        std::memset(out->data + length, 0, static_cast<std::size_t>(N - length));
        out->length = length;
    }

    std::uint64_t getOffset() const noexcept { return offset; }
    std::uint64_t remaining() const noexcept { return size - offset; }
    bool atEnd() const noexcept { return offset == size; }

private:
    // The only way bytes are consumed: returns the next n bytes and moves past
    // them, or throws when fewer than n are left.
    const std::uint8_t* take(std::uint64_t n);
    std::uint64_t readLength();
    // The end of the innermost entered element, or of the input.
    std::uint64_t limit() const;

    const std::uint8_t* data;
    std::uint64_t size;
    std::uint64_t offset = 0;
    // Ends of the entered constructed elements, outermost first.
    std::uint64_t ends[MAX_DEPTH] = {};
    unsigned depth = 0;
};

class LvReader {
public:
    static constexpr unsigned FLAG_MANDATORY = 0x01;   // an absent value is an error
    static constexpr unsigned FLAG_EXACT_SIZE = 0x02;  // the value must be exactly *length bytes

    LvReader(const void* data, std::uint64_t size);

    // Reads one item. `*length` is the capacity of `buffer` (with
    // FLAG_EXACT_SIZE also the required size) on entry and the number of bytes
    // stored on return. Returns true when a value was present; an absent
    // optional value gives false with `*length` 0.
    bool read(void* buffer, std::uint64_t* length, unsigned flags);

    std::uint64_t getOffset() const noexcept { return offset; }
    std::uint64_t remaining() const noexcept { return size - offset; }
    bool atEnd() const noexcept { return offset == size; }

private:
    const std::uint8_t* take(std::uint64_t n, const char* failure);

    const std::uint8_t* data;
    std::uint64_t size;
    std::uint64_t offset = 0;
};

class LvWriter {
public:
    static constexpr std::size_t CAPACITY = 1024;
    static constexpr std::uint64_t MAX_VALUE_LENGTH = 0xFE;
    static constexpr std::uint8_t ABSENT = 0xFF;

    LvWriter() noexcept;

    // Appends one item: the length byte and the bytes.
    void write(const void* bytes, std::uint64_t length);
    // Appends the marker of an absent value.
    void writeAbsent();

    const std::uint8_t* getData() const noexcept { return buffer; }
    std::uint64_t getLength() const noexcept { return used; }

private:
    void ensureRoom(std::uint64_t needed) const;

    std::uint8_t buffer[CAPACITY];
    std::uint64_t used = 0;
};
