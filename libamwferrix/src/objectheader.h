// Reading the fixed header and the metadata block of a card object.
//
// Header, common part (bytes 0 to 16), as the begin-read-metadata command
// delivers it: the eight 16-bit fields at the odd offsets 1 to 15 have
// already been converted to host order; any further 16-bit field is still
// big-endian and is converted here.
//   0   1  kind (not used)
//   1   2  next: block id of the next object of the same kind, 8000 ends
//   3   2  metaDataSize: length of the metadata block
//   5   2  content size (certificates, data objects, files)
//   7   4  not used
//   11  2  access condition 1 (data object: content read; file: read)
//   13  2  access condition 2
//   15  2  access condition 3
// The per-kind parts follow in the class that parses them.
//
// Metadata: a sequence of length-value items (one length byte, 0xFF for an
// absent value), at most 1024 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ctl/cardconnection.h"
#include "staticbuffer.h"
#include "tlvparser.h"

namespace amwferrix {
namespace detail {

constexpr std::size_t COMMON_HEADER_SIZE = 17;
constexpr std::size_t DATA_OBJECT_HEADER_SIZE = 17;
constexpr std::size_t CERTIFICATE_HEADER_SIZE = 18;
constexpr std::size_t KEY_PAIR_HEADER_SIZE = 27;
constexpr std::size_t DIRECTORY_HEADER_SIZE = 27;
constexpr std::size_t FILE_HEADER_SIZE = 33;
constexpr std::size_t MAX_METADATA_SIZE = 1024;
constexpr std::size_t MAX_ITEM_SIZE = 128;

// A read-only view of a header of at least `requiredSize` bytes. Every read
// goes through one bounds check, so a short header can never be read past.
class HeaderView {
public:
    // InvalidArgumentException (range form, "headerSize") when the header is
    // shorter than its kind's size; a null header is a null-pointer one.
    HeaderView(const std::uint8_t* header, std::size_t headerSize, std::size_t requiredSize,
               const char* function, const char* file, int line);

    std::uint8_t byte(std::size_t offset) const;
    // One of the converted fields at offsets 1 to 15.
    std::uint16_t hostWord(std::size_t offset) const;
    // A field the card sends big-endian and nobody has converted yet.
    std::uint16_t bigEndianWord(std::size_t offset) const;
    const std::uint8_t* bytes(std::size_t offset, std::size_t count) const;

    std::uint16_t next() const { return hostWord(1); }
    std::uint16_t metaDataSize() const { return hostWord(3); }
    std::uint16_t contentSize() const { return hostWord(5); }
    // Conditions 1 to 3 at offsets 11, 13 and 15.
    std::uint16_t accessCondition(unsigned number) const {
        return hostWord(11 + 2 * (number - 1));
    }

private:
    const std::uint8_t* take(std::size_t offset, std::size_t count) const;

    const std::uint8_t* data;
    std::size_t size;
};

// The metadata block of the current object, read with readData after its
// header; its size is checked against the 1024-byte limit before anything is
// read (InvalidArgumentException, range form, "header.metaDataSize").
class Metadata {
public:
    Metadata(ctl::CardConnection& connection, std::uint16_t metaDataSize, const char* function,
             const char* file, int line);

    LvReader reader() const { return LvReader(bytes, length); }

private:
    std::uint8_t bytes[MAX_METADATA_SIZE];
    std::size_t length;
};

// A mandatory item of at most N bytes.
template <std::size_t N>
StaticBuffer<N> readMandatoryItem(LvReader& reader) {
    StaticBuffer<N> item;
    std::uint64_t length = N;
    reader.read(item.data, &length, LvReader::FLAG_MANDATORY);
    item.length = length;
    return item;
}

// A mandatory item of exactly one byte.
std::uint8_t readMandatoryByte(LvReader& reader);

// An item name of 8 bytes padded with zeros: the bytes before the first zero
// (for `stopAtFirstZero`) or without the trailing zeros, in lower case (A-Z
// only).
StaticBuffer<8> nameFromHeader(const std::uint8_t* bytes, bool stopAtFirstZero);

// Writes a metadata block whose size the card has just been told (by a
// create, an update or an amend of the current object) and commits it;
// returns the object's block id.
std::uint16_t writeAnnouncedMetadata(ctl::CardConnection& connection, const LvWriter& metadata);

// Announces and writes the metadata of an object being created (`blockId`
// BLOCK_ID_NONE, the card's current object) or of an existing object, and
// commits it; returns the object's block id.
std::uint16_t writeMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                            const LvWriter& metadata);

}  // namespace detail
}  // namespace amwferrix
