// Decides whether a cache file may be trusted. The owner of a CacheMemory
// publishes the digest of every file it writes (on the card, where all
// processes see it) and accepts a file only when its digest matches the
// published one.
#pragma once

#include <cstdint>

#include <cstddef>

class CacheMemory;

class CacheMemoryIntegrityDelegate {
public:
    virtual ~CacheMemoryIntegrityDelegate() = default;

    // After a file of `entityId` has been written: its SHA-256 digest.
    virtual void cacheMemoryHash(CacheMemory& cacheMemory, std::uint32_t entityId,
                                 const std::uint8_t (&digest)[32]) = 0;
    // Before a file of `entityId` is read: true when its digest is the
    // published one.
    virtual bool cacheMemoryVerifyHash(CacheMemory& cacheMemory, std::uint32_t entityId,
                                       const std::uint8_t (&digest)[32]) = 0;
};
