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

// Key pair metadata (LV items):
//   PKCS#11 id; public key label (origin bit 1); private key label (bit 2);
//   for a private key stored without its public key (origin 4 or 5), the
//   pair's public values, when known: the modulus in two items (its first
//   ceil(n / 2) bytes, then the rest, since one item holds at most 254
//   bytes), then the public exponent in two items the same way.
// Metadata written before the public values were kept ends after the
// private key label; such a private key's public values stay unknown.
void writeSplitValue(LvWriter& metadata, const StaticBuffer<256>& value) {
    const std::size_t first = (value.length + 1) / 2;
    metadata.write(value.data, first);
    metadata.write(value.data + first, value.length - first);
}

StaticBuffer<256> readSplitValue(LvReader& metadata) {
    const StaticBuffer<128> first = detail::readMandatoryItem<128>(metadata);
    const StaticBuffer<128> second = detail::readMandatoryItem<128>(metadata);
    StaticBuffer<256> value(first.data, first.length);
    std::memcpy(value.data + first.length, second.data, second.length);
    value.length = first.length + second.length;
    return value;
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
        if (!hasPublic && !items.atEnd()) {
            part.modulus = readSplitValue(items);
            part.publicExponent = readSplitValue(items);
        }
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
        if (!hasPublicKey() && getPrivatePart().modulus.length != 0) {
            writeSplitValue(metadata, getPrivatePart().modulus);
            writeSplitValue(metadata, getPrivatePart().publicExponent);
        }
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
