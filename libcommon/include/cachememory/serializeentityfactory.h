// Creates empty cache entities of a kind named by its entity id, to be filled
// from a cache file, and names the version of the record layouts it writes.
#pragma once

#include <cstdint>
#include <memory>

#include "cachememory/serializableentity.h"

class SerializeEntityFactory {
public:
    virtual ~SerializeEntityFactory() = default;

    // A new empty entity of the kind `entityId` names; throws for a kind the
    // factory does not know.
    virtual std::unique_ptr<SerializableEntity> createSerializableEntity(std::uint32_t entityId) = 0;
    // Written into every cache file header; a file of another version is a miss.
    virtual std::uint32_t getSerializationVersion() = 0;
};
