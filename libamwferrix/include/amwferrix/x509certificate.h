// An X.509 certificate stored on a Ferrix card.
//
// Header (18 bytes): the common part (content size at 5), then
//   17  1  trusted (non-zero: trusted)
// Metadata items, all mandatory: PKCS#11 id (<= 128); label (<= 128); the
// container index (exactly 1 byte); the key kind (exactly 1 byte,
// its low byte).
#pragma once

#include <vector>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "amw/x509certificate.h"
#include "amwferrix/apdu.h"
#include "ctl/cardconnection.h"

namespace amwferrix {

class X509Certificate : public amw::X509Certificate {
public:
    explicit X509Certificate(ctl::CardConnection& connection);
    X509Certificate(ctl::CardConnection& connection, const StaticBuffer<128>& pkcs11Id,
                    bool trusted, const StaticBuffer<128>& label, std::uint8_t containerIndex,
                    std::uint32_t keySpec);

    static std::unique_ptr<X509Certificate> createFromHeader(ctl::CardConnection& connection,
                                                             std::uint16_t blockId,
                                                             const std::uint8_t* header,
                                                             std::size_t headerSize);

    void commitCreationOrMetadataChanges() override;
    void commitContentChanges() override;
    // Certificates are public.
    bool isPrivateContent() const override;
    void readContent(Content& content) override;
    // From the header read at listing, else from the card (one command).
    std::vector<std::uint16_t> getCreationAccessConditions() override;

    // Cache record: the model's record, then blockId (2).
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;

    std::uint16_t getBlockId() const noexcept { return blockId; }
    // The token created the object in this call: it has no content block yet.
    void createdWithoutContent() noexcept { withoutContentBlock = true; }
    void setBlockId(std::uint16_t value) noexcept { blockId = value; }
    std::uint32_t getCardContentSize() const noexcept { return cardContentSize; }
    void setCardContentSize(std::uint32_t value) noexcept { cardContentSize = value; }

private:
    std::uint16_t blockId = apdu::BLOCK_ID_NONE;
    ctl::CardConnection* connection;
    // What the card holds now, which may differ from the model's content
    // until commitContentChanges.
    std::uint32_t cardContentSize = 0;
    // Made by this token in this call: the card holds no content block to
    // remove before the first content is sized.
    bool withoutContentBlock = false;
    // As the create command takes them; empty until the header was read.
    std::vector<std::uint16_t> creationAccess;
};

}  // namespace amwferrix
