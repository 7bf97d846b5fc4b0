#include "internal/cmapfile.h"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "amw/exceptions.h"
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
using Bytes = std::vector<std::uint8_t>;

// The journal: a data object under the journal mark, readable by everyone
// as the two files are. Its content: "ZKJ2", three content lengths (2 bytes
// each, big-endian: the card cache file as it was on the card before the
// write, the new card cache file, the new map), the first 8 bytes of the
// SHA-256 of the map as it was on the card before the write, the three
// contents, then the first 8 bytes of the SHA-256 of everything before them. "ZKJ1" journals
// (no old card cache file) are still read.
constexpr char JOURNAL_NAME[] = "cmapfile";
using p11content::AC_DEFAULT;
using p11content::AC_PUBLIC;
constexpr std::uint8_t JOURNAL_MAGIC_V1[4] = {'Z', 'K', 'J', '1'};
constexpr std::uint8_t JOURNAL_MAGIC[4] = {'Z', 'K', 'J', '2'};
constexpr std::size_t JOURNAL_V1_HEADER_SIZE = 8;
constexpr std::size_t JOURNAL_HEADER_SIZE = 18;
constexpr std::size_t OLD_MAP_DIGEST_OFFSET = 10;
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

Bytes bytesOf(const Content& content) { return Bytes(content.data, content.data + content.size()); }

bool sameContent(const Content& a, const Content& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data, b.data, a.size()) == 0);
}

// Compares the card cache file with the card once per call: the platform's
// stack raises only the card cache file's counters, never the freshness block
// of this module, so a cached copy of the two files can be current by the
// block and stale on the card. When the card's copy differs, the map is read
// from the card too. Lists read from the card in this call need no check.
void checkFilesAgainstCard(amw::CachedToken& token, Files& files) {
    if (token.areCardFilesChecked()) return;
    token.cardFilesWereChecked();
    if (token.isListFromCard(amw::CachedToken::CACHED_OBJECT_FILE)) return;
    auto onCard = std::make_unique<Content>();
    files.cardcf->readContent(*onCard);
    if (sameContent(*onCard, files.cardcf->getContent())) return;
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.log(LOG_FACILITY_PKCS11, L"card cache file changed on the card, the map is read again");
    }
    const Content& cached = files.cardcf->getContent();
    if (cached.size() >= CARDCF_MINIMUM_SIZE) files.lastKnownCardcf = bytesOf(cached);
    files.cardcf->setContent(onCard->data, onCard->size());
    auto map = std::make_unique<Content>();
    files.cmapfile->readContent(*map);
    files.cmapfile->setContent(map->data, map->size());
}

// Brings the files to what an applicable journal left by a cut-off writer
// says (its contents are already in memory) and deletes the journal; a
// journal that no longer matches the card is deleted unused.
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

// A journal with the prepared content, whole on the card before either file
// is touched. Null when the card has no room for it: the files are then
// written in place, as they would be without a journal (a half-made journal
// is deleted, or left damaged and out of sight for the next writer).
amw::DataObject* writeJournal(amw::CachedToken& token, const Content& journalContent) {
    const StaticBuffer<128> none;
    amw::DataObject* journal = nullptr;
    try {
        journal = token.createDataObject(none, journalId(), none, none, AC_DEFAULT, AC_PUBLIC,
                                         AC_DEFAULT, AC_DEFAULT);
        journal->commitCreationOrMetadataChanges();
        journal->setContent(journalContent.data, journalContent.size());
        journal->commitContentChanges();
        return journal;
    } catch (const amw::CardOutOfMemoryException&) {
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11,
                       L"no room for the container map journal, the files are written in place");
        }
        if (journal != nullptr) {
            try {
                token.deleteDataObject(journal);
            } catch (const VxException& e) {
                logException(LOG_FACILITY_PKCS11, e);
            }
        }
        return nullptr;
    }
}

// A card cache file cut short with no journal to restore it only held
// counters: it is rebuilt from the last whole copy this call knows (or from
// zeros), and the writer then raises its counters as usual.
void rebuildShortCardcf(Files& files) {
    const Content& current = files.cardcf->getContent();
    if (current.size() >= CARDCF_MINIMUM_SIZE) return;
    Bytes rebuilt = files.lastKnownCardcf.size() >= CARDCF_MINIMUM_SIZE ? files.lastKnownCardcf
                                                                        : Bytes(CARDCF_MINIMUM_SIZE, 0);
    if (files.lastKnownCardcf.size() < CARDCF_MINIMUM_SIZE && current.size() > 0) rebuilt[0] = current.data[0];
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"card cache file cut short, rebuilt");
    files.cardcf->setContent(rebuilt.data(), rebuilt.size());
}

// The name chain of a key pair's container (see generateUniqueContainerName):
// true when the record carries one of its first names.
bool recordNamedFor(const std::uint8_t* record, const StaticBuffer<128>& pkcs11Id) {
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(pkcs11Id.data, pkcs11Id.size(), digest);
    for (int candidate = 0; candidate < 8; ++candidate) {
        if (isContainerName(record, nameFromDigest(digest))) return true;
        std::uint8_t previous[Sha256::DIGEST_SIZE];
        std::memcpy(previous, digest, sizeof previous);
        Sha256::digest(previous, sizeof previous, digest);
    }
    return false;
}

bool indexUsedByOther(amw::CachedToken& token, std::size_t index, const amw::KeyPair& owner) {
    for (const auto& certificate : token.getCertificates()) {
        if (certificate->getContainerIndex() == index && !certificate->getPkcs11Id().equals(owner.getPkcs11Id()))
            return true;
    }
    for (const auto& keyPair : token.getKeyPairs()) {
        if (keyPair.get() != &owner && keyPair->isComplete() && keyPair->getContainerIndex() == index)
            return true;
    }
    return false;
}

void nameRecord(Content& map, std::size_t index, const StaticBuffer<128>& pkcs11Id) {
    const std::u16string name = generateUniqueContainerName(map.data, map.size(), pkcs11Id);
    std::uint8_t* record = map.data + index * RECORD_SIZE;
    std::memset(record, 0, RECORD_SIZE);
    for (std::size_t i = 0; i < name.size(); ++i) writeLe16(record + 2 * i, name[i]);
    record[FLAGS_OFFSET] = FLAG_VALID;
}

// Grows the map with free records until `index` is inside it.
bool reachRecord(Content& map, std::size_t index) {
    if (index >= MAX_RECORDS || (index + 1) * RECORD_SIZE > MAX_MAP_SIZE) return false;
    for (std::size_t records = map.size() / RECORD_SIZE; records <= index; ++records) {
        std::memset(map.data + records * RECORD_SIZE, 0, RECORD_SIZE);
        map.length = (records + 1) * RECORD_SIZE;
    }
    return true;
}

// A key pair is generated before its container record is written, in the
// same call; a card lost in between leaves a whole pair without its record
// (or, for a half's removal, the record without the size of a half that is
// still there). Every map writer restores those records: the pair holds its
// index, whether it signs or exchanges keys, and its size; its identifier
// gives the name. Records of other writers are never taken.
void restoreKeyPairRecords(amw::CachedToken& token, Content& map) {
    for (const auto& keyPair : token.getKeyPairs()) {
        if (!keyPair->isComplete()) continue;
        const std::size_t index = keyPair->getContainerIndex();
        if (index >= MAX_RECORDS - 1) continue;  // 0xFF: no container
        const std::size_t sizeOffset = sizeFieldOffset(keyPair->getKeySpec());
        if (index < recordCount(map.size())) {
            std::uint8_t* record = map.data + index * RECORD_SIZE;
            if (record[FLAGS_OFFSET] != 0) {
                if ((record[FLAGS_OFFSET] & FLAG_VALID) != 0 && readLe16(record + sizeOffset) == 0 &&
                    recordNamedFor(record, keyPair->getPkcs11Id())) {
                    writeLe16(record + sizeOffset, static_cast<std::uint16_t>(keyPair->getKeySize()));
                }
                continue;
            }
        }
        if (indexUsedByOther(token, index, *keyPair) || !reachRecord(map, index)) continue;
        nameRecord(map, index, keyPair->getPkcs11Id());
        writeLe16(map.data + index * RECORD_SIZE + sizeOffset,
                  static_cast<std::uint16_t>(keyPair->getKeySize()));
    }
}

// The frame every writer shares. `change` edits a working copy of the map and
// runs its checks; every check (the card cache file, the change's own, the
// journal's size) runs before the first card write. Then the token's
// counters are raised, a journal left by a cut-off writer is settled, and
// both files are written through a new journal, the card cache file first.
// A map too big for a journal, or a card without room for one, is written in
// place.
template <class Change>
void rewriteMap(amw::CachedToken& token, Change change) {
    Files files = loadCmapfileAndCardcf(token);
    const Bytes onCardBefore = files.journalWhole ? Bytes() : bytesOf(files.cardcf->getContent());
    if (!files.journalWhole) rebuildShortCardcf(files);
    requireCardcf(*files.cardcf);
    // What the card cache file will hold once a journal being settled is
    // written: the journal records it as the file's old value.
    const Bytes cardcfBeforeWrite = files.journalWhole ? bytesOf(files.cardcf->getContent()) : onCardBefore;
    // 64 KiB: kept off the stack.
    auto working = std::make_unique<Content>(files.cmapfile->getContent());
    restoreKeyPairRecords(token, *working);
    change(*working);
    auto newCardcf = std::make_unique<Content>(files.cardcf->getContent());
    raiseFreshnessFields(*newCardcf);
    auto journalContent = std::make_unique<Content>();
    const Content& mapBeforeWrite = files.cmapfile->getContent();
    const bool journalFits = encodeJournal(cardcfBeforeWrite.data(), cardcfBeforeWrite.size(),
                                           mapBeforeWrite.data, mapBeforeWrite.size(), newCardcf->data,
                                           newCardcf->size(), working->data, working->size(), *journalContent);
    // The journal is a data object: both counters are raised, and the one
    // write of the freshness block that the files' counter makes carries both
    // (only this frame raises the files' counter).
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, false);
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, true);
    amw::interruptedwrite::settleEveryKind(token);
    settleJournal(token, files);
    amw::DataObject* journal = journalFits ? writeJournal(token, *journalContent) : nullptr;
    files.cardcf->setContent(newCardcf->data, newCardcf->size());
    files.cmapfile->setContent(working->data, working->size());
    files.cardcf->commitContentChanges();
    files.cmapfile->commitContentChanges();
    if (journal != nullptr) token.deleteDataObject(journal);
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
    checkFilesAgainstCard(token, files);
    files.journal = token.findDataObject(journalId());
    if (files.journal != nullptr) {
        const Content& journal = files.journal->getContent();
        auto contents = std::make_unique<JournalContents>();
        const bool whole = decodeJournal(journal.data, journal.size(), *contents);
        const Content& cardcf = files.cardcf->getContent();
        const Content& map = files.cmapfile->getContent();
        files.journalWhole =
            whole && journalMatchesCard(*contents, cardcf.data, cardcf.size(), map.data, map.size());
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11,
                       files.journalWhole ? L"container map journal found, its contents are used"
                       : whole ? L"container map journal no longer matches the card, ignored"
                               : L"damaged container map journal found, ignored");
        }
        if (files.journalWhole) {
            if (cardcf.size() >= CARDCF_MINIMUM_SIZE) files.lastKnownCardcf = bytesOf(cardcf);
            // In memory only: the next writer puts them on the card.
            files.cardcf->setContent(contents->cardcf.data, contents->cardcf.size());
            files.cmapfile->setContent(contents->map.data, contents->map.size());
        }
    }
    return files;
}

bool encodeJournal(const std::uint8_t* oldCardcf, std::size_t oldCardcfLength,
                   const std::uint8_t* oldMap, std::size_t oldMapLength, const std::uint8_t* cardcf,
                   std::size_t cardcfLength, const std::uint8_t* map, std::size_t mapLength,
                   Content& journal) {
    const std::size_t total =
        JOURNAL_HEADER_SIZE + oldCardcfLength + cardcfLength + mapLength + JOURNAL_DIGEST_SIZE;
    if (oldCardcfLength > 0xFFFF || cardcfLength > 0xFFFF || mapLength > 0xFFFF || total > MAX_MAP_SIZE)
        return false;
    auto bytes = std::make_unique<std::uint8_t[]>(total);
    std::memcpy(bytes.get(), JOURNAL_MAGIC, sizeof JOURNAL_MAGIC);
    std::size_t at = sizeof JOURNAL_MAGIC;
    for (std::size_t length : {oldCardcfLength, cardcfLength, mapLength}) {
        bytes[at++] = static_cast<std::uint8_t>(length >> 8);
        bytes[at++] = static_cast<std::uint8_t>(length & 0xFF);
    }
    std::uint8_t oldMapDigest[Sha256::DIGEST_SIZE];
    Sha256::digest(oldMap, oldMapLength, oldMapDigest);
    std::memcpy(bytes.get() + at, oldMapDigest, JOURNAL_DIGEST_SIZE);
    at += JOURNAL_DIGEST_SIZE;
    const std::pair<const std::uint8_t*, std::size_t> parts[] = {
        {oldCardcf, oldCardcfLength}, {cardcf, cardcfLength}, {map, mapLength}};
    for (const auto& [data, length] : parts) {
        if (length > 0) std::memcpy(bytes.get() + at, data, length);
        at += length;
    }
    const std::size_t signedLength = total - JOURNAL_DIGEST_SIZE;
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(bytes.get(), signedLength, digest);
    std::memcpy(bytes.get() + signedLength, digest, JOURNAL_DIGEST_SIZE);
    journal.assign(bytes.get(), total);
    return true;
}

bool decodeJournal(const std::uint8_t* journal, std::size_t length, JournalContents& contents) {
    if (journal == nullptr || length < JOURNAL_V1_HEADER_SIZE + JOURNAL_DIGEST_SIZE) return false;
    const bool current = std::memcmp(journal, JOURNAL_MAGIC, sizeof JOURNAL_MAGIC) == 0;
    if (!current && std::memcmp(journal, JOURNAL_MAGIC_V1, sizeof JOURNAL_MAGIC_V1) != 0) return false;
    const std::size_t headerSize = current ? JOURNAL_HEADER_SIZE : JOURNAL_V1_HEADER_SIZE;
    if (length < headerSize + JOURNAL_DIGEST_SIZE) return false;
    std::size_t lengths[3] = {0, 0, 0};
    const std::size_t fields = current ? 3 : 2;
    for (std::size_t i = 0; i < fields; ++i) {
        lengths[3 - fields + i] = (static_cast<std::size_t>(journal[4 + 2 * i]) << 8) | journal[5 + 2 * i];
    }
    if (headerSize + lengths[0] + lengths[1] + lengths[2] + JOURNAL_DIGEST_SIZE != length) return false;
    const std::size_t signedLength = length - JOURNAL_DIGEST_SIZE;
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(journal, signedLength, digest);
    if (std::memcmp(digest, journal + signedLength, JOURNAL_DIGEST_SIZE) != 0) return false;
    const std::uint8_t* at = journal + headerSize;
    contents.hasOldCardcf = current;
    if (current) std::memcpy(contents.oldMapDigest, journal + OLD_MAP_DIGEST_OFFSET, sizeof contents.oldMapDigest);
    contents.oldCardcf.assign(at, lengths[0]);
    contents.cardcf.assign(at + lengths[0], lengths[1]);
    contents.map.assign(at + lengths[0] + lengths[1], lengths[2]);
    return true;
}

bool journalMatchesCard(const JournalContents& contents, const std::uint8_t* cardcf, std::size_t length,
                        const std::uint8_t* map, std::size_t mapLength) {
    const auto equals = [&](const Content& value) {
        return value.size() == length && (length == 0 || std::memcmp(value.data, cardcf, length) == 0);
    };
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(map, mapLength, digest);
    const bool mapIsOld =
        contents.hasOldCardcf && std::memcmp(digest, contents.oldMapDigest, sizeof contents.oldMapDigest) == 0;
    // The card cache file is written first. Holding the new value, it was
    // written either by the journal's writer, whose map write may then be
    // cut (the map is the old one, empty, or the new one written so far over
    // a zeroed block), or by another writer that raised the same old
    // counters by one, whose map is whole and differs from both.
    if (length >= CARDCF_MINIMUM_SIZE && equals(contents.cardcf)) {
        if (mapIsOld || mapLength == 0 || !contents.hasOldCardcf) return true;
        if (mapLength != contents.map.size()) return false;
        for (std::size_t i = 0; i < mapLength; ++i) {
            if (map[i] != 0 && map[i] != contents.map.data[i]) return false;
        }
        return true;
    }
    if (!contents.hasOldCardcf) return length < CARDCF_MINIMUM_SIZE;
    // Before that the map must still be the one the journal was written over.
    if (length >= CARDCF_MINIMUM_SIZE && !equals(contents.oldCardcf)) return false;
    return mapIsOld;
}

void raiseFreshnessFields(Content& cardcf) {
    for (std::size_t offset : {CONTAINER_FRESHNESS_OFFSET, FILE_FRESHNESS_OFFSET}) {
        std::uint8_t* field = cardcf.data + offset;
        writeLe16(field, static_cast<std::uint16_t>(readLe16(field) + 1));
    }
}

void increaseFileAndContainerFreshness(amw::File& cardcf) {
    requireCardcf(cardcf);
    const Content& current = cardcf.getContent();
    auto updated = std::make_unique<Content>(current);
    raiseFreshnessFields(*updated);
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

std::uint8_t chooseContainerIndex(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::chooseContainerIndex");
    const Files files = loadCmapfileAndCardcf(token);
    const Content& map = files.cmapfile->getContent();
    const auto used = [&token](std::size_t index) {
        for (const auto& certificate : token.getCertificates()) {
            if (certificate->getContainerIndex() == index) return true;
        }
        for (const auto& keyPair : token.getKeyPairs()) {
            if (keyPair->isComplete() && keyPair->getContainerIndex() == index) return true;
        }
        return false;
    };
    // Past the end every record is free; a certificate without a key may
    // claim the index past the end of the map, so appended records are
    // checked too.
    for (std::size_t i = 0; i < MAX_RECORDS - 1 && (i + 1) * RECORD_SIZE <= MAX_MAP_SIZE; ++i) {
        const bool free = i >= recordCount(map.size()) || map.data[i * RECORD_SIZE + FLAGS_OFFSET] == 0;
        if (free && !used(i)) {
            logIndex(L"[OUT] containerIndex", static_cast<std::uint32_t>(i));
            return static_cast<std::uint8_t>(i);
        }
    }
    throw InternalErrorException("cannot update cmapfile, no empty container record found");
}

void addContainerInCmapfile(amw::CachedToken& token, std::uint8_t containerIndex,
                            const StaticBuffer<128>& pkcs11Id, std::uint32_t keySpec,
                            std::uint32_t keySizeBits) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::addContainerInCmapfile");
    logIndex(L"containerIndex", containerIndex);
    logIndex(L"keySpec", keySpec);
    logIndex(L"keySizeBits", keySizeBits);
    if (keySizeBits > 0xFFFF) {
        throw InvalidArgumentException::range("keySizeBits", keySizeBits, 0, 0xFFFF,
                                              "cmapfile::addContainerInCmapfile", __FILE__, __LINE__);
    }
    rewriteMap(token, [&](Content& map) {
        // The new pair's record may already have been restored from the pair
        // itself (restoreKeyPairRecords); otherwise it is made here.
        const std::size_t index = containerIndex;
        if (index < recordCount(map.size()) && map.data[index * RECORD_SIZE + FLAGS_OFFSET] != 0) {
            if (!recordNamedFor(map.data + index * RECORD_SIZE, pkcs11Id)) {
                throw InternalErrorException("cannot update cmapfile, no empty container record found");
            }
        } else {
            if (!reachRecord(map, index)) {
                throw InternalErrorException("cannot update cmapfile, no empty container record found");
            }
            nameRecord(map, index, pkcs11Id);
        }
        writeLe16(map.data + index * RECORD_SIZE + sizeFieldOffset(keySpec),
                  static_cast<std::uint16_t>(keySizeBits));
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
