#include "amwferrix/directory.h"

#include "logger.h"
#include "objectheader.h"
#include "tokentrace.h"

namespace amwferrix {

namespace {
constexpr std::size_t OFFSET_NAME = 19;
constexpr std::size_t NAME_SIZE = 8;
}  // namespace

Directory::Directory(ctl::CardConnection& connection_) : connection(&connection_) {}

Directory::Directory(ctl::CardConnection& connection_, const StaticBuffer<8>& directoryName)
    : amw::Directory(directoryName), connection(&connection_) {}

std::unique_ptr<Directory> Directory::createFromHeader(ctl::CardConnection& connection,
                                                       std::uint16_t blockId,
                                                       const std::uint8_t* header,
                                                       std::size_t headerSize) {
    static constexpr char FN[] = "amwferrix::Directory::createFromHeader";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    trace::logNumber(L"blockId", blockId);
    const detail::HeaderView view(header, headerSize, detail::DIRECTORY_HEADER_SIZE, FN,
                                  __FILE__, __LINE__);
    const std::uint8_t* nameBytes = view.bytes(OFFSET_NAME, NAME_SIZE);
    trace::logHex(L"header.directoryName = ", nameBytes, NAME_SIZE);
    auto directory =
        std::make_unique<Directory>(connection, detail::nameFromHeader(nameBytes, true));
    directory->blockId = blockId;
    return directory;
}

void Directory::commitCreationOrMetadataChanges() {
    TraceScope scope(LOG_FACILITY_AMWFERRIX,
                     "amwferrix::Directory::commitCreationOrMetadataChanges");
    trace::logNumber(L"blockId", blockId);
    if (blockId != apdu::BLOCK_ID_NONE) {
        return;
    }
    apdu::setMetadataSize(*connection, 0);
    blockId = apdu::commitCreationOrUpdateMetadata(*connection);
    trace::logOutNumber(L"blockId", blockId);
}

void Directory::writeStream(std::ostream& stream) const {
    writeDirectoryName(stream);
    writeUint16(stream, blockId);
}

void Directory::readStream(std::istream& stream) {
    readDirectoryName(stream);
    blockId = readUint16(stream);
}

}  // namespace amwferrix
