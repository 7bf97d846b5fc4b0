// A file in a directory of the card's file system.
#pragma once

#include <cstdint>

#include "amw/datastorage.h"

namespace amw {

class File : public DataStorage {
public:
    File() = default;
    // Access values: read condition first, then the two others.
    File(const StaticBuffer<8>& fileName, const StaticBuffer<8>& directoryName,
         std::uint16_t acRead, std::uint16_t acSecond, std::uint16_t acThird);

    std::uint32_t getStorageType() const override { return STORAGE_FILE; }

    // Cache record: the content part, file name LV (<= 8), directory name LV
    // (<= 8), the three access values (2 each).
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;
    // By directory name, then by file name.
    std::int32_t compare(const SerializableEntity& other) const override;

    const StaticBuffer<8>& getFileName() const noexcept { return fileName; }
    void setFileName(const StaticBuffer<8>& value) { fileName = value; }
    const StaticBuffer<8>& getDirectoryName() const noexcept { return directoryName; }
    void setDirectoryName(const StaticBuffer<8>& value) { directoryName = value; }
    std::uint16_t getAcRead() const noexcept { return access[0]; }
    // Access value 0, 1 or 2 (0 is the read condition).
    std::uint16_t getAccess(std::size_t index) const noexcept { return index < 3 ? access[index] : 0; }
    void setAccess(std::size_t index, std::uint16_t value) noexcept {
        if (index < 3) {
            access[index] = value;
        }
    }

private:
    StaticBuffer<8> fileName;
    StaticBuffer<8> directoryName;
    std::uint16_t access[3] = {0, 0, 0};
};

}  // namespace amw
