// A directory of the Ferrix card's file system.
//
// Header (27 bytes): the common part, then
//   17  2  not used
//   19  8  directory name, padded with zeros (the name ends at the first zero)
// Directories carry no metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "amw/directory.h"
#include "amwferrix/apdu.h"
#include "ctl/cardconnection.h"

namespace amwferrix {

class Directory : public amw::Directory {
public:
    explicit Directory(ctl::CardConnection& connection);
    Directory(ctl::CardConnection& connection, const StaticBuffer<8>& directoryName);

    static std::unique_ptr<Directory> createFromHeader(ctl::CardConnection& connection,
                                                       std::uint16_t blockId,
                                                       const std::uint8_t* header,
                                                       std::size_t headerSize);

    // Only a new directory is written.
    void commitCreationOrMetadataChanges() override;

    // Cache record: the name (32-bit length, at most 8 bytes), blockId (2).
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;

    std::uint16_t getBlockId() const noexcept { return blockId; }
    void setBlockId(std::uint16_t value) noexcept { blockId = value; }

private:
    std::uint16_t blockId = apdu::BLOCK_ID_NONE;
    ctl::CardConnection* connection;
};

}  // namespace amwferrix
