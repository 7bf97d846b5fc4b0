// An RSA key pair stored on a Ferrix card.
//
// Header (27 bytes): the common part, then
//   17  3  not used
//   20  2  keyUsage, big-endian
//   22  1  origin: bit 0 generated on the card, bit 1 public key present,
//          bit 2 private key present
//   23  1  containerIndex (FF: no container)
//   24  1  keySpec: 1 is the key-exchange kind, anything else signature (0)
//   25  2  keySize in bits, big-endian
// Metadata items, all mandatory: PKCS#11 id (<= 128); the public key label
// (<= 128) when the public key is present; the private key label (<= 128)
// when the private key is present. The public key itself (N and E) is read
// with the component command while the key pair is the current object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "amw/keypair.h"
#include "amwferrix/apdu.h"
#include "ctl/cardconnection.h"

namespace amwferrix {

class KeyPair : public amw::KeyPair {
public:
    static constexpr std::uint8_t ORIGIN_GENERATED = 0x01;
    static constexpr std::uint8_t ORIGIN_PUBLIC = 0x02;
    static constexpr std::uint8_t ORIGIN_PRIVATE = 0x04;

    KeyPair(ctl::CardConnection& connection, std::uint16_t keySize = 0);

    // From the header that begin-read-metadata returned for `blockId` (the
    // key pair is the card's current object), with keyUsage and keySize
    // already in host order as the listing hands them over
    // (convertHeaderToHostOrder); reads its metadata and public key. A header
    // without any key part is an InternalErrorException.
    static std::unique_ptr<KeyPair> createFromHeader(ctl::CardConnection& connection,
                                                     std::uint16_t blockId,
                                                     const std::uint8_t* header,
                                                     std::size_t headerSize);

    // Converts keyUsage (offset 20) and keySize (offset 25) of a key pair
    // header from the card's big-endian form to host order, in place.
    static void convertHeaderToHostOrder(std::uint8_t* header, std::size_t headerSize);

    // Writes the metadata: of a new key pair (setMetadataSize), of an amend in
    // progress (continueAmendKeyPair) or of a stored one (beginUpdateMetadata).
    void commitCreationOrMetadataChanges() override;

    // Cache record: the model's record, then blockId (2).
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;

    std::uint16_t getBlockId() const noexcept { return blockId; }
    void setBlockId(std::uint16_t value) noexcept { blockId = value; }
    bool isAmendPending() const noexcept { return amendPending; }
    void setAmendPending(bool value) noexcept { amendPending = value; }

private:
    std::uint16_t blockId = apdu::BLOCK_ID_NONE;
    bool amendPending = false;
    ctl::CardConnection* connection;
};

}  // namespace amwferrix
