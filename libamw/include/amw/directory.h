// A directory of the card's file system. Its cache record belongs to the card
// driver, which writes the name together with its own card fields.
#pragma once

#include <cstdint>

#include "amw/storage.h"
#include "staticbuffer.h"

namespace amw {

class Directory : public Storage {
public:
    Directory() = default;
    explicit Directory(const StaticBuffer<8>& directoryName) : directoryName(directoryName) {}

    std::uint32_t getStorageType() const override { return STORAGE_DIRECTORY; }
    virtual void commitCreationOrMetadataChanges() = 0;

    // By name.
    std::int32_t compare(const SerializableEntity& other) const override;

    const StaticBuffer<8>& getDirectoryName() const noexcept { return directoryName; }
    void setDirectoryName(const StaticBuffer<8>& value) { directoryName = value; }

protected:
    // The name as an LV of at most 8 bytes, the start of every directory record.
    void writeDirectoryName(std::ostream& stream) const;
    void readDirectoryName(std::istream& stream);

private:
    StaticBuffer<8> directoryName;
};

}  // namespace amw
