#include "amwferrix/file.h"

#include "cardcontent.h"
#include "logger.h"
#include "objectheader.h"
#include "tokentrace.h"

namespace amwferrix {

namespace {
constexpr std::size_t OFFSET_DIRECTORY_NAME = 17;
constexpr std::size_t OFFSET_FILE_NAME = 25;
constexpr std::size_t NAME_SIZE = 8;
}  // namespace

File::File(ctl::CardConnection& connection_)
    : amw::File(StaticBuffer<8>(), StaticBuffer<8>(), AC_CARD_CHOICE, AC_CARD_CHOICE,
                AC_CARD_CHOICE),
      connection(&connection_) {}

File::File(ctl::CardConnection& connection_, const StaticBuffer<8>& fileName,
           const StaticBuffer<8>& directoryName, std::uint16_t acRead, std::uint16_t acSecond,
           std::uint16_t acThird)
    : amw::File(fileName, directoryName, acRead, acSecond, acThird), connection(&connection_) {}

std::unique_ptr<File> File::createFromHeader(ctl::CardConnection& connection,
                                             std::uint16_t blockId, const std::uint8_t* header,
                                             std::size_t headerSize) {
    static constexpr char FN[] = "amwferrix::File::createFromHeader";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    trace::logNumber(L"blockId", blockId);
    const detail::HeaderView view(header, headerSize, detail::FILE_HEADER_SIZE, FN, __FILE__,
                                  __LINE__);
    const std::uint8_t* directoryBytes = view.bytes(OFFSET_DIRECTORY_NAME, NAME_SIZE);
    const std::uint8_t* fileBytes = view.bytes(OFFSET_FILE_NAME, NAME_SIZE);
    trace::logHex(L"header.directoryName = ", directoryBytes, NAME_SIZE);
    trace::logHex(L"header.fileName = ", fileBytes, NAME_SIZE);
    auto file = std::make_unique<File>(connection, detail::nameFromHeader(fileBytes, false),
                                       detail::nameFromHeader(directoryBytes, false),
                                       view.accessCondition(1), view.accessCondition(2),
                                       view.accessCondition(3));
    file->setContentSize(view.contentSize());
    file->cardContentSize = view.contentSize();
    file->blockId = blockId;
    return file;
}

void File::commitCreationOrMetadataChanges() {
    static constexpr char FN[] = "amwferrix::File::commitCreationOrMetadataChanges";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    trace::logNumber(L"blockId", blockId);
    if (blockId != apdu::BLOCK_ID_NONE) {
        return;
    }
    apdu::setMetadataSize(*connection, 0);
    blockId = apdu::commitCreationOrUpdateMetadata(*connection);
    trace::logOutNumber(L"blockId", blockId);
    if (getAccess(0) == AC_CARD_CHOICE || getAccess(1) == AC_CARD_CHOICE ||
        getAccess(2) == AC_CARD_CHOICE) {
        std::uint8_t header[detail::FILE_HEADER_SIZE];
        apdu::beginReadMetadata(*connection, blockId, header, sizeof header);
        const detail::HeaderView view(header, sizeof header, detail::FILE_HEADER_SIZE, FN,
                                      __FILE__, __LINE__);
        for (unsigned i = 0; i < 3; ++i) {
            setAccess(i, view.accessCondition(i + 1));
        }
    }
}

void File::commitContentChanges() {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::File::commitContentChanges");
    trace::logNumber(L"blockId", blockId);
    detail::replaceContent(*connection, blockId, cardContentSize, getContent(), isPrivateContent());
}

bool File::isPrivateContent() const {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::File::isPrivateContent");
    trace::logNumber(L"getAcRead().getEncodedValue()", getAcRead());
    return getAcRead() != AC_PUBLIC;
}

void File::readContent(Content& content) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::File::readContent");
    trace::logNumber(L"blockId", blockId);
    content.length = 0;
    detail::readCardContent(*connection, blockId, content, isPrivateContent());
    // Another writer may have changed the file since it was listed.
    cardContentSize = static_cast<std::uint32_t>(content.length);
}

void File::writeStream(std::ostream& stream) const {
    amw::File::writeStream(stream);
    writeUint16(stream, blockId);
}

void File::readStream(std::istream& stream) {
    amw::File::readStream(stream);
    blockId = readUint16(stream);
    cardContentSize = getContentSize();
}

}  // namespace amwferrix
