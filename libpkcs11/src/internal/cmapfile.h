// The container map file ("mscp/cmapfile") and the card cache file
// ("cardcf" in the root directory), kept in the layout the platform's own
// smart-card stack reads, so that it sees the same key containers as this
// module.
//
// Card cache file (at least 6 bytes; longer content is kept unchanged):
//   0  1  version          (not changed here)
//   1  1  PIN freshness    (not changed here)
//   2  2  container freshness, little-endian
//   4  2  file freshness, little-endian
//
// Container map: an array of 86-byte records; the record number is the
// container index (one byte).
//   0   80  container name: up to 39 UTF-16LE characters, zero-terminated
//   80  1   flags: 0x01 valid container, 0x02 default container
//   81  1   reserved, 0
//   82  2   signature key size in bits, little-endian (0: none)
//   84  2   key exchange key size in bits, little-endian (0: none)
// A record is free when its flags are 0. A container index that a
// certificate records counts as used even when its record is free.
//
// Every writer loads both files, raises the card cache freshness, changes a
// working copy of the map, raises the token's file freshness counter and
// writes the card cache file, then the map. All checks run before the first
// card write.
//
// The card rewrites a file by removing its content first, so a card lost in
// the middle would leave the map or the card cache file empty or cut short
// for good. Writers therefore first store, in a journal (a data object under
// the journal mark of amw/interruptedwrite.h, out of sight of searches), the
// card cache file as it is on the card and both new contents; then they
// write the two files, then delete the journal. A whole journal holds the
// truth only while the card's card cache file is its new value, or is cut
// short or its old value over the map the journal was written over: other writers (the platform's stack, earlier
// releases) know no journals, and once one of them has changed the files
// (raising the card cache file's counters) a journal left behind is deleted
// unused. A damaged journal never holds the truth (the files were not
// touched yet). A map too big for a journal, or a card without room for
// one, is written in place.
//
// The card cache file is compared with the card before every map write and
// before a container index is chosen (one short read per call, unless the
// files were read from the card in the same call): the platform's stack
// raises its counters but never this module's freshness block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "amw/cachedtoken.h"
#include "staticbuffer.h"

namespace cmapfile {

constexpr std::size_t RECORD_SIZE = 86;
constexpr std::size_t NAME_CHARACTERS = 39;
constexpr std::uint8_t FLAG_VALID = 0x01;
constexpr std::uint8_t FLAG_DEFAULT = 0x02;

// The two files of a card, as found through the token's lookups.
struct Files {
    amw::File* cardcf;
    amw::File* cmapfile;
    // A journal left by a cut-off writer, whole or damaged; null when none.
    amw::DataObject* journal = nullptr;
    // The journal is whole and matches the card: its contents are in memory.
    bool journalWhole = false;
    // The last whole card cache file seen in this call when the card's
    // differs (from the cache file or the card before a journal is applied).
    std::vector<std::uint8_t> lastKnownCardcf;
};

struct JournalContents {
    // False for journals of the first format, which did not record it.
    bool hasOldCardcf = false;
    amw::DataStorage::Content oldCardcf;
    // First 8 bytes of the SHA-256 of the map the journal was written over.
    std::uint8_t oldMapDigest[8] = {};
    amw::DataStorage::Content cardcf;
    amw::DataStorage::Content map;
};

// The journal's content for the two files' contents (see above); false when
// they do not fit in one file.
bool encodeJournal(const std::uint8_t* oldCardcf, std::size_t oldCardcfLength,
                   const std::uint8_t* oldMap, std::size_t oldMapLength, const std::uint8_t* cardcf,
                   std::size_t cardcfLength, const std::uint8_t* map, std::size_t mapLength,
                   amw::DataStorage::Content& journal);
// The contents of a whole journal; false for a damaged one.
bool decodeJournal(const std::uint8_t* journal, std::size_t length, JournalContents& contents);
// Whether a whole journal may be applied over the card's card cache file.
bool journalMatchesCard(const JournalContents& contents, const std::uint8_t* cardcf,
                        std::size_t length, const std::uint8_t* map, std::size_t mapLength);
// Adds 1 (wrapping at 16 bits) to both freshness fields of a content of at
// least 6 bytes.
void raiseFreshnessFields(amw::DataStorage::Content& cardcf);

Files loadCmapfileAndCardcf(amw::CachedToken& token);
// Adds 1 (wrapping at 16 bits) to the container and file freshness of the
// card cache file's content.
void increaseFileAndContainerFreshness(amw::File& cardcf);
// True when the record's name is exactly `name` (then a zero character).
bool isContainerName(const std::uint8_t* recordName, const std::u16string& name);
// The 20-character name of a new container: upper-case hex of the first 10
// bytes of SHA-256(identifier), or of the digest of the previous digest
// while a record already carries the name.
std::u16string generateUniqueContainerName(const std::uint8_t* content, std::size_t length,
                                           const StaticBuffer<128>& pkcs11Id);
// The first free record whose index no certificate of the token uses.
std::optional<std::uint8_t> findAvaliableRecordInCmapfile(amw::X509CertificateList& certificates,
                                                          const std::uint8_t* content,
                                                          std::size_t length);

// The container index for a new key pair, chosen without writing: the first
// free record that no certificate and no key pair uses, else the next record
// to be appended.
std::uint8_t chooseContainerIndex(amw::CachedToken& token);
// One map write for a key pair that is on the card now: the record at
// `containerIndex` is named from the identifier, marked valid and given the
// key size.
void addContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                            const StaticBuffer<128>& pkcs11Id, std::uint32_t keySpec,
                            std::uint32_t keySizeBits);
void deleteContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                               std::uint32_t keySpec);
std::uint8_t getDefaultCertificateContainerIndex(amw::CachedToken& token);
void setDefaultCertificate(amw::CachedToken& token, std::uint8_t containerIndex);

}  // namespace cmapfile
