// Objects stored on the card (everything but authentication objects).
#pragma once

#include <cstdint>

#include "cachememory/serializableentity.h"

namespace amw {

class Storage : public SerializableEntity {
public:
    enum StorageType : std::uint32_t {
        STORAGE_DATA_OBJECT = 0,
        STORAGE_FILE = 1,
        STORAGE_DIRECTORY = 2,
        STORAGE_KEY_PAIR = 3,
        STORAGE_CERTIFICATE = 4
    };

    virtual std::uint32_t getStorageType() const = 0;
};

}  // namespace amw
