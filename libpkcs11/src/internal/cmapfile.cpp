#include "internal/cmapfile.h"

#include <cstring>
#include <memory>

#include "amw/interruptedwrite.h"
#include "calltrace.h"
#include "internal/p11objects/p11content.h"
#include "logger.h"
#include "p11exceptions.h"
#include "sha256.h"
#include "vxexception.h"

namespace cmapfile {
namespace {

// Offsets inside one container record (layout in cmapfile.h).
constexpr std::size_t FLAGS_OFFSET = 80;
constexpr std::size_t SIGNATURE_SIZE_OFFSET = 82;
constexpr std::size_t EXCHANGE_SIZE_OFFSET = 84;
// Offsets inside the card cache file.
constexpr std::size_t CARDCF_MINIMUM_SIZE = 6;
constexpr std::size_t CONTAINER_FRESHNESS_OFFSET = 2;
constexpr std::size_t FILE_FRESHNESS_OFFSET = 4;
// The card stores content sizes in 16 bits.
constexpr std::size_t MAX_MAP_SIZE = amw::DataStorage::MAX_CONTENT_SIZE;
// A container index is kept in one byte, so records past 255 cannot be named.
constexpr std::size_t MAX_RECORDS = 256;
// Characters of a container name: hex of the first 10 digest bytes.
constexpr std::size_t NAME_DIGEST_BYTES = 10;

using Content = amw::DataStorage::Content;

// The journal: a data object under the journal mark, readable by everyone
// as the two files are. Its content: "ZKJ1", the two content lengths (2
// bytes each, big-endian), the card cache file, the map, then the first 8
// bytes of the SHA-256 of everything before them.
constexpr char JOURNAL_NAME[] = "cmapfile";
using p11content::AC_DEFAULT;
using p11content::AC_PUBLIC;
constexpr std::uint8_t JOURNAL_MAGIC[4] = {'Z', 'K', 'J', '1'};
constexpr std::size_t JOURNAL_HEADER_SIZE = 8;
constexpr std::size_t JOURNAL_DIGEST_SIZE = 8;

std::uint16_t readLe16(const std::uint8_t* at) noexcept {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

void writeLe16(std::uint8_t* at, std::uint16_t value) noexcept {
    at[0] = static_cast<std::uint8_t>(value & 0xFF);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

// Records that are wholly inside the content and can be addressed by a
// one-byte index.
std::size_t recordCount(std::size_t length) noexcept {
    const std::size_t whole = length / RECORD_SIZE;
    return whole < MAX_RECORDS ? whole : MAX_RECORDS;
}

std::size_t sizeFieldOffset(std::uint32_t keySpec) noexcept {
    return keySpec == amw::KeyPair::SIGNATURE_KEY ? SIGNATURE_SIZE_OFFSET : EXCHANGE_SIZE_OFFSET;
}

std::u16string nameFromDigest(const std::uint8_t (&digest)[Sha256::DIGEST_SIZE]) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::u16string name;
    for (std::size_t i = 0; i < NAME_DIGEST_BYTES; ++i) {
        name += static_cast<char16_t>(DIGITS[digest[i] >> 4]);
        name += static_cast<char16_t>(DIGITS[digest[i] & 0x0F]);
    }
    return name;
}

bool nameInUse(const std::uint8_t* content, std::size_t length, const std::u16string& name) {
    for (std::size_t i = 0; i < recordCount(length); ++i) {
        if (isContainerName(content + i * RECORD_SIZE, name)) return true;
    }
    return false;
}

amw::File& requireFile(amw::CachedToken& token, const char* directoryName, const char* fileName) {
    const StaticBuffer<8> directoryKey(directoryName, std::strlen(directoryName));
    amw::Directory* directory = token.findDirectory(directoryKey);
    if (directory == nullptr) {
        throw InternalErrorException("directory \"%s\" not found on the card", directoryName);
    }
    amw::File* file = token.findFile(directory, StaticBuffer<8>(fileName, std::strlen(fileName)));
    if (file == nullptr) {
        throw InternalErrorException("file \"%s/%s\" not found on the card", directoryName,
                                     fileName);
    }
    return *file;
}

void requireCardcf(amw::File& cardcf) {
    if (cardcf.getContent().size() < CARDCF_MINIMUM_SIZE) {
        throw InternalErrorException(
            "prepareContainerInCmapfile(): cardcf file damaged (has less than 6 bytes)");
    }
}

void requireRecord(const Content& map, std::uint8_t containerIndex) {
    if (map.size() < (static_cast<std::size_t>(containerIndex) + 1) * RECORD_SIZE) {
        throw InternalErrorException(
            "commitContainerInCmapfile(): cmapfile is not big enought to contain a record for "
            "container with index %d",
            containerIndex);
    }
}

StaticBuffer<128> journalId() {
    return amw::interruptedwrite::marked(StaticBuffer<128>(JOURNAL_NAME, std::strlen(JOURNAL_NAME)),
                                         amw::interruptedwrite::Mark::JOURNAL);
}

// Brings the files to what a journal left by a cut-off writer says (its
// contents are already in memory) and deletes the journal.
void settleJournal(amw::CachedToken& token, Files& files) {
    if (files.journal == nullptr) return;
    if (files.journalWhole) {
        files.cardcf->commitContentChanges();
        files.cmapfile->commitContentChanges();
    }
    token.deleteDataObject(files.journal);
    files.journal = nullptr;
    files.journalWhole = false;
}

// A journal with both files' new contents, whole on the card before either
// file is touched.
amw::DataObject* writeJournal(amw::CachedToken& token, const Files& files) {
    auto journalContent = std::make_unique<Content>();
    const Content& cardcf = files.cardcf->getContent();
    const Content& map = files.cmapfile->getContent();
    if (!encodeJournal(cardcf.data, cardcf.size(), map.data, map.size(), *journalContent)) {
        throw InternalErrorException("the container map is too big for its journal (%u bytes)",
                                     static_cast<unsigned>(map.size()));
    }
    const StaticBuffer<128> none;
    amw::DataObject* journal = token.createDataObject(none, journalId(), none, none, AC_DEFAULT,
                                                      AC_PUBLIC, AC_DEFAULT, AC_DEFAULT);
    journal->commitCreationOrMetadataChanges();
    journal->setContent(journalContent->data, journalContent->size());
    journal->commitContentChanges();
    return journal;
}

// The frame every writer shares. `change` edits a working copy of the map and
// runs its checks; only when it returns are the two files changed in memory,
// the token's file counter raised and both files written through a journal,
// the card cache file first. A failed check thus leaves the card and the
// cached file objects as they were.
template <class Change>
void rewriteMap(amw::CachedToken& token, Change change) {
    Files files = loadCmapfileAndCardcf(token);
    requireCardcf(*files.cardcf);
    // 64 KiB: kept off the stack.
    auto working = std::make_unique<Content>(files.cmapfile->getContent());
    change(*working);
    // The journal is a data object: both counters are raised, and the one
    // write of the freshness block that the files' counter makes carries both
    // (only this frame raises the files' counter).
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, false);
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, true);
    settleJournal(token, files);
    increaseFileAndContainerFreshness(*files.cardcf);
    files.cmapfile->setContent(working->data, working->size());
    amw::DataObject* journal = writeJournal(token, files);
    files.cardcf->commitContentChanges();
    files.cmapfile->commitContentChanges();
    token.deleteDataObject(journal);
}

void logIndex(const wchar_t* name, std::uint32_t value) {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"%ls = %u", name, value);
}

}  // namespace

Files loadCmapfileAndCardcf(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::loadCmapfileAndCardcf");
    Files files{};
    files.cardcf = &requireFile(token, "", "cardcf");
    files.cmapfile = &requireFile(token, "mscp", "cmapfile");
    files.journal = token.findDataObject(journalId());
    if (files.journal != nullptr) {
        const Content& journal = files.journal->getContent();
        auto cardcf = std::make_unique<Content>();
        auto map = std::make_unique<Content>();
        files.journalWhole = decodeJournal(journal.data, journal.size(), *cardcf, *map);
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11, files.journalWhole
                                                ? L"container map journal found, its contents are used"
                                                : L"damaged container map journal found, ignored");
        }
        if (files.journalWhole) {
            // In memory only: the next writer puts them on the card.
            files.cardcf->setContent(cardcf->data, cardcf->size());
            files.cmapfile->setContent(map->data, map->size());
        }
    }
    return files;
}

bool encodeJournal(const std::uint8_t* cardcf, std::size_t cardcfLength, const std::uint8_t* map,
                   std::size_t mapLength, Content& journal) {
    const std::size_t total = JOURNAL_HEADER_SIZE + cardcfLength + mapLength + JOURNAL_DIGEST_SIZE;
    if (cardcfLength > 0xFFFF || mapLength > 0xFFFF || total > MAX_MAP_SIZE) return false;
    auto bytes = std::make_unique<std::uint8_t[]>(total);
    std::memcpy(bytes.get(), JOURNAL_MAGIC, sizeof JOURNAL_MAGIC);
    bytes[4] = static_cast<std::uint8_t>(cardcfLength >> 8);
    bytes[5] = static_cast<std::uint8_t>(cardcfLength & 0xFF);
    bytes[6] = static_cast<std::uint8_t>(mapLength >> 8);
    bytes[7] = static_cast<std::uint8_t>(mapLength & 0xFF);
    if (cardcfLength > 0) std::memcpy(bytes.get() + JOURNAL_HEADER_SIZE, cardcf, cardcfLength);
    if (mapLength > 0) std::memcpy(bytes.get() + JOURNAL_HEADER_SIZE + cardcfLength, map, mapLength);
    const std::size_t signedLength = total - JOURNAL_DIGEST_SIZE;
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(bytes.get(), signedLength, digest);
    std::memcpy(bytes.get() + signedLength, digest, JOURNAL_DIGEST_SIZE);
    journal.assign(bytes.get(), total);
    return true;
}

bool decodeJournal(const std::uint8_t* journal, std::size_t length, Content& cardcf, Content& map) {
    if (journal == nullptr || length < JOURNAL_HEADER_SIZE + JOURNAL_DIGEST_SIZE) return false;
    if (std::memcmp(journal, JOURNAL_MAGIC, sizeof JOURNAL_MAGIC) != 0) return false;
    const std::size_t cardcfLength = (static_cast<std::size_t>(journal[4]) << 8) | journal[5];
    const std::size_t mapLength = (static_cast<std::size_t>(journal[6]) << 8) | journal[7];
    if (JOURNAL_HEADER_SIZE + cardcfLength + mapLength + JOURNAL_DIGEST_SIZE != length) return false;
    const std::size_t signedLength = length - JOURNAL_DIGEST_SIZE;
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(journal, signedLength, digest);
    if (std::memcmp(digest, journal + signedLength, JOURNAL_DIGEST_SIZE) != 0) return false;
    cardcf.assign(journal + JOURNAL_HEADER_SIZE, cardcfLength);
    map.assign(journal + JOURNAL_HEADER_SIZE + cardcfLength, mapLength);
    return true;
}

void increaseFileAndContainerFreshness(amw::File& cardcf) {
    requireCardcf(cardcf);
    const Content& current = cardcf.getContent();
    auto updated = std::make_unique<Content>(current);
    for (std::size_t offset : {CONTAINER_FRESHNESS_OFFSET, FILE_FRESHNESS_OFFSET}) {
        std::uint8_t* field = updated->data + offset;
        writeLe16(field, static_cast<std::uint16_t>(readLe16(field) + 1));
    }
    cardcf.setContent(updated->data, updated->size());
}

bool isContainerName(const std::uint8_t* recordName, const std::u16string& name) {
    if (name.size() > NAME_CHARACTERS) {
        throw InvalidArgumentException::invalid("name", "cmapfile::isContainerName", __FILE__,
                                                __LINE__);
    }
    if (recordName == nullptr) {
        throw InvalidArgumentException::nullPointer("recordName", "cmapfile::isContainerName",
                                                    __FILE__, __LINE__);
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (readLe16(recordName + 2 * i) != name[i]) return false;
    }
    return readLe16(recordName + 2 * name.size()) == 0;
}

std::u16string generateUniqueContainerName(const std::uint8_t* content, std::size_t length,
                                           const StaticBuffer<128>& pkcs11Id) {
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(pkcs11Id.data, pkcs11Id.size(), digest);
    std::u16string name = nameFromDigest(digest);
    while (nameInUse(content, length, name)) {
        std::uint8_t previous[Sha256::DIGEST_SIZE];
        std::memcpy(previous, digest, sizeof previous);
        Sha256::digest(previous, sizeof previous, digest);
        name = nameFromDigest(digest);
    }
    return name;
}

std::optional<std::uint8_t> findAvaliableRecordInCmapfile(amw::X509CertificateList& certificates,
                                                          const std::uint8_t* content,
                                                          std::size_t length) {
    for (std::size_t i = 0; i < recordCount(length); ++i) {
        if (content[i * RECORD_SIZE + FLAGS_OFFSET] != 0) continue;
        bool usedByCertificate = false;
        for (const auto& certificate : certificates) {
            if (certificate->getContainerIndex() == i) usedByCertificate = true;
        }
        if (!usedByCertificate) return static_cast<std::uint8_t>(i);
    }
    return std::nullopt;
}

std::uint8_t prepareContainerInCmapfile(amw::CachedToken& token,
                                        const StaticBuffer<128>& pkcs11Id) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::prepareContainerInCmapfile");
    amw::X509CertificateList& certificates = token.getCertificates();
    std::uint8_t index = 0;
    rewriteMap(token, [&](Content& map) {
        auto found = findAvaliableRecordInCmapfile(certificates, map.data, map.size());
        // Records are appended until one is usable: a certificate without a
        // key claims the index past the end of the map, so the first appended
        // record may already be taken.
        for (std::size_t records = map.size() / RECORD_SIZE;
             !found && records < MAX_RECORDS && (records + 1) * RECORD_SIZE <= MAX_MAP_SIZE;
             ++records) {
            // The new record starts after the last whole one; bytes of a
            // partial record at the end are overwritten.
            std::memset(map.data + records * RECORD_SIZE, 0, RECORD_SIZE);
            map.length = (records + 1) * RECORD_SIZE;
            found = findAvaliableRecordInCmapfile(certificates, map.data, map.size());
        }
        if (!found) {
            throw InternalErrorException("cannot update cmapfile, no empty container record found");
        }
        index = *found;
        const std::u16string name = generateUniqueContainerName(map.data, map.size(), pkcs11Id);
        std::uint8_t* record = map.data + static_cast<std::size_t>(index) * RECORD_SIZE;
        std::memset(record, 0, RECORD_SIZE);
        for (std::size_t i = 0; i < name.size(); ++i) writeLe16(record + 2 * i, name[i]);
        record[FLAGS_OFFSET] = FLAG_VALID;
    });
    logIndex(L"[OUT] containerIndex", index);
    return index;
}

void commitContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                               std::uint32_t keySpec, std::uint32_t keySizeBits) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::commitContainerInCmapfile");
    logIndex(L"containerIndex", containerIndex);
    logIndex(L"keySpec", keySpec);
    logIndex(L"keySizeBits", keySizeBits);
    if (keySizeBits > 0xFFFF) {
        throw InvalidArgumentException::range("keySizeBits", keySizeBits, 0, 0xFFFF,
                                              "cmapfile::commitContainerInCmapfile", __FILE__,
                                              __LINE__);
    }
    rewriteMap(token, [&](Content& map) {
        requireRecord(map, containerIndex);
        std::uint8_t* record = map.data + static_cast<std::size_t>(containerIndex) * RECORD_SIZE;
        writeLe16(record + sizeFieldOffset(keySpec), static_cast<std::uint16_t>(keySizeBits));
    });
}

void deleteContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                               std::uint32_t keySpec) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::deleteContainerInCmapfile");
    logIndex(L"containerIndex", containerIndex);
    logIndex(L"keySpec", keySpec);
    rewriteMap(token, [&](Content& map) {
        requireRecord(map, containerIndex);
        std::uint8_t* record = map.data + static_cast<std::size_t>(containerIndex) * RECORD_SIZE;
        writeLe16(record + sizeFieldOffset(keySpec), 0);
        if (readLe16(record + SIGNATURE_SIZE_OFFSET) == 0 &&
            readLe16(record + EXCHANGE_SIZE_OFFSET) == 0) {
            std::memset(record, 0, RECORD_SIZE);
        }
    });
}

std::uint8_t getDefaultCertificateContainerIndex(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::getDefaultCertificateContainerIndex");
    const Files files = loadCmapfileAndCardcf(token);
    const Content& map = files.cmapfile->getContent();
    for (std::size_t i = 0; i < recordCount(map.size()); ++i) {
        if ((map.data[i * RECORD_SIZE + FLAGS_OFFSET] & FLAG_DEFAULT) != 0) {
            logIndex(L"[OUT] containerIndex", static_cast<std::uint32_t>(i));
            return static_cast<std::uint8_t>(i);
        }
    }
    throw DefaultCertificateException();
}

void setDefaultCertificate(amw::CachedToken& token, std::uint8_t containerIndex) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::setDefaultCertificate");
    logIndex(L"containerIndex", containerIndex);
    rewriteMap(token, [&](Content& map) {
        // Only a valid container can be the default: the index of a
        // certificate without a key names a free record or one past the end,
        // and marking it would only erase the current default.
        if (containerIndex >= recordCount(map.size()) ||
            (map.data[containerIndex * RECORD_SIZE + FLAGS_OFFSET] & FLAG_VALID) == 0) {
            throw InternalErrorException(
                "setDefaultCertificate(): container %d is not a valid container", containerIndex);
        }
        for (std::size_t i = 0; i < recordCount(map.size()); ++i) {
            std::uint8_t& flags = map.data[i * RECORD_SIZE + FLAGS_OFFSET];
            flags = static_cast<std::uint8_t>(flags & ~FLAG_DEFAULT);
            if (i == containerIndex) flags = static_cast<std::uint8_t>(flags | FLAG_DEFAULT);
        }
    });
}

}  // namespace cmapfile
