#include "amwferrix/dataobject.h"

#include "cardcontent.h"
#include "logger.h"
#include "objectheader.h"
#include "tokentrace.h"

namespace amwferrix {

namespace {

// Create order: update metadata (header offset 9), read content, write
// content, delete (the header's three conditions).
std::vector<std::uint16_t> creationAccessOf(const detail::HeaderView& view) {
    return {view.hostWord(9), view.accessCondition(1), view.accessCondition(2), view.accessCondition(3)};
}

}  // namespace

DataObject::DataObject(ctl::CardConnection& connection_) : connection(&connection_) {}

DataObject::DataObject(ctl::CardConnection& connection_, const StaticBuffer<128>& pkcs11Id,
                       const StaticBuffer<128>& label, const StaticBuffer<128>& objectId,
                       const StaticBuffer<128>& application, std::uint16_t acReadContent_)
    : amw::DataObject(pkcs11Id, label, objectId, application),
      connection(&connection_),
      acReadContent(acReadContent_) {}

std::unique_ptr<DataObject> DataObject::createFromHeader(ctl::CardConnection& connection,
                                                         std::uint16_t blockId,
                                                         const std::uint8_t* header,
                                                         std::size_t headerSize) {
    static constexpr char FN[] = "amwferrix::DataObject::createFromHeader";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    trace::logNumber(L"blockId", blockId);
    const detail::HeaderView view(header, headerSize, detail::DATA_OBJECT_HEADER_SIZE, FN,
                                  __FILE__, __LINE__);
    const detail::Metadata metadata(connection, view.metaDataSize(), FN, __FILE__, __LINE__);
    LvReader items = metadata.reader();
    const StaticBuffer<128> id = detail::readMandatoryItem<128>(items);
    const StaticBuffer<128> label = detail::readMandatoryItem<128>(items);
    const StaticBuffer<128> objectId = detail::readMandatoryItem<128>(items);
    const StaticBuffer<128> application = detail::readMandatoryItem<128>(items);
    auto dataObject = std::make_unique<DataObject>(connection, id, label, objectId, application,
                                                   view.accessCondition(1));
    dataObject->setContentSize(view.contentSize());
    dataObject->cardContentSize = view.contentSize();
    dataObject->blockId = blockId;
    dataObject->creationAccess = creationAccessOf(view);
    return dataObject;
}

void DataObject::commitCreationOrMetadataChanges() {
    TraceScope scope(LOG_FACILITY_AMWFERRIX,
                     "amwferrix::DataObject::commitCreationOrMetadataChanges");
    trace::logNumber(L"blockId", blockId);
    LvWriter metadata;
    metadata.write(getPkcs11Id().data, getPkcs11Id().length);
    metadata.write(getLabel().data, getLabel().length);
    metadata.write(getObjectId().data, getObjectId().length);
    metadata.write(getApplication().data, getApplication().length);
    blockId = detail::writeMetadata(*connection, blockId, metadata);
    trace::logOutNumber(L"blockId", blockId);
    if (acReadContent == AC_CARD_CHOICE) {
        std::uint8_t header[detail::DATA_OBJECT_HEADER_SIZE];
        apdu::beginReadMetadata(*connection, blockId, header, sizeof header);
        const detail::HeaderView view(header, sizeof header, detail::DATA_OBJECT_HEADER_SIZE,
                                      "amwferrix::DataObject::commitCreationOrMetadataChanges",
                                      __FILE__, __LINE__);
        acReadContent = view.accessCondition(1);
        trace::logOutNumber(L"acReadContent", acReadContent);
    }
}

void DataObject::commitContentChanges() {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::DataObject::commitContentChanges");
    trace::logNumber(L"blockId", blockId);
    const bool fresh = withoutContentBlock;
    withoutContentBlock = false;
    detail::replaceContent(*connection, blockId, cardContentSize, getContent(), isPrivateContent(),
                           fresh);
}

bool DataObject::isPrivateContent() const {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::DataObject::isPrivateContent");
    trace::logNumber(L"acReadContent.getEncodedValue()", acReadContent);
    return acReadContent != AC_PUBLIC;
}

void DataObject::readContent(Content& content) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::DataObject::readContent");
    trace::logNumber(L"blockId", blockId);
    detail::readCardContent(*connection, blockId, content, isPrivateContent());
}

void DataObject::writeStream(std::ostream& stream) const {
    amw::DataObject::writeStream(stream);
    writeUint16(stream, blockId);
    writeUint16(stream, acReadContent);
}

void DataObject::readStream(std::istream& stream) {
    amw::DataObject::readStream(stream);
    blockId = readUint16(stream);
    acReadContent = readUint16(stream);
    cardContentSize = getContentSize();
}

std::vector<std::uint16_t> DataObject::getCreationAccessConditions() {
    if (creationAccess.empty() && blockId != apdu::BLOCK_ID_NONE) {
        creationAccess = detail::readCreationAccess(*connection, blockId, detail::DATA_OBJECT_HEADER_SIZE,
                                                    "amwferrix::DataObject::getCreationAccessConditions",
                                                    &creationAccessOf);
    }
    return creationAccess;
}

}  // namespace amwferrix
