// A PKCS#11 data object stored on a Ferrix card.
//
// Header (17 bytes): the common part; access condition 1 is the condition
// for reading the content (0101: everyone).
// Metadata items, all mandatory, each at most 128 bytes: PKCS#11 id, label,
// object id, application.
#pragma once

#include <vector>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "amw/dataobject.h"
#include "amwferrix/apdu.h"
#include "ctl/cardconnection.h"

namespace amwferrix {

class DataObject : public amw::DataObject {
public:
    // Readable by everyone without authentication.
    static constexpr std::uint16_t AC_PUBLIC = 0x0101;
    // In a create command: let the card choose.
    static constexpr std::uint16_t AC_CARD_CHOICE = 0xFFFF;

    explicit DataObject(ctl::CardConnection& connection);
    DataObject(ctl::CardConnection& connection, const StaticBuffer<128>& pkcs11Id,
               const StaticBuffer<128>& label, const StaticBuffer<128>& objectId,
               const StaticBuffer<128>& application, std::uint16_t acReadContent);

    static std::unique_ptr<DataObject> createFromHeader(ctl::CardConnection& connection,
                                                        std::uint16_t blockId,
                                                        const std::uint8_t* header,
                                                        std::size_t headerSize);

    // After the first commit of an object created with AC_CARD_CHOICE the
    // condition the card chose is read back from the header.
    void commitCreationOrMetadataChanges() override;
    void commitContentChanges() override;
    bool isPrivateContent() const override;
    void readContent(Content& content) override;
    // From the header read at listing, else from the card (one command).
    std::vector<std::uint16_t> getCreationAccessConditions() override;

    // Cache record: the model's record, then blockId (2), acReadContent (2).
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;

    std::uint16_t getBlockId() const noexcept { return blockId; }
    // The token created the object in this call: it has no content block yet.
    void createdWithoutContent() noexcept { withoutContentBlock = true; }
    void setBlockId(std::uint16_t value) noexcept { blockId = value; }
    std::uint32_t getCardContentSize() const noexcept { return cardContentSize; }
    void setCardContentSize(std::uint32_t value) noexcept { cardContentSize = value; }
    std::uint16_t getAcReadContent() const noexcept { return acReadContent; }
    void setAcReadContent(std::uint16_t value) noexcept { acReadContent = value; }

private:
    std::uint16_t blockId = apdu::BLOCK_ID_NONE;
    ctl::CardConnection* connection;
    std::uint32_t cardContentSize = 0;
    std::uint16_t acReadContent = AC_CARD_CHOICE;
    // Made by this token in this call: the card holds no content block to
    // remove before the first content is sized.
    bool withoutContentBlock = false;
    // As the create command takes them; empty until the header was read.
    std::vector<std::uint16_t> creationAccess;
};

}  // namespace amwferrix
