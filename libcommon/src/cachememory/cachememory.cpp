#include "cachememory/cachememory.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <sstream>
#include <utility>

#include "fileutils.h"
#include "logger.h"
#include "platform.h"
#include "sha256.h"
#include "vxexception.h"

// Cache file layout (all integers little-endian, no padding):
//
//   offset  size  field
//   0       4     version    the factory's serialisation version at writing time
//   4       4     freshness  the freshness counter the file belongs to
//   8       4     count      number of entity records
//   12      ...   count records back to back, each exactly what the entity's
//                 writeStream produced, all of the file's entity id
//
// The integrity digest is the SHA-256 of the whole file, header included. The
// owner publishes it where other processes see it (on the card) and trusts a
// file only when the digests agree, which also catches a file that another
// process is rewriting at the same moment.
//
// Where the files live: the card's directory and the cache directory that
// holds it belong to the user alone (see platform::PrivateDirectory). A
// directory that is a link, belongs to someone else or can be written by
// others is not used, and a file that is not a regular file of the user is
// not read: a planted link must not make the module write elsewhere, nor a
// planted FIFO make it wait with the card held. A new file is written under
// a temporary name and then renamed into place, so readers in other
// processes see the old file or the new one, never a part of one.
//
// A file is read in one sequential pass into memory; the digest is computed
// over exactly the bytes that are then parsed, so a rewrite between checking
// and parsing cannot slip unverified records in.

namespace {

constexpr std::size_t DIGEST_SIZE = 32;
// The card's directory and the cache directory above it.
constexpr unsigned OWNED_DIRECTORY_LEVELS = 2;

// Closes the file on every path.
class FileCloser {
public:
    explicit FileCloser(std::FILE* f) noexcept : file(f) {}
    ~FileCloser() { close(); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;
    std::FILE* get() const noexcept { return file; }
    // False when flushing the last buffered bytes failed.
    bool close() noexcept {
        bool ok = true;
        if (file != nullptr) {
            ok = std::fclose(file) == 0;
            file = nullptr;
        }
        return ok;
    }

private:
    std::FILE* file;
};

// An input stream over bytes it does not own.
class MemoryReadBuffer : public std::streambuf {
public:
    MemoryReadBuffer(const std::uint8_t* data, std::size_t size) {
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(begin, begin, begin + size);
    }
};

void putUint32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

std::uint32_t getUint32(const std::uint8_t* bytes) noexcept {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void logParameter(const wchar_t* name, std::uint32_t value) {
    Logger& logger = Logger::instance();
    if (!logger.isEnabled()) {
        return;
    }
    wchar_t text[40];
    std::swprintf(text, sizeof text / sizeof text[0], L"%u [0x%08x]", value, value);
    logger.log(LOG_FACILITY_LIBCOMMON, L"%ls = %ls", name, text);
}

// Digest of a file that is open for reading, from offset 0 to its end, in
// blocks of the cache's block size. False on a read error.
bool digestOpenFile(std::FILE* file, std::uint8_t (&digest)[DIGEST_SIZE]) {
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        return false;
    }
    Sha256 sha;
    std::uint8_t block[CacheMemory::DIGEST_BLOCK_SIZE];
    for (;;) {
        std::size_t got = std::fread(block, 1, sizeof block, file);
        sha.update(block, got);
        if (got < sizeof block) {
            break;
        }
    }
    if (std::ferror(file) != 0) {
        return false;
    }
    sha.final(digest);
    return true;
}

void digestBytes(const std::uint8_t* header, const std::vector<std::uint8_t>& body,
                 std::uint8_t (&digest)[DIGEST_SIZE]) {
    Sha256 sha;
    sha.update(header, CacheMemory::HEADER_SIZE);
    for (std::size_t offset = 0; offset < body.size(); offset += CacheMemory::DIGEST_BLOCK_SIZE) {
        sha.update(body.data() + offset,
                   std::min(CacheMemory::DIGEST_BLOCK_SIZE, body.size() - offset));
    }
    sha.final(digest);
}

// Reads everything after the header. False on a read error or when the file
// is larger than any cache file can be.
enum class BodyRead { OK, READ_ERROR, TOO_LARGE };

BodyRead readBody(std::FILE* file, std::vector<std::uint8_t>& body) {
    std::uint8_t block[CacheMemory::DIGEST_BLOCK_SIZE];
    const std::size_t limit = CacheMemory::MAX_FILE_SIZE - CacheMemory::HEADER_SIZE;
    for (;;) {
        std::size_t got = std::fread(block, 1, sizeof block, file);
        if (got > limit - body.size()) {
            return BodyRead::TOO_LARGE;
        }
        body.insert(body.end(), block, block + got);
        if (got < sizeof block) {
            break;
        }
    }
    return std::ferror(file) != 0 ? BodyRead::READ_ERROR : BodyRead::OK;
}

// Writes the entities in descending order of compare; equal ones keep their
// relative order.
void writeEntities(std::ostream& stream, const std::vector<const SerializableEntity*>& collection) {
    std::vector<const SerializableEntity*> ordered(collection);
    for (const SerializableEntity* entity : ordered) {
        if (entity == nullptr) {
            throw InternalErrorException("CACHE MEMORY: null entity in the collection");
        }
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const SerializableEntity* a, const SerializableEntity* b) {
                         return a->compare(*b) > 0;
                     });
    for (const SerializableEntity* entity : ordered) {
        entity->writeStream(stream);
    }
}

}  // namespace

CacheMemory::CacheMemory(SerializeEntityFactory* factory_, std::string cachingDir_)
    : factory(factory_), cachingDir(std::move(cachingDir_)) {
    if (factory == nullptr) {
        throw InvalidArgumentException::nullPointer("factory", "CacheMemory::CacheMemory", __FILE__,
                                                    __LINE__);
    }
}

std::string CacheMemory::getCacheFileName(std::uint32_t entityId) const {
    return joinPath(cachingDir, std::to_string(entityId));
}

std::unique_ptr<platform::PrivateDirectory> CacheMemory::openCachingDir(bool create) const {
    std::string problem;
    std::unique_ptr<platform::PrivateDirectory> directory =
        platform::PrivateDirectory::open(cachingDir, create, OWNED_DIRECTORY_LEVELS, problem);
    if (!directory) {
        Logger& logger = Logger::instance();
        if (create) {
            logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: failed to create dir %s",
                       cachingDir.c_str());
        }
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: directory %s not used: %s",
                   cachingDir.c_str(), problem.c_str());
    }
    return directory;
}

bool CacheMemory::serializeEntities(std::uint32_t entityId, std::uint32_t freshness,
                                    const std::vector<const SerializableEntity*>& collection,
                                    CacheMemoryIntegrityDelegate* delegate) {
    TraceScope trace(LOG_FACILITY_LIBCOMMON, "CacheMemory::serializeEntities");
    logParameter(L"entityId", entityId);
    logParameter(L"freshness", freshness);
    Logger& logger = Logger::instance();

    const std::string name = std::to_string(entityId);
    const std::string fileName = getCacheFileName(entityId);
    std::unique_ptr<platform::PrivateDirectory> directory = openCachingDir(true);
    if (!directory) {
        return false;
    }
    // Temporary files of writers that died before their rename are never
    // read; each write of the card's folder clears out the old ones.
    directory->removeStaleTemporaries();
    std::string temporaryName;
    std::string problem;
    FileCloser file(directory->createTemporary(name, temporaryName, problem));
    if (file.get() == nullptr) {
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: failed to open cache file %s",
                   fileName.c_str());
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: %s", problem.c_str());
        return false;
    }

    // The records are built in memory first, so that a record that fails to
    // serialise leaves nothing behind: the temporary file is removed below.
    bool failed = false;
    std::string bytes;
    try {
        putUint32(bytes, factory->getSerializationVersion());
        putUint32(bytes, freshness);
        putUint32(bytes, static_cast<std::uint32_t>(collection.size()));
        std::ostringstream records(std::ios::out | std::ios::binary);
        writeEntities(records, collection);
        bytes += records.str();
    } catch (const std::exception&) {
        failed = true;
    }
    if (!failed) {
        failed = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
                 std::fflush(file.get()) != 0;
    }
    if (failed) {
        logger.log(LOG_FACILITY_LIBCOMMON,
                   L"CACHE MEMORY: error occurs during serialization of entities from cache file");
    }

    std::uint8_t digest[DIGEST_SIZE];
    if (!failed && delegate != nullptr && !digestOpenFile(file.get(), digest)) {
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: fail to compute SHA-256 of file %s",
                   fileName.c_str());
        file.close();
        directory->remove(temporaryName);
        return false;
    }

    if (!file.close()) {
        failed = true;
    }
    if (!failed && !directory->replace(temporaryName, name)) {
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: failed to open cache file %s",
                   fileName.c_str());
        failed = true;
    }
    if (failed) {
        // The old file no longer belongs with what the card holds.
        directory->remove(temporaryName);
        directory->remove(name);
        return false;
    }
    // Published only once the file is in place, so the card never names a
    // digest of a file that did not land.
    if (delegate != nullptr) {
        delegate->cacheMemoryHash(*this, entityId, digest);
    }
    return true;
}

void CacheMemory::requireEmpty(bool empty) {
    if (!empty) {
        throw InternalErrorException("CACHE MEMORY: getCachedEntity() collection is not empty");
    }
}

void CacheMemory::logForeignEntity(std::uint32_t entityId) const {
    Logger::instance().log(LOG_FACILITY_LIBCOMMON,
                           L"CACHE MEMORY: Failed to deserialize a cached entity in file %s",
                           getCacheFileName(entityId).c_str());
}

bool CacheMemory::deserializeEntities(std::uint32_t entityId, std::uint32_t freshness,
                                      EntityList* collection,
                                      CacheMemoryIntegrityDelegate* delegate) {
    TraceScope trace(LOG_FACILITY_LIBCOMMON, "CacheMemory::deserializeEntities");
    logParameter(L"entityId", entityId);
    logParameter(L"freshness", freshness);
    Logger& logger = Logger::instance();

    if (collection == nullptr) {
        throw InvalidArgumentException::nullPointer("collection", "CacheMemory::deserializeEntities",
                                                    __FILE__, __LINE__);
    }
    requireEmpty(collection->empty());

    const std::string fileName = getCacheFileName(entityId);
    std::unique_ptr<platform::PrivateDirectory> directory = openCachingDir(false);
    if (!directory) {
        return false;
    }
    std::string problem;
    FileCloser file(directory->openForReading(std::to_string(entityId), problem));
    if (file.get() == nullptr) {
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: Failed to open cache file %s",
                   fileName.c_str());
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: %s", problem.c_str());
        return false;
    }

    std::uint8_t header[HEADER_SIZE];
    if (std::fread(header, 1, sizeof header, file.get()) != sizeof header) {
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: Failed to read header from cache file %s",
                   fileName.c_str());
        return false;
    }
    const std::uint32_t fileVersion = getUint32(header);
    const std::uint32_t fileFreshness = getUint32(header + 4);
    const std::uint32_t count = getUint32(header + 8);
    if (fileFreshness != freshness) {
        logger.log(LOG_FACILITY_LIBCOMMON,
                   L"CACHE MEMORY: miss [requested_freshness=%d, cache_freshness=%d]",
                   static_cast<int>(freshness), static_cast<int>(fileFreshness));
        return false;
    }
    const std::uint32_t version = factory->getSerializationVersion();
    if (fileVersion != version) {
        logger.log(LOG_FACILITY_LIBCOMMON,
                   L"CACHE MEMORY: miss - bad version [requested_version=%d, cache_version=%d]",
                   static_cast<int>(version), static_cast<int>(fileVersion));
        return false;
    }

    std::vector<std::uint8_t> body;
    BodyRead bodyRead = readBody(file.get(), body);
    if (bodyRead == BodyRead::TOO_LARGE) {
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: cache file %s is too large",
                   fileName.c_str());
        return false;
    }
    if (bodyRead == BodyRead::READ_ERROR) {
        logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: fail to compute SHA-256 of file %s",
                   fileName.c_str());
        return false;
    }
    file.close();

    if (delegate != nullptr) {
        std::uint8_t digest[DIGEST_SIZE];
        digestBytes(header, body, digest);
        if (!delegate->cacheMemoryVerifyHash(*this, entityId, digest)) {
            logger.log(LOG_FACILITY_LIBCOMMON, L"CACHE MEMORY: Integrity of cache broken in file %s",
                       fileName.c_str());
            return false;
        }
    }

    // Every record takes at least one byte; a larger count cannot be right
    // and would only make us allocate entities for nothing.
    if (count > body.size()) {
        logger.log(LOG_FACILITY_LIBCOMMON,
                   L"CACHE MEMORY: Failed to deserialize a cached entity in file %s",
                   fileName.c_str());
        return false;
    }

    MemoryReadBuffer source(body.data(), body.size());
    std::istream stream(&source);
    try {
        for (std::uint32_t i = 0; i < count; ++i) {
            std::unique_ptr<SerializableEntity> entity = factory->createSerializableEntity(entityId);
            if (!entity) {
                throw InternalErrorException("CACHE MEMORY: no entity for entityId [%u]", entityId);
            }
            collection->push_back(std::move(entity));
            collection->back()->readStream(stream);
        }
    } catch (...) {
        logger.log(LOG_FACILITY_LIBCOMMON,
                   L"CACHE MEMORY: error occurs during deserialization of entities from cache file");
        collection->clear();
        return false;
    }
    // Bytes left over after the last record mean the file is not one we wrote.
    if (!stream.good() || stream.peek() != std::char_traits<char>::eof()) {
        logger.log(LOG_FACILITY_LIBCOMMON,
                   L"CACHE MEMORY: Failed to deserialize a cached entity in file %s",
                   fileName.c_str());
        collection->clear();
        return false;
    }
    logParameter(L"collection->size()", static_cast<std::uint32_t>(collection->size()));
    return true;
}
