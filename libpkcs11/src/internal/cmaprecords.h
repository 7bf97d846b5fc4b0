// The two files through which the platform's smart-card stack describes key
// containers, as bytes: the container map ("mscp/cmapfile") and the card
// cache file ("cardcf" in the root directory). Only their layout lives here;
// how they are written on a card shared with other writers is in
// cmapjournal.h, and which writes the module makes, in which order, in
// cmapfile.h.
//
// Card cache file (at least 6 bytes; longer content is kept unchanged):
//   0  1  version          (not changed here)
//   1  1  PIN freshness    (not changed here)
//   2  2  container freshness, little-endian
//   4  2  file freshness, little-endian
// Every reader of the card (the platform's stack included) compares these
// counters with the values it cached, for equality only: a new value need
// not be the old one plus one, only one that the card has not shown over
// other contents.
//
// Container map: an array of 86-byte records; the record number is the
// container index (one byte).
//   0   80  container name: up to 39 UTF-16LE characters, zero-terminated
//   80  1   flags: 0x01 valid container, 0x02 default container
//   81  1   reserved, 0
//   82  2   signature key size in bits, little-endian (0: none)
//   84  2   key exchange key size in bits, little-endian (0: none)
// A record is free when its flags are 0. A container index that a
// certificate or a key pair records counts as used even when its record is
// free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "amw/cachedtoken.h"
#include "staticbuffer.h"

namespace cmapfile {

using Content = amw::DataStorage::Content;

constexpr std::size_t RECORD_SIZE = 86;
constexpr std::size_t NAME_CHARACTERS = 39;
constexpr std::uint8_t FLAG_VALID = 0x01;
constexpr std::uint8_t FLAG_DEFAULT = 0x02;
constexpr std::size_t FLAGS_OFFSET = 80;
constexpr std::size_t SIGNATURE_SIZE_OFFSET = 82;
constexpr std::size_t EXCHANGE_SIZE_OFFSET = 84;
constexpr std::size_t CARDCF_MINIMUM_SIZE = 6;
constexpr std::size_t CONTAINER_FRESHNESS_OFFSET = 2;
constexpr std::size_t FILE_FRESHNESS_OFFSET = 4;
// The card stores content sizes in 16 bits.
constexpr std::size_t MAX_MAP_SIZE = amw::DataStorage::MAX_CONTENT_SIZE;
// A container index is kept in one byte, so records past 255 cannot be
// named; 0xFF stands for no container.
constexpr std::size_t MAX_RECORDS = 256;
constexpr std::uint8_t NO_CONTAINER = 0xFF;

inline std::uint16_t readLe16(const std::uint8_t* at) noexcept {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

inline void writeLe16(std::uint8_t* at, std::uint16_t value) noexcept {
    at[0] = static_cast<std::uint8_t>(value & 0xFF);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

// Records wholly inside the content that a one-byte index can address.
std::size_t recordCount(std::size_t length) noexcept;
// The size field of a pair that signs or one that exchanges keys (`keySpec`).
std::size_t sizeFieldOffset(std::uint32_t keySpec) noexcept;
// True when record `index` exists and its flags are not 0.
bool recordInUse(const Content& map, std::size_t index) noexcept;

// True when the record's name is exactly `name` (then a zero character).
bool isContainerName(const std::uint8_t* recordName, const std::u16string& name);
// The 20-character name of a new container: upper-case hex of the first 10
// bytes of SHA-256(identifier), or of the digest of the previous digest
// while a record already carries the name.
std::u16string generateUniqueContainerName(const std::uint8_t* content, std::size_t length,
                                           const StaticBuffer<128>& pkcs11Id);
// True when the record carries one of the first names of the identifier's
// name chain (see generateUniqueContainerName).
bool recordNamedFor(const std::uint8_t* record, const StaticBuffer<128>& pkcs11Id);
// Zeroes record `index` and gives it the identifier's unique name and the
// valid flag.
void nameRecord(Content& map, std::size_t index, const StaticBuffer<128>& pkcs11Id);
// Grows the map with free records until `index` is inside it; false when the
// record could not be addressed or would not fit.
bool reachRecord(Content& map, std::size_t index);
// The first free record whose index no certificate of the token uses.
std::optional<std::uint8_t> findAvaliableRecordInCmapfile(amw::X509CertificateList& certificates,
                                                          const std::uint8_t* content,
                                                          std::size_t length);

// Adds `step` (wrapping at 16 bits) to both freshness fields of a content of
// at least 6 bytes.
void raiseFreshnessFields(Content& cardcf, std::uint16_t step = 1);
// Adds 1 to the container and file freshness of the card cache file's
// content (in memory).
void increaseFileAndContainerFreshness(amw::File& cardcf);
void requireCardcf(amw::File& cardcf);
void requireRecord(const Content& map, std::uint8_t containerIndex);

}  // namespace cmapfile
