// The cached token's own state: the freshness block, the object lists and
// their cache files, and the lookups. The operations that change objects or
// pass straight to the card are in cachedtoken_operations.cpp.
//
// How processes agree on cache files: the card holds a freshness block with
// one 16-bit counter per object kind and the first 5 bytes of the SHA-256 of
// each kind's cache file. A file is used only when its header carries the
// kind's counter as read from the card at the start of the call and its
// digest matches the card's. A process that changes objects of a kind raises
// the kind's counter (and zeroes the kind's digest) before touching the card,
// and at the end of the call rewrites the file and publishes the new block,
// so a reader never trusts a file that describes an older card.
#include "amw/cachedtoken.h"

#include <algorithm>
#include <string>
#include <utility>

#include "amw/exceptions.h"
#include "amw/interruptedwrite.h"
#include "amw/interruptedwritesteps.h"
#include "cachedtokentrace.h"
#include "configuration.h"
#include "fileutils.h"
#include "logger.h"
#include "platform.h"
#include "vxexception.h"

namespace amw {

namespace {

using namespace cachedtrace;

template <class T>
using OwnedList = std::vector<std::unique_ptr<T>>;

// The card's directory name in the cache directory: its identifier as 32
// upper-case hexadecimal digits, in byte order.
std::string cardIdText(const CardId& cardId) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * cardId.size());
    for (std::uint8_t byte : cardId) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

std::uint16_t counterBit(std::uint32_t counter) {
    return static_cast<std::uint16_t>(1u << counter);
}

// Kinds that own a cache file and a digest on the card (no file for secret
// keys, which the card does not hold).
bool hasCacheFile(std::uint32_t kind) {
    return kind >= CachedToken::CACHED_OBJECT_KEYPAIR && kind <= CachedToken::CACHED_OBJECT_AO &&
           kind != CachedToken::CACHED_OBJECT_SECRETKEY;
}

// Where a list comes from: the cache file when it is current, the card
// otherwise. A list read from the card marks the call so that refreshCache
// rewrites every loaded list.
struct ListSource {
    CacheMemory* cache;
    const FreshnessRecord& cardFreshness;
    CacheMemoryIntegrityDelegate& delegate;
    bool& loadedFromCard;
    std::uint16_t& listsFromCard;
};

template <class T, class ReadCard>
OwnedList<T>& ensureLoaded(std::unique_ptr<OwnedList<T>>& slot, const ListSource& source,
                           std::uint32_t kind, ReadCard readCard) {
    if (slot) {
        return *slot;
    }
    auto list = std::make_unique<OwnedList<T>>();
    const bool cached =
        source.cache != nullptr &&
        source.cache->deserializeEntities(kind, source.cardFreshness.counter(kind), list.get(),
                                          &source.delegate);
    if (!cached) {
        logNumber(L"list read from the card, kind", kind);
        list->clear();
        readCard(*list);
        source.loadedFromCard = true;
        source.listsFromCard = static_cast<std::uint16_t>(source.listsFromCard | (1u << kind));
    }
    slot = std::move(list);
    return *slot;
}

// A replacement cut off after its old object was deleted is the object now
// (see interruptedwrite.h); its identifier on the card still carries the
// mark until the next writer of its kind rewrites it.
template <class List>
void adoptFinishedReplacements(List& list, std::vector<const DataStorage*>& unfinished) {
    for (DataStorage* adopted : interruptedwrite::adoptReplacements(list)) unfinished.push_back(adopted);
}

// Contents that are not private are read now, so that the cache file holds
// them and later calls need not read them from the card.
template <class T>
void readPublicContents(OwnedList<T>& list) {
    for (auto& object : list) {
        if (!object->isPrivateContent()) {
            object->getContent();
        }
    }
}

template <class T>
void saveList(CacheMemory& cache, std::uint32_t kind, const std::unique_ptr<OwnedList<T>>& list,
              bool wanted, std::uint16_t freshness, CacheMemoryIntegrityDelegate& delegate) {
    if (!list || !wanted) {
        return;
    }
    if (!cache.serializeEntities(kind, freshness, *list, &delegate)) {
        logNumber(L"cache file not written, kind", kind);
    }
}

template <class T>
T* findById(OwnedList<T>& list, const StaticBuffer<128>& pkcs11Id) {
    for (auto& object : list) {
        if (object->getPkcs11Id().equals(pkcs11Id)) {
            return object.get();
        }
    }
    return nullptr;
}

}  // namespace

CachedToken::CachedToken(std::unique_ptr<Token> token_, const CardId& cardId_)
    : CachedToken(std::move(token_), cardId_, Configuration::instance().cacheDirectory) {}

CachedToken::CachedToken(std::unique_ptr<Token> token_, const CardId& cardId_,
                         const std::string& cacheDirectory)
    : CachedToken(std::move(token_), cardId_, cacheDirectory, nullptr) {}

CachedToken::CachedToken(std::unique_ptr<Token> token_, const CardId& cardId_,
                         const FreshnessRecord* knownCardFreshness)
    : CachedToken(std::move(token_), cardId_, Configuration::instance().cacheDirectory,
                  knownCardFreshness) {}

CachedToken::CachedToken(std::unique_ptr<Token> token_, const CardId& cardId_,
                         const std::string& cacheDirectory,
                         const FreshnessRecord* knownCardFreshness)
    : token(std::move(token_)), cardId(cardId_) {
    static constexpr char FN[] = "amw::CachedToken::CachedToken";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    Logger::instance().logHex(LOG_FACILITY_AMW, L"cardId = ", cardId.data(), cardId.size(), true);
    if (!token) {
        throw InvalidArgumentException::nullPointer("token", FN, __FILE__, __LINE__);
    }
    if (knownCardFreshness != nullptr) {
        cardFreshness = *knownCardFreshness;
    } else if (!token->getCacheFreshness(cardFreshness)) {
        cardFreshness = FreshnessRecord();
    }
    freshness = cardFreshness;
    modifiedCounters = 0;
    staleOnCard = 0;
    loadedFromCard = false;
    if (cacheDirectory.empty()) {
        logMessage(L"CACHE MEMORY disabled");
        return;
    }
    cacheMemory =
        std::make_unique<CacheMemory>(token.get(), joinPath(cacheDirectory, cardIdText(cardId)));
    Logger::instance().log(LOG_FACILITY_AMW, L"%ls = %s", L"cacheMemory->getCachingDir().c_str()",
                           cacheMemory->getCachingDir().c_str());
}

CachedToken::~CachedToken() = default;

const char* CachedToken::counterName(std::uint32_t counter) noexcept {
    static const char* const names[] = {"keypair", "secretkey",   "certificate", "dirs",
                                        "files",   "dataobjects", "ao"};
    if (counter < CACHED_OBJECT_KEYPAIR || counter > CACHED_OBJECT_AO) {
        return "unknown";
    }
    return names[counter - 1];
}

void CachedToken::increaseFreshnessCounter(std::uint32_t counter, bool writeToCard) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::increaseFreshnessCounter");
    logNumber(L"counter", counter);
    logBool(L"writeToCard", writeToCard);
    // Authentication objects have no counter on the card: nothing may change them.
    if (counter < CACHED_OBJECT_KEYPAIR || counter > CACHED_OBJECT_DATA_OBJECT) {
        throw InternalErrorException(
            "CachedToken::increaseFreshnessCounter() neznama hodnota parametru counter [%u]",
            counter);
    }
    std::uint16_t& value = freshness.counter(counter);
    value = static_cast<std::uint16_t>(value + 1);
    // The old digest describes a file of the previous counter; until the
    // new file is written nobody may match it.
    freshness.digest(counter).fill(0);
    modifiedCounters = static_cast<std::uint16_t>(modifiedCounters | counterBit(counter));
    // The write is skipped only when every raised kind is already stale on
    // the card: a kind raised earlier without a write must still get there
    // (without a cache nothing else writes it).
    if (writeToCard && (modifiedCounters & ~staleOnCard) != 0) {
        token->setCacheFreshness(freshness);
        staleOnCard = modifiedCounters;
    }
}

void CachedToken::checkFreshnessCounterModified(std::uint32_t counter) const {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::checkFreshnessCounterModified");
    logNumber(L"type", counter);
    if (counter < CACHED_OBJECT_KEYPAIR || counter > CACHED_OBJECT_AO) {
        throw InternalErrorException("unknown counter");
    }
    if ((modifiedCounters & counterBit(counter)) == 0) {
        throw FreshnessCounterException(counterName(counter));
    }
}

void CachedToken::refreshCache() noexcept {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::refreshCache");
    // A call that holds the user's rights settles what interrupted writes
    // left in the lists it loaded, whatever it did, before they are saved.
    interruptedwrite::settleLoadedLists(*this);
    if (!cacheMemory) {
        return;
    }
    try {
        // A list holding an adopted replacement whose identifier is still
        // marked on the card is not saved: the next call reads it from the
        // card and sees the mark, until a writer settles it.
        const auto unsettled = [this](const auto& list) {
            if (!list) return false;
            for (const auto& object : *list) {
                if (isUnfinishedReplacement(object.get())) return true;
            }
            return false;
        };
        const bool certificatesUnsettled = unsettled(certificates);
        const bool dataObjectsUnsettled = unsettled(dataObjects);
        const auto wanted = [&](std::uint32_t kind) {
            if (kind == CACHED_OBJECT_CERTIFICATE && certificatesUnsettled) return false;
            if (kind == CACHED_OBJECT_DATA_OBJECT && dataObjectsUnsettled) return false;
            if ((notCacheable & counterBit(kind)) != 0) return false;
            return loadedFromCard || (modifiedCounters & counterBit(kind)) != 0;
        };
        const auto save = [&](std::uint32_t kind, const auto& list) {
            saveList(*cacheMemory, kind, list, wanted(kind), freshness.counter(kind), *this);
        };
        save(CACHED_OBJECT_KEYPAIR, keyPairs);
        save(CACHED_OBJECT_AO, authenticationObjects);
        save(CACHED_OBJECT_DIRECTORY, directories);
        save(CACHED_OBJECT_DATA_OBJECT, dataObjects);
        save(CACHED_OBJECT_CERTIFICATE, certificates);
        save(CACHED_OBJECT_FILE, files);
        if (freshness != cardFreshness) {
            token->setCacheFreshness(freshness);
        }
    } catch (const std::exception& e) {
        Logger::instance().log(LOG_FACILITY_AMW, L"unable to write cache to card [%s]", e.what());
    } catch (...) {
        logMessage(L"unable to write cache to card [unkwnown error]");
    }
}

void CachedToken::generatePkcs11Id(StaticBuffer<128>& id) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::generatePkcs11Id");
    std::uint8_t bytes[16] = {};
    do {
        if (!platform::randomBytes(bytes, sizeof bytes)) {
            throw InternalErrorException(
                "CachedToken::generatePkcs11Id() the random generator failed");
        }
        id.assign(bytes, sizeof bytes);
    } while (findCertificate(id) != nullptr || findKeyPair(id) != nullptr ||
             findDataObject(id) != nullptr);
    logBuffer(L"new_id = ", id);
}

KeyPairList& CachedToken::getKeyPairs() {
    const ListSource source{cacheMemory.get(), cardFreshness, *this, loadedFromCard, listsFromCard};
    return ensureLoaded(keyPairs, source, CACHED_OBJECT_KEYPAIR,
                        [this](KeyPairList& list) { token->listKeyPairs(list); });
}

X509CertificateList& CachedToken::getCertificates() {
    const ListSource source{cacheMemory.get(), cardFreshness, *this, loadedFromCard, listsFromCard};
    const bool loaded = certificates != nullptr;
    X509CertificateList& list = ensureLoaded(certificates, source, CACHED_OBJECT_CERTIFICATE,
                                             [this](X509CertificateList& read) {
                                                 token->listCertificates(read);
                                                 readPublicContents(read);
                                             });
    if (!loaded) adoptFinishedReplacements(list, unfinishedReplacements);
    return list;
}

FileList& CachedToken::getFiles() {
    const ListSource source{cacheMemory.get(), cardFreshness, *this, loadedFromCard, listsFromCard};
    return ensureLoaded(files, source, CACHED_OBJECT_FILE, [this](FileList& list) {
        token->listFiles(list);
        readPublicContents(list);
    });
}

DirectoryList& CachedToken::getDirectories() {
    const ListSource source{cacheMemory.get(), cardFreshness, *this, loadedFromCard, listsFromCard};
    return ensureLoaded(directories, source, CACHED_OBJECT_DIRECTORY,
                        [this](DirectoryList& list) { token->listDirs(list); });
}

DataObjectList& CachedToken::getDataObjects() {
    const ListSource source{cacheMemory.get(), cardFreshness, *this, loadedFromCard, listsFromCard};
    const bool loaded = dataObjects != nullptr;
    DataObjectList& list = ensureLoaded(dataObjects, source, CACHED_OBJECT_DATA_OBJECT,
                                        [this](DataObjectList& read) {
                                            token->listDataObjects(read);
                                            readPublicContents(read);
                                        });
    if (!loaded) adoptFinishedReplacements(list, unfinishedReplacements);
    return list;
}

void CachedToken::setListCacheable(std::uint32_t kind, bool cacheable) noexcept {
    if (kind >= 16) return;
    notCacheable = cacheable ? static_cast<std::uint16_t>(notCacheable & ~counterBit(kind))
                             : static_cast<std::uint16_t>(notCacheable | counterBit(kind));
}

bool CachedToken::isListFromCard(std::uint32_t kind) const noexcept {
    return kind < 16 && (listsFromCard & counterBit(kind)) != 0;
}

bool CachedToken::isListLoaded(std::uint32_t kind) const noexcept {
    switch (kind) {
        case CACHED_OBJECT_KEYPAIR: return keyPairs != nullptr;
        case CACHED_OBJECT_CERTIFICATE: return certificates != nullptr;
        case CACHED_OBJECT_DIRECTORY: return directories != nullptr;
        case CACHED_OBJECT_FILE: return files != nullptr;
        case CACHED_OBJECT_DATA_OBJECT: return dataObjects != nullptr;
        case CACHED_OBJECT_AO: return authenticationObjects != nullptr;
        default: return false;
    }
}

bool CachedToken::isUnfinishedReplacement(const DataStorage* object) const noexcept {
    return std::find(unfinishedReplacements.begin(), unfinishedReplacements.end(), object) !=
           unfinishedReplacements.end();
}

void CachedToken::replacementUnfinished(const DataStorage* object) {
    if (!isUnfinishedReplacement(object)) unfinishedReplacements.push_back(object);
}

void CachedToken::replacementFinished(const DataStorage* object) noexcept {
    unfinishedReplacements.erase(
        std::remove(unfinishedReplacements.begin(), unfinishedReplacements.end(), object),
        unfinishedReplacements.end());
}

AuthenticationObjectList& CachedToken::getAuthenticationObjects() {
    const ListSource source{cacheMemory.get(), cardFreshness, *this, loadedFromCard, listsFromCard};
    return ensureLoaded(authenticationObjects, source, CACHED_OBJECT_AO,
                        [this](AuthenticationObjectList& list) {
                            token->listAuthenticateObjects(list);
                        });
}

AuthenticationObject* CachedToken::findAuthenticationObject(std::uint32_t role) {
    for (auto& ao : getAuthenticationObjects()) {
        if (ao->getRole() == role) {
            return ao.get();
        }
    }
    return nullptr;
}

AuthenticationObject* CachedToken::getPkcs11SoObject() {
    for (auto& ao : getAuthenticationObjects()) {
        if (ao->isPkcs11So()) {
            return ao.get();
        }
    }
    return nullptr;
}

Directory* CachedToken::findDirectory(const StaticBuffer<8>& name) {
    for (auto& directory : getDirectories()) {
        if (directory->getDirectoryName().equals(name)) {
            return directory.get();
        }
    }
    return nullptr;
}

File* CachedToken::findFile(const Directory* dir, const StaticBuffer<8>& name) {
    if (dir == nullptr) {
        throw InvalidArgumentException::nullPointer("dir", "amw::CachedToken::findFile", __FILE__,
                                                    __LINE__);
    }
    for (auto& file : getFiles()) {
        if (file->getDirectoryName().equals(dir->getDirectoryName()) &&
            file->getFileName().equals(name)) {
            return file.get();
        }
    }
    return nullptr;
}

KeyPair* CachedToken::findKeyPair(const StaticBuffer<128>& pkcs11Id) {
    return findById(getKeyPairs(), pkcs11Id);
}

X509Certificate* CachedToken::findCertificate(const StaticBuffer<128>& pkcs11Id) {
    return findById(getCertificates(), pkcs11Id);
}

DataObject* CachedToken::findDataObject(const StaticBuffer<128>& pkcs11Id) {
    return findById(getDataObjects(), pkcs11Id);
}

void CachedToken::cacheMemoryHash(CacheMemory& /*cacheMemory*/, std::uint32_t entityId,
                                  const std::uint8_t (&digest)[32]) {
    if (!hasCacheFile(entityId)) {
        throw InternalErrorException("CachedToken::cacheMemoryHash unknown entityId [%u]",
                                     entityId);
    }
    auto& prefix = freshness.digest(entityId);
    std::copy_n(digest, prefix.size(), prefix.begin());
}

bool CachedToken::cacheMemoryVerifyHash(CacheMemory& /*cacheMemory*/, std::uint32_t entityId,
                                        const std::uint8_t (&digest)[32]) {
    if (!hasCacheFile(entityId)) {
        throw InternalErrorException("CachedToken::cacheMemoryVerifyHash unknown entityId [%u]",
                                     entityId);
    }
    const auto& prefix = cardFreshness.digest(entityId);
    return std::equal(prefix.begin(), prefix.end(), digest);
}

}  // namespace amw
