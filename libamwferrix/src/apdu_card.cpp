// Commands that ask the card about itself or set card-wide values: applet
// selection, version, serial number, memory, access and key slot
// information, card id, header chains, cache freshness record, activation
// and authentication state.
#include <cstring>

#include "amwferrix/apdu.h"
#include "apducommand.h"
#include "logger.h"
#include "vxexception.h"

namespace amwferrix {
namespace apdu {

using namespace detail;

namespace {

// Sends a command without data that expects exactly `expected` response
// bytes, and leaves them in `response`.
void askFixed(ctl::CardConnection& connection, std::uint8_t ins, std::uint8_t p1,
              std::uint8_t le, std::uint32_t expected, Response& response) {
    Command command(CLA_PROPRIETARY, ins, p1, 0x00);
    command.setLe(le);
    exchange(connection, command, response);
    checkStatusWord(response.sw);
    expectResponseLength(response, expected);
}

}  // namespace

void selectApplet(ctl::CardConnection& connection) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::selectApplet");
    // The Ferrix applet: F0, "VXFR", 01 00 00 41.
    static const std::uint8_t aid[] = {0xF0, 0x56, 0x58, 0x46, 0x52, 0x01, 0x00, 0x00, 0x41};
    Command command(CLA_ISO, 0xA4, 0x04, 0x00);
    command.append(aid, sizeof aid);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
    expectResponseLength(response, 0);
}

void getVersion(ctl::CardConnection& connection, std::uint8_t* versionMajor,
                std::uint8_t* versionMinor) {
    static constexpr char FN[] = "amwferrix::apdu::getVersion";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(versionMajor, "versionMajor", FN, __FILE__, __LINE__);
    requireNonNull(versionMinor, "versionMinor", FN, __FILE__, __LINE__);
    Response response;
    askFixed(connection, 0x02, 0x00, 0x02, 2, response);
    *versionMajor = response.data[0];
    *versionMinor = response.data[1];
    logOutNumber(L"*versionMajor", *versionMajor);
    logOutNumber(L"*versionMinor", *versionMinor);
}

void getCardSerialNumber(ctl::CardConnection& connection, std::uint8_t* serialNumber) {
    static constexpr char FN[] = "amwferrix::apdu::getCardSerialNumber";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(serialNumber, "serialNumber", FN, __FILE__, __LINE__);
    Response response;
    askFixed(connection, 0x04, 0x00, 0x08, SERIAL_NUMBER_SIZE, response);
    std::memcpy(serialNumber, response.data, SERIAL_NUMBER_SIZE);
}

// Response: block size (bytes 0-1), total block count (2-3), free block
// count (4-5); bytes 6-7 are not used.
void getMemoryInfo(ctl::CardConnection& connection, std::uint16_t* blockSize,
                   std::uint32_t* bytesTotal, std::uint32_t* bytesAvaliable) {
    static constexpr char FN[] = "amwferrix::apdu::getMemoryInfo";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(blockSize, "blockSize", FN, __FILE__, __LINE__);
    requireNonNull(bytesTotal, "bytesTotal", FN, __FILE__, __LINE__);
    requireNonNull(bytesAvaliable, "bytesAvaliable", FN, __FILE__, __LINE__);
    Response response;
    askFixed(connection, 0x06, 0x01, 0x08, 8, response);
    const std::uint16_t size = response.word(0);
    const std::uint16_t totalBlocks = response.word(2);
    const std::uint16_t freeBlocks = response.word(4);
    *blockSize = size;
    *bytesTotal = static_cast<std::uint32_t>(size) * totalBlocks;
    *bytesAvaliable = static_cast<std::uint32_t>(size) * freeBlocks;
    logOutNumber(L"*blockSize", *blockSize);
    logOutNumber(L"total_block_count", totalBlocks);
    logOutNumber(L"free_block_count", freeBlocks);
    logOutNumber(L"*bytesTotal", *bytesTotal);
    logOutNumber(L"*bytesAvaliable", *bytesAvaliable);
}

void getGacInfo(ctl::CardConnection& connection, GlobalAccessInfo* info) {
    static constexpr char FN[] = "amwferrix::apdu::getGacInfo";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(info, "info", FN, __FILE__, __LINE__);
    Response response;
    askFixed(connection, 0x06, 0x02, 0x3B, sizeof(GlobalAccessInfo), response);
    std::memcpy(info, response.data, sizeof(GlobalAccessInfo));
}

std::uint32_t getJckpInfo(ctl::CardConnection& connection, SlotInfo* slots,
                          std::uint32_t capacity) {
    static constexpr char FN[] = "amwferrix::apdu::getJckpInfo";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    if (capacity > 0) {
        requireNonNull(slots, "slots", FN, __FILE__, __LINE__);
    }
    Command command(CLA_PROPRIETARY, 0x06, 0x03, 0x00);
    command.setLe(0x00);
    Response response;
    exchange(connection, command, response);
    if (hasSw1(response.sw, 0x6C)) {
        command.setLe(static_cast<std::uint8_t>(response.sw & 0xFF));
        exchange(connection, command, response);
    }
    checkStatusWord(response.sw);
    if (response.length % 3 != 0) {
        throw InternalErrorException("unexpected response length in APDU (JCKP INFO) %d bytes",
                                     static_cast<int>(response.length));
    }
    const std::uint32_t count = response.length / 3;
    if (count > capacity) {
        throw InternalErrorException(
            "insufficient count of SlotInfo for storing information about key slots in APDU "
            "(JCKP INFO) requested = %d, actual = %d",
            static_cast<int>(count), static_cast<int>(capacity));
    }
    // Each entry: byte 0 non-zero = used, bytes 1-2 = key size.
    for (std::uint32_t i = 0; i < count; ++i) {
        slots[i].used = response.data[3 * i] != 0;
        slots[i].keySize = response.word(3 * i + 1);
    }
    logOutNumber(L"count", count);
    return count;
}

std::uint8_t getActivationInfo(ctl::CardConnection& connection) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::getActivationInfo");
    Response response;
    askFixed(connection, 0x06, 0x04, 0x01, 1, response);
    logOutNumber(L"state", response.data[0]);
    return response.data[0];
}

void getCardId(ctl::CardConnection& connection, std::uint8_t* cardId) {
    static constexpr char FN[] = "amwferrix::apdu::getCardId";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(cardId, "cardId", FN, __FILE__, __LINE__);
    Response response;
    askFixed(connection, 0x08, 0x00, 0x10, CARD_ID_SIZE, response);
    std::memcpy(cardId, response.data, CARD_ID_SIZE);
}

void setCardId(ctl::CardConnection& connection, const std::uint8_t* cardId) {
    static constexpr char FN[] = "amwferrix::apdu::setCardId";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(cardId, "cardId", FN, __FILE__, __LINE__);
    Command command(CLA_PROPRIETARY, 0x52, 0x00, 0x00);
    command.append(cardId, CARD_ID_SIZE);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
    expectResponseLength(response, 0);
}

// Response: five block ids, the heads of the chains of data objects, key
// pairs, certificates, directories and files; 8000 for an empty chain.
void getHeads(ctl::CardConnection& connection, std::uint16_t* dataObjects,
              std::uint16_t* keyPairs, std::uint16_t* certificates, std::uint16_t* directories,
              std::uint16_t* files) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::getHeads");
    Response response;
    askFixed(connection, 0x0A, 0x00, 0x0A, 10, response);
    std::uint16_t* const outputs[] = {dataObjects, keyPairs, certificates, directories, files};
    static const wchar_t* const labels[] = {L"dataObjects", L"keyPairs", L"certificates",
                                            L"directories", L"files"};
    for (std::size_t i = 0; i < 5; ++i) {
        if (outputs[i] != nullptr) {
            *outputs[i] = response.word(2 * i);
            logOutNumber(labels[i], *outputs[i]);
        }
    }
}

bool getCacheFreshness(ctl::CardConnection& connection, std::uint8_t* buffer,
                       std::uint32_t bufferSize) {
    static constexpr char FN[] = "amwferrix::apdu::getCacheFreshness";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(buffer, "buffer", FN, __FILE__, __LINE__);
    requireRange(bufferSize, 1, 255, "bufferSize", FN, __FILE__, __LINE__);
    Command command(CLA_PROPRIETARY, 0x0C, 0x00, 0x00);
    command.setLe(static_cast<std::uint8_t>(bufferSize));
    Response response;
    exchange(connection, command, response);
    // 6Cxx: the card holds a record of another length, which is not ours.
    if (hasSw1(response.sw, 0x6C)) {
        logMessage(L"Returning false");
        return false;
    }
    checkStatusWord(response.sw);
    if (response.length != bufferSize) {
        logMessage(L"Returning false");
        return false;
    }
    std::memcpy(buffer, response.data, bufferSize);
    logMessage(L"Returning true");
    return true;
}

void setCacheFreshness(ctl::CardConnection& connection, const std::uint8_t* buffer,
                       std::uint32_t bufferSize) {
    static constexpr char FN[] = "amwferrix::apdu::setCacheFreshness";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    requireNonNull(buffer, "buffer", FN, __FILE__, __LINE__);
    requireRange(bufferSize, 1, 255, "bufferSize", FN, __FILE__, __LINE__);
    Command command(CLA_PROPRIETARY, 0x0E, 0x00, 0x00);
    command.append(buffer, bufferSize);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
}

void activateCard(ctl::CardConnection& connection) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::activateCard");
    Command command(CLA_PROPRIETARY, 0x30, 0x00, 0x00);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
}

std::uint8_t getAuthState(ctl::CardConnection& connection) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::getAuthState");
    Response response;
    askFixed(connection, 0x50, 0x00, 0x01, 1, response);
    logOutNumber(L"mask", response.data[0]);
    return response.data[0];
}

}  // namespace apdu
}  // namespace amwferrix
