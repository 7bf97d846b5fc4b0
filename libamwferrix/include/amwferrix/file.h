// A file in a directory of the Ferrix card's file system.
//
// Header (33 bytes): the common part (access conditions 1 to 3 at 11, 13
// and 15: read condition first), then
//   17  8  name of the file's directory, padded with zeros
//   25  8  file name, padded with zeros
// Names are compared in lower case. Files carry no metadata.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "amw/file.h"
#include "amwferrix/apdu.h"
#include "ctl/cardconnection.h"

namespace amwferrix {

class File : public amw::File {
public:
    static constexpr std::uint16_t AC_PUBLIC = 0x0101;
    static constexpr std::uint16_t AC_CARD_CHOICE = 0xFFFF;

    // An empty file for the cache: empty names, conditions FFFF.
    explicit File(ctl::CardConnection& connection);
    File(ctl::CardConnection& connection, const StaticBuffer<8>& fileName,
         const StaticBuffer<8>& directoryName, std::uint16_t acRead, std::uint16_t acSecond,
         std::uint16_t acThird);

    static std::unique_ptr<File> createFromHeader(ctl::CardConnection& connection,
                                                  std::uint16_t blockId,
                                                  const std::uint8_t* header,
                                                  std::size_t headerSize);

    // Only a new file is written; a stored file has no metadata to rewrite.
    void commitCreationOrMetadataChanges() override;
    void commitContentChanges() override;
    bool isPrivateContent() const override;
    void readContent(Content& content) override;

    // Cache record: the model's record, then blockId (2).
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;

    std::uint16_t getBlockId() const noexcept { return blockId; }
    void setBlockId(std::uint16_t value) noexcept { blockId = value; }
    std::uint32_t getCardContentSize() const noexcept { return cardContentSize; }
    void setCardContentSize(std::uint32_t value) noexcept { cardContentSize = value; }

private:
    std::uint16_t blockId = apdu::BLOCK_ID_NONE;
    ctl::CardConnection* connection;
    std::uint32_t cardContentSize = 0;
};

}  // namespace amwferrix
