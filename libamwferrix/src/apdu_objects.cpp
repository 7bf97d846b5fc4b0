// Commands on card objects: creation, deletion, header and metadata, content,
// and the chunked reads and writes on the card's current object.
#include <algorithm>
#include <cstring>

#include "amwferrix/apdu.h"
#include "apducommand.h"
#include "logger.h"
#include "vxexception.h"

namespace amwferrix {
namespace apdu {

using namespace detail;

namespace {

// Object and content sizes travel as 16 bits; a larger size would be cut
// on the card and the object corrupted, so it is refused here.
constexpr long long MAX_WIRE_SIZE = 0xFFFF;
// On-card directory and file names are 8 bytes, zero-padded.
constexpr std::size_t NAME_FIELD = 8;

std::uint8_t high(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
std::uint8_t low(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }

// A command addressed to a block id (in P1-P2) without data, Le 00, whose
// response is not examined. `acceptedSw` is a status word that counts as
// success besides 9000 (0 for none).
void simpleBlockCommand(ctl::CardConnection& connection, std::uint8_t ins, std::uint16_t blockId,
                        std::uint16_t acceptedSw) {
    Command command(CLA_PROPRIETARY, ins, high(blockId), low(blockId));
    Response response;
    exchange(connection, command, response);
    if (acceptedSw != 0 && response.sw == acceptedSw) {
        return;
    }
    checkStatusWord(response.sw);
}

// A command whose data is one 16-bit size; the response is not examined.
void sizeCommand(ctl::CardConnection& connection, std::uint8_t ins, std::uint16_t blockId,
                 std::size_t size) {
    Command command(CLA_PROPRIETARY, ins, high(blockId), low(blockId));
    command.appendWord(static_cast<std::uint16_t>(size));
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
}

void sendCreate(ctl::CardConnection& connection, Command& command) {
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
}

}  // namespace

void deleteObject(ctl::CardConnection& connection, std::uint16_t blockId) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::deleteObject");
    logNumber(L"blockId", blockId);
    simpleBlockCommand(connection, 0x10, blockId, 0);
}

void writeData(ctl::CardConnection& connection, const std::uint8_t* buf, std::size_t bufSize,
               bool sensitive) {
    static constexpr char FN[] = "amwferrix::apdu::writeData";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    if (sensitive) {
        logNumber(L"bufSize", bufSize);
        logText(L"buf", L"******");
    } else {
        logHex(L"buf = ", buf, bufSize);
    }
    if (bufSize > 0) {
        requireNonNull(buf, "buf", FN, __FILE__, __LINE__);
    }
    std::size_t offset = 0;
    while (offset < bufSize) {
        const std::size_t chunk = std::min(bufSize - offset, MAX_DATA);
        Command command(CLA_PROPRIETARY, 0x12, 0x00, 0x00);
        command.append(buf + offset, chunk);
        Response response;
        exchange(connection, command, response, sensitive);
        checkStatusWord(response.sw);
        offset += chunk;
    }
}

void readData(ctl::CardConnection& connection, std::uint8_t* buf, std::size_t bufSize,
              bool sensitive) {
    static constexpr char FN[] = "amwferrix::apdu::readData";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"bufSize", bufSize);
    if (bufSize > 0) {
        requireNonNull(buf, "buf", FN, __FILE__, __LINE__);
    }
    std::size_t offset = 0;
    while (offset < bufSize) {
        const std::size_t chunk = std::min(bufSize - offset, MAX_DATA);
        Command command(CLA_PROPRIETARY, 0x1A, 0x00, 0x00);
        command.setLe(static_cast<std::uint8_t>(chunk));
        Response response;
        exchange(connection, command, response, sensitive);
        checkStatusWord(response.sw);
        expectResponseLength(response, static_cast<std::uint32_t>(chunk));
        std::memcpy(buf + offset, response.data, chunk);
        offset += chunk;
    }
}

// Object header, common part: byte 0, then eight 16-bit fields at offsets 1,
// 3, ..., 15, big-endian on the card and returned here in host order. The
// fields that follow depend on the kind of object; their readers convert them.
void beginReadMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                       std::uint8_t* header, std::uint32_t headerSize) {
    static constexpr char FN[] = "amwferrix::apdu::beginReadMetadata";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"blockId", blockId);
    logNumber(L"headerSize", headerSize);
    requireRange(headerSize, 1, 255, "headerSize", FN, __FILE__, __LINE__);
    requireNonNull(header, "header", FN, __FILE__, __LINE__);
    Command command(CLA_PROPRIETARY, 0x18, high(blockId), low(blockId));
    command.setLe(static_cast<std::uint8_t>(headerSize));
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
    expectResponseLength(response, headerSize);
    std::memcpy(header, response.data, headerSize);
    // A header shorter than the common part converts only the fields it holds.
    for (std::uint32_t offset = 1; offset <= 15 && offset + 2 <= headerSize; offset += 2) {
        const std::uint16_t value = response.word(offset);
        std::memcpy(header + offset, &value, sizeof value);
    }
}

void beginUpdateMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                         std::size_t metadataSize) {
    static constexpr char FN[] = "amwferrix::apdu::beginUpdateMetadata";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"blockId", blockId);
    logNumber(L"metadataSize", metadataSize);
    requireRange(static_cast<long long>(metadataSize), 0, MAX_WIRE_SIZE, "metadataSize", FN, __FILE__,
                 __LINE__);
    sizeCommand(connection, 0x16, blockId, metadataSize);
}

void setMetadataSize(ctl::CardConnection& connection, std::size_t metadataSize) {
    static constexpr char FN[] = "amwferrix::apdu::setMetadataSize";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"metadataSize", metadataSize);
    requireRange(static_cast<long long>(metadataSize), 0, MAX_WIRE_SIZE, "metadataSize", FN, __FILE__,
                 __LINE__);
    sizeCommand(connection, 0x3C, 0x0000, metadataSize);
}

std::uint16_t commitCreationOrUpdateMetadata(ctl::CardConnection& connection) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU,
                     "amwferrix::apdu::commitCreationOrUpdateMetadata");
    Command command(CLA_PROPRIETARY, 0x3A, 0x00, 0x00);
    command.setLe(0x02);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
    expectResponseLength(response, 2);
    const std::uint16_t blockId = response.word(0);
    logOutNumber(L"blockId", blockId);
    return blockId;
}

void removeContent(ctl::CardConnection& connection, std::uint16_t blockId) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::removeContent");
    logNumber(L"blockId", blockId);
    // 6A83: the object has no content, which is what was asked for.
    simpleBlockCommand(connection, 0x14, blockId, 0x6A83);
}

void createContent(ctl::CardConnection& connection, std::uint16_t blockId,
                   std::size_t contentSize) {
    static constexpr char FN[] = "amwferrix::apdu::createContent";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"blockId", blockId);
    logNumber(L"contentSize", contentSize);
    requireRange(static_cast<long long>(contentSize), 0, MAX_WIRE_SIZE, "contentSize", FN, __FILE__,
                 __LINE__);
    sizeCommand(connection, 0x1C, blockId, contentSize);
}

void commitUpdateContent(ctl::CardConnection& connection) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::commitUpdateContent");
    Command command(CLA_PROPRIETARY, 0x38, 0x00, 0x00);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
}

std::uint16_t beginReadContent(ctl::CardConnection& connection, std::uint16_t blockId) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::beginReadContent");
    logNumber(L"blockId", blockId);
    Command command(CLA_PROPRIETARY, 0x1E, high(blockId), low(blockId));
    command.setLe(0x02);
    Response response;
    exchange(connection, command, response);
    // 6A83: the object has no content.
    if (response.sw == 0x6A83) {
        logOutNumber(L"contentSize", 0);
        return 0;
    }
    checkStatusWord(response.sw);
    expectResponseLength(response, 2);
    const std::uint16_t size = response.word(0);
    logOutNumber(L"contentSize", size);
    return size;
}

// Data: the four access conditions in argument order; the second is the
// condition for reading the content.
void createDataObject(ctl::CardConnection& connection, std::uint16_t accessCondition1,
                      std::uint16_t accessCondition2, std::uint16_t accessCondition3,
                      std::uint16_t accessCondition4) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::createDataObject");
    logNumber(L"ac1", accessCondition1);
    logNumber(L"ac2", accessCondition2);
    logNumber(L"ac3", accessCondition3);
    logNumber(L"ac4", accessCondition4);
    Command command(CLA_PROPRIETARY, 0x3E, 0x00, 0x00);
    command.appendWord(accessCondition1);
    command.appendWord(accessCondition2);
    command.appendWord(accessCondition3);
    command.appendWord(accessCondition4);
    sendCreate(connection, command);
}

// Data: trusted (1 or 0), then the three access conditions.
void createCertificate(ctl::CardConnection& connection, std::uint8_t trusted,
                       std::uint16_t accessCondition1, std::uint16_t accessCondition2,
                       std::uint16_t accessCondition3) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::createCertificate");
    logBool(L"trusted", trusted != 0);
    logNumber(L"ac1", accessCondition1);
    logNumber(L"ac2", accessCondition2);
    logNumber(L"ac3", accessCondition3);
    Command command(CLA_PROPRIETARY, 0x3E, 0x00, 0x02);
    command.appendByte(trusted != 0 ? 1 : 0);
    command.appendWord(accessCondition1);
    command.appendWord(accessCondition2);
    command.appendWord(accessCondition3);
    sendCreate(connection, command);
}

// Data: the name zero-padded to 8 bytes, then the second access condition,
// then the first.
void createDirectory(ctl::CardConnection& connection, const std::uint8_t* directoryName,
                     std::uint32_t directoryNameSize, std::uint16_t accessCondition1,
                     std::uint16_t accessCondition2) {
    static constexpr char FN[] = "amwferrix::apdu::createDirectory";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(directoryName, "directoryName", FN, __FILE__, __LINE__);
    requireRange(directoryNameSize, 1, NAME_FIELD, "directoryNameSize", FN, __FILE__, __LINE__);
    logHex(L"directoryName = ", directoryName, directoryNameSize);
    logNumber(L"ac1", accessCondition1);
    logNumber(L"ac2", accessCondition2);
    Command command(CLA_PROPRIETARY, 0x3E, 0x00, 0x03);
    command.appendPadded(directoryName, directoryNameSize, NAME_FIELD);
    command.appendWord(accessCondition2);
    command.appendWord(accessCondition1);
    sendCreate(connection, command);
}

// Data: the directory's block id, the name zero-padded to 8 bytes, the three
// access conditions in argument order (the first is the read condition).
void createFile(ctl::CardConnection& connection, std::uint16_t directoryBlockId,
                const std::uint8_t* fileName, std::uint32_t fileNameSize,
                std::uint16_t accessCondition1, std::uint16_t accessCondition2,
                std::uint16_t accessCondition3) {
    static constexpr char FN[] = "amwferrix::apdu::createFile";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(fileName, "fileName", FN, __FILE__, __LINE__);
    requireRange(fileNameSize, 1, NAME_FIELD, "fileNameSize", FN, __FILE__, __LINE__);
    logNumber(L"dirBlockId", directoryBlockId);
    logHex(L"fileName = ", fileName, fileNameSize);
    logNumber(L"ac1", accessCondition1);
    logNumber(L"ac2", accessCondition2);
    logNumber(L"ac3", accessCondition3);
    Command command(CLA_PROPRIETARY, 0x3E, 0x00, 0x04);
    command.appendWord(directoryBlockId);
    command.appendPadded(fileName, fileNameSize, NAME_FIELD);
    command.appendWord(accessCondition1);
    command.appendWord(accessCondition2);
    command.appendWord(accessCondition3);
    sendCreate(connection, command);
}

}  // namespace apdu
}  // namespace amwferrix
