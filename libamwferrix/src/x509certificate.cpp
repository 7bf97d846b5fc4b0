#include "amwferrix/x509certificate.h"

#include "cardcontent.h"
#include "logger.h"
#include "objectheader.h"
#include "tokentrace.h"

namespace amwferrix {

namespace {

// Create order: read content, write, delete (the header's three conditions).
std::vector<std::uint16_t> creationAccessOf(const detail::HeaderView& view) {
    return {view.accessCondition(1), view.accessCondition(2), view.accessCondition(3)};
}

}  // namespace

namespace {
constexpr std::size_t OFFSET_TRUSTED = 17;
}

X509Certificate::X509Certificate(ctl::CardConnection& connection_) : connection(&connection_) {}

X509Certificate::X509Certificate(ctl::CardConnection& connection_,
                                 const StaticBuffer<128>& pkcs11Id, bool trusted,
                                 const StaticBuffer<128>& label, std::uint8_t containerIndex,
                                 std::uint32_t keySpec)
    : amw::X509Certificate(pkcs11Id, trusted, label, containerIndex, keySpec),
      connection(&connection_) {}

std::unique_ptr<X509Certificate> X509Certificate::createFromHeader(
    ctl::CardConnection& connection, std::uint16_t blockId, const std::uint8_t* header,
    std::size_t headerSize) {
    static constexpr char FN[] = "amwferrix::X509Certificate::createFromHeader";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    trace::logNumber(L"blockId", blockId);
    const detail::HeaderView view(header, headerSize, detail::CERTIFICATE_HEADER_SIZE, FN,
                                  __FILE__, __LINE__);
    const detail::Metadata metadata(connection, view.metaDataSize(), FN, __FILE__, __LINE__);
    LvReader items = metadata.reader();
    const StaticBuffer<128> id = detail::readMandatoryItem<128>(items);
    const StaticBuffer<128> label = detail::readMandatoryItem<128>(items);
    const std::uint8_t containerIndex = detail::readMandatoryByte(items);
    const std::uint8_t keySpec = detail::readMandatoryByte(items);
    auto certificate = std::make_unique<X509Certificate>(
        connection, id, view.byte(OFFSET_TRUSTED) != 0, label, containerIndex, keySpec);
    certificate->setContentSize(view.contentSize());
    certificate->cardContentSize = view.contentSize();
    certificate->blockId = blockId;
    certificate->creationAccess = creationAccessOf(view);
    return certificate;
}

void X509Certificate::commitCreationOrMetadataChanges() {
    TraceScope scope(LOG_FACILITY_AMWFERRIX,
                     "amwferrix::X509Certificate::commitCreationOrMetadataChanges");
    trace::logNumber(L"blockId", blockId);
    LvWriter metadata;
    metadata.write(getPkcs11Id().data, getPkcs11Id().length);
    metadata.write(getLabel().data, getLabel().length);
    const std::uint8_t containerIndex = getContainerIndex();
    const std::uint8_t keySpec = static_cast<std::uint8_t>(getKeySpec() & 0xFF);
    metadata.write(&containerIndex, 1);
    metadata.write(&keySpec, 1);
    blockId = detail::writeMetadata(*connection, blockId, metadata);
    trace::logOutNumber(L"blockId", blockId);
}

void X509Certificate::commitContentChanges() {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::X509Certificate::commitContentChanges");
    trace::logNumber(L"blockId", blockId);
    const bool fresh = withoutContentBlock;
    withoutContentBlock = false;
    detail::replaceContent(*connection, blockId, cardContentSize, getContent(), false, fresh);
}

bool X509Certificate::isPrivateContent() const {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::X509Certificate::isPrivateContent");
    return false;
}

void X509Certificate::readContent(Content& content) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::X509Certificate::readContent");
    trace::logNumber(L"blockId", blockId);
    detail::readCardContent(*connection, blockId, content, false);
}

void X509Certificate::writeStream(std::ostream& stream) const {
    amw::X509Certificate::writeStream(stream);
    writeUint16(stream, blockId);
}

void X509Certificate::readStream(std::istream& stream) {
    amw::X509Certificate::readStream(stream);
    blockId = readUint16(stream);
    cardContentSize = getContentSize();
}

std::vector<std::uint16_t> X509Certificate::getCreationAccessConditions() {
    if (creationAccess.empty() && blockId != apdu::BLOCK_ID_NONE) {
        creationAccess = detail::readCreationAccess(*connection, blockId, detail::CERTIFICATE_HEADER_SIZE,
                                                    "amwferrix::X509Certificate::getCreationAccessConditions",
                                                    &creationAccessOf);
    }
    return creationAccess;
}

}  // namespace amwferrix
