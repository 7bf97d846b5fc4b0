#include "internal/cmapjournal.h"

#include <cstring>
#include <memory>
#include <utility>

#include "amw/exceptions.h"
#include "amw/interruptedwrite.h"
#include "calltrace.h"
#include "internal/p11objects/p11content.h"
#include "logger.h"
#include "p11exceptions.h"
#include "platform.h"
#include "sha256.h"
#include "vxexception.h"

namespace cmapfile {
namespace {

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

StaticBuffer<128> journalId() {
    return amw::interruptedwrite::marked(StaticBuffer<128>(JOURNAL_NAME, std::strlen(JOURNAL_NAME)),
                                         amw::interruptedwrite::Mark::JOURNAL);
}

Bytes bytesOf(const Content& content) { return Bytes(content.data, content.data + content.size()); }

bool sameContent(const Content& a, const Content& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data, b.data, a.size()) == 0);
}

// The step by which a write raises the card cache file's counters: at least
// 2, so that no writer adding 1 to the values it read can reach ours.
std::uint16_t counterStep() {
    std::uint8_t random = 0;
    if (!platform::randomBytes(&random, sizeof random)) random = 0;
    return static_cast<std::uint16_t>(2 + random);
}

void log(const wchar_t* text) {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"%ls", text);
}

// Compares the card cache file with the card once per call: the platform's
// stack raises only the card cache file's counters, never the freshness block
// of this module, so a cached copy of the two files can be current by the
// block and stale on the card. When the card's copy differs, or a journal
// is to be checked against them, the map is read from the card too. Lists
// read from the card in this call need no check.
void checkFilesAgainstCard(amw::CachedToken& token, Files& files, bool journalFound) {
    if (token.areCardFilesChecked()) return;
    token.cardFilesWereChecked();
    if (token.isListFromCard(amw::CachedToken::CACHED_OBJECT_FILE)) return;
    auto onCard = std::make_unique<Content>();
    files.cardcf->readContent(*onCard);
    const bool changed = !sameContent(*onCard, files.cardcf->getContent());
    if (!changed && !journalFound) return;
    log(changed ? L"card cache file changed on the card, the map is read again"
                : L"container map journal found, the map is read from the card");
    const Content& cached = files.cardcf->getContent();
    if (changed && cached.size() >= CARDCF_MINIMUM_SIZE) files.lastKnownCardcf = bytesOf(cached);
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
// counters: it is rebuilt from the last whole copy this call knows, or with
// random counters (counters restarted at zero could repeat values that long
// ago stood for other contents), and the writer then raises its counters as
// usual.
void rebuildShortCardcf(Files& files) {
    const Content& current = files.cardcf->getContent();
    if (current.size() >= CARDCF_MINIMUM_SIZE) return;
    Bytes rebuilt = files.lastKnownCardcf;
    if (rebuilt.size() < CARDCF_MINIMUM_SIZE) {
        rebuilt.assign(CARDCF_MINIMUM_SIZE, 0);
        if (current.size() > 0) rebuilt[0] = current.data[0];
        if (!platform::randomBytes(rebuilt.data() + CONTAINER_FRESHNESS_OFFSET, 4)) {
            // Without a random source the cut-short value at least moves on.
            rebuilt[CONTAINER_FRESHNESS_OFFSET] = rebuilt[FILE_FRESHNESS_OFFSET] = 0x80;
        }
    }
    log(L"card cache file cut short, rebuilt");
    files.cardcf->setContent(rebuilt.data(), rebuilt.size());
}

}  // namespace

Files loadCmapfileAndCardcf(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "cmapfile::loadCmapfileAndCardcf");
    Files files{};
    files.cardcf = &requireFile(token, "", "cardcf");
    files.cmapfile = &requireFile(token, "mscp", "cmapfile");
    files.journal = token.findDataObject(journalId());
    checkFilesAgainstCard(token, files, files.journal != nullptr);
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
            // In memory only: the next writer puts them on the card; until
            // then they must not reach the files cache.
            files.cardcf->setContent(contents->cardcf.data, contents->cardcf.size());
            files.cmapfile->setContent(contents->map.data, contents->map.size());
            token.setListCacheable(amw::CachedToken::CACHED_OBJECT_FILE, false);
        }
    }
    return files;
}

const Content& knownMap(amw::CachedToken& token) { return requireFile(token, "mscp", "cmapfile").getContent(); }

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

void rewriteMap(amw::CachedToken& token, const std::function<void(Content& map)>& change) {
    Files files = loadCmapfileAndCardcf(token);
    const Bytes onCardBefore = files.journalWhole ? Bytes() : bytesOf(files.cardcf->getContent());
    if (!files.journalWhole) rebuildShortCardcf(files);
    requireCardcf(*files.cardcf);
    // What the card cache file will hold once a journal being settled is
    // written: the journal records it as the file's old value.
    const Bytes cardcfBeforeWrite = files.journalWhole ? bytesOf(files.cardcf->getContent()) : onCardBefore;
    // 64 KiB: kept off the stack.
    auto working = std::make_unique<Content>(files.cmapfile->getContent());
    change(*working);
    auto newCardcf = std::make_unique<Content>(files.cardcf->getContent());
    raiseFreshnessFields(*newCardcf, counterStep());
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
    // The files in memory are the card's own again.
    token.setListCacheable(amw::CachedToken::CACHED_OBJECT_FILE, true);
}

}  // namespace cmapfile
