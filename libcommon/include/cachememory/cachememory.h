// One card's cache files: one file per object kind (entity id) in the card's
// own directory, each holding a list of SerializableEntity records. A file is
// only a hint: every problem with it (missing, stale, foreign version, broken
// digest, torn or malformed records) is a miss, and the caller reads the card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cachememory/cachememoryintegritydelegate.h"
#include "cachememory/serializableentity.h"
#include "cachememory/serializeentityfactory.h"

namespace platform {
class PrivateDirectory;
}

class CacheMemory {
public:
    using EntityList = std::vector<std::unique_ptr<SerializableEntity>>;

    // Size of the fixed header in front of the records.
    static constexpr std::size_t HEADER_SIZE = 12;
    // Files are read whole; anything larger than this cannot come from a card
    // and is not read at all.
    static constexpr std::size_t MAX_FILE_SIZE = 16u * 1024u * 1024u;
    // Block size for computing a file's digest.
    static constexpr std::size_t DIGEST_BLOCK_SIZE = 1024;

    // `factory` is not owned and must outlive this object.
    CacheMemory(SerializeEntityFactory* factory, std::string cachingDir);

    const std::string& getCachingDir() const noexcept { return cachingDir; }
    // The file of one entity id: the caching directory joined with the id in
    // decimal.
    std::string getCacheFileName(std::uint32_t entityId) const;

    // Writes the file of `entityId`: header, then the records in descending
    // order of compare. With a delegate, hands it the file's digest. False
    // when the file could not be written (a half-written file is deleted).
    bool serializeEntities(std::uint32_t entityId, std::uint32_t freshness,
                           const std::vector<const SerializableEntity*>& collection,
                           CacheMemoryIntegrityDelegate* delegate);

    // Reads the file of `entityId` into the empty `collection`. False is a
    // miss and leaves the collection empty. Throws only for a null or
    // non-empty collection.
    bool deserializeEntities(std::uint32_t entityId, std::uint32_t freshness, EntityList* collection,
                             CacheMemoryIntegrityDelegate* delegate);

    // Typed forms for owners that keep lists of one entity class.
    template <class T>
    bool serializeEntities(std::uint32_t entityId, std::uint32_t freshness,
                           const std::vector<std::unique_ptr<T>>& collection,
                           CacheMemoryIntegrityDelegate* delegate) {
        std::vector<const SerializableEntity*> entities;
        entities.reserve(collection.size());
        for (const auto& entity : collection) {
            entities.push_back(entity.get());
        }
        return serializeEntities(entityId, freshness, entities, delegate);
    }

    // An entity that the factory makes of another class than T makes the
    // whole read a miss.
    template <class T>
    bool deserializeEntities(std::uint32_t entityId, std::uint32_t freshness,
                             std::vector<std::unique_ptr<T>>* collection,
                             CacheMemoryIntegrityDelegate* delegate) {
        if (collection == nullptr) {
            return deserializeEntities(entityId, freshness, static_cast<EntityList*>(nullptr),
                                       delegate);
        }
        requireEmpty(collection->empty());
        EntityList entities;
        if (!deserializeEntities(entityId, freshness, &entities, delegate)) {
            return false;
        }
        for (const auto& entity : entities) {
            if (dynamic_cast<T*>(entity.get()) == nullptr) {
                logForeignEntity(entityId);
                return false;
            }
        }
        collection->reserve(entities.size());
        for (auto& entity : entities) {
            collection->emplace_back(static_cast<T*>(entity.release()));
        }
        return true;
    }

private:
    static void requireEmpty(bool empty);
    // The caching directory, when it may hold the user's files (created
    // with `create`); null, with the reason logged, otherwise.
    std::unique_ptr<platform::PrivateDirectory> openCachingDir(bool create) const;
    void logForeignEntity(std::uint32_t entityId) const;

    SerializeEntityFactory* factory;
    std::string cachingDir;
};
