#include "amwferrix/keypair.h"

#include <cstring>

#include "conversions.h"
#include "logger.h"
#include "objectheader.h"
#include "tokentrace.h"
#include "vxexception.h"

namespace amwferrix {

using detail::HeaderView;

namespace {

constexpr std::size_t OFFSET_KEY_USAGE = 20;
constexpr std::size_t OFFSET_ORIGIN = 22;
constexpr std::size_t OFFSET_CONTAINER_INDEX = 23;
constexpr std::size_t OFFSET_KEY_SPEC = 24;
constexpr std::size_t OFFSET_KEY_SIZE = 25;

// The public key of the current key pair, read with the component command;
// the modulus is asked for with the length the header's key size gives.
KeyPair::PublicPart readPublicKey(ctl::CardConnection& connection, LvReader& metadata,
                                  std::uint16_t keySizeBits) {
    KeyPair::PublicPart part;
    std::uint32_t size = static_cast<std::uint32_t>(part.modulus.capacity());
    apdu::getComponent(connection, apdu::COMPONENT_N, part.modulus.data, &size,
                       keySizeBits % 8 == 0 ? keySizeBits / 8u : 0u);
    part.modulus.length = size;
    size = static_cast<std::uint32_t>(part.publicExponent.capacity());
    apdu::getComponent(connection, apdu::COMPONENT_E, part.publicExponent.data, &size);
    part.publicExponent.length = size;
    part.label = detail::readMandatoryItem<128>(metadata);
    return part;
}

}  // namespace

KeyPair::KeyPair(ctl::CardConnection& connection_, std::uint16_t keySize)
    : amw::KeyPair(keySize), connection(&connection_) {}

void KeyPair::convertHeaderToHostOrder(std::uint8_t* header, std::size_t headerSize) {
    const HeaderView view(header, headerSize, detail::KEY_PAIR_HEADER_SIZE,
                          "amwferrix::KeyPair::convertHeaderToHostOrder", __FILE__, __LINE__);
    for (std::size_t offset : {OFFSET_KEY_USAGE, OFFSET_KEY_SIZE}) {
        const std::uint16_t value = view.bigEndianWord(offset);
        std::memcpy(header + offset, &value, sizeof value);
    }
}

std::unique_ptr<KeyPair> KeyPair::createFromHeader(ctl::CardConnection& connection,
                                                   std::uint16_t blockId,
                                                   const std::uint8_t* header,
                                                   std::size_t headerSize) {
    static constexpr char FN[] = "amwferrix::KeyPair::createFromHeader";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    trace::logNumber(L"blockId", blockId);
    const HeaderView view(header, headerSize, detail::KEY_PAIR_HEADER_SIZE, FN, __FILE__,
                          __LINE__);
    const std::uint8_t origin = view.byte(OFFSET_ORIGIN);
    const bool hasPublic = (origin & ORIGIN_PUBLIC) != 0;
    const bool hasPrivate = (origin & ORIGIN_PRIVATE) != 0;

    const detail::Metadata metadata(connection, view.metaDataSize(), FN, __FILE__, __LINE__);
    LvReader items = metadata.reader();
    auto keyPair = std::make_unique<KeyPair>(connection, view.hostWord(OFFSET_KEY_SIZE));
    keyPair->setPkcs11Id(detail::readMandatoryItem<128>(items));
    if (!hasPublic && !hasPrivate) {
        throw InternalErrorException("the keypair does not have a public key, a private key neither");
    }
    const std::uint8_t containerIndex = view.byte(OFFSET_CONTAINER_INDEX);
    const std::uint32_t keySpec = view.byte(OFFSET_KEY_SPEC) == 1 ? KEY_EXCHANGE_KEY : SIGNATURE_KEY;
    if (hasPublic) {
        keyPair->addPublicKey(readPublicKey(connection, items, view.hostWord(OFFSET_KEY_SIZE)),
                              containerIndex, keySpec, 0);
    }
    if (hasPrivate) {
        PrivatePart part;
        part.label = detail::readMandatoryItem<128>(items);
        keyPair->addPrivateKey(part, containerIndex, keySpec, 0);
    }
    keyPair->setContainerIndex(containerIndex);
    keyPair->setKeySpec(keySpec);
    keyPair->setKeyUsage(view.hostWord(OFFSET_KEY_USAGE));
    keyPair->setGeneratedOnCard((origin & ORIGIN_GENERATED) != 0);
    keyPair->blockId = blockId;
    return keyPair;
}

void KeyPair::commitCreationOrMetadataChanges() {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::KeyPair::commitCreationOrMetadataChanges");
    trace::logNumber(L"blockId", blockId);
    LvWriter metadata;
    metadata.write(getPkcs11Id().data, getPkcs11Id().length);
    if (hasPublicKey()) {
        metadata.write(getPublicPart().label.data, getPublicPart().label.length);
    }
    if (hasPrivateKey()) {
        metadata.write(getPrivatePart().label.data, getPrivatePart().label.length);
    }
    if (blockId == apdu::BLOCK_ID_NONE) {
        apdu::setMetadataSize(*connection, metadata.getLength());
    } else if (amendPending) {
        apdu::continueAmendKeyPair(*connection, getContainerIndex(), detail::toCardKeySpec(getKeySpec()),
                                   getKeyUsage(), metadata.getLength());
        amendPending = false;
    } else {
        apdu::beginUpdateMetadata(*connection, blockId, metadata.getLength());
    }
    blockId = detail::writeAnnouncedMetadata(*connection, metadata);
    trace::logOutNumber(L"blockId", blockId);
}

void KeyPair::writeStream(std::ostream& stream) const {
    amw::KeyPair::writeStream(stream);
    writeUint16(stream, blockId);
}

void KeyPair::readStream(std::istream& stream) {
    amw::KeyPair::readStream(stream);
    blockId = readUint16(stream);
    amendPending = false;
}

}  // namespace amwferrix
