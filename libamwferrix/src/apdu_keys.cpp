// RSA key commands: key pair creation and amendment, on-card generation,
// component import and read-back, and the raw RSA computation in 128-byte
// parts. Private components and the data of a sensitive computation are sent
// with the sensitive flag and never written to the trace.
#include <cstring>

#include "amwferrix/apdu.h"
#include "apducommand.h"
#include "logger.h"
#include "vxexception.h"

namespace amwferrix {
namespace apdu {

using namespace detail;

namespace {

// A modulus of 256 bytes does not fit one command and goes in two halves.
constexpr std::uint32_t MODULUS_PART = 128;
constexpr std::uint32_t MAX_COMPONENT = 256;

bool isPublicComponent(std::uint8_t component) {
    return component == COMPONENT_N || component == COMPONENT_E;
}

void sendChecked(ctl::CardConnection& connection, const Command& command, bool sensitive) {
    Response response;
    exchange(connection, command, response, sensitive);
    checkStatusWord(response.sw);
}

}  // namespace

// Data (13 bytes): origin, key size (2), key usage (2), container index, key
// kind, then three access conditions FFFF that leave the choice to the card.
void createKeyPair(ctl::CardConnection& connection, std::uint8_t origin, std::uint16_t keySize,
                   std::uint16_t keyUsage, std::uint8_t keySpec, std::uint8_t containerIndex) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::createKeyPair");
    logNumber(L"origin", origin);
    logNumber(L"keySize", keySize);
    logNumber(L"keyUsage", keyUsage);
    logNumber(L"keySpec", keySpec);
    logNumber(L"containerIndex", containerIndex);
    Command command(CLA_PROPRIETARY, 0x3E, 0x00, 0x01);
    command.appendByte(origin);
    command.appendWord(keySize);
    command.appendWord(keyUsage);
    command.appendByte(containerIndex);
    command.appendByte(keySpec);
    command.appendWord(0xFFFF);
    command.appendWord(0xFFFF);
    command.appendWord(0xFFFF);
    sendChecked(connection, command, false);
}

void generateKeyPair(ctl::CardConnection& connection, const StaticBuffer<256>& publicExponent,
                     StaticBuffer<256>& modulus) {
    static constexpr char FN[] = "amwferrix::apdu::generateKeyPair";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logHex(L"publicExponent = ", publicExponent.data, publicExponent.length);
    // The exponent is the command data, so it must fit one command. An empty
    // one would send a command without data, which the card cannot tell from
    // a request for its default exponent: refused before anything is sent.
    requireRange(static_cast<long long>(publicExponent.length), 1, MAX_DATA,
                 "publicExponent.length", FN, __FILE__, __LINE__);
    Command command(CLA_PROPRIETARY, 0x40, 0x00, 0x00);
    command.append(publicExponent.data, publicExponent.length);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
    // The length is the caller's to judge; a response never exceeds 256 bytes.
    modulus.assign(response.data, response.length);
    logHex(L"[OUT] modulus = ", modulus.data, modulus.length);
}

void importComponent(ctl::CardConnection& connection, std::uint8_t component,
                     const std::uint8_t* data, std::uint32_t dataSize) {
    static constexpr char FN[] = "amwferrix::apdu::importComponent";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    // Only the public components may be seen in the trace.
    const bool sensitive = !isPublicComponent(component);
    if (sensitive) {
        logText(L"data", L"******");
    } else {
        logHex(L"data = ", data, dataSize);
    }
    logEnum(L"component", componentName(component), component);
    requireRange(dataSize, 0, MAX_COMPONENT, "dataSize", FN, __FILE__, __LINE__);
    if (dataSize > 0) {
        requireNonNull(data, "data", FN, __FILE__, __LINE__);
    }
    if (component == COMPONENT_E && dataSize > 0 && dataSize % 2 == 0 && data[0] == 0) {
        throw InternalErrorException(
            "Public exponent has an even length and has zero at the beginning (remove padding)");
    }
    Command command(CLA_PROPRIETARY, 0x42, component, 0x00);
    if (component == COMPONENT_N && dataSize == 2 * MODULUS_PART) {
        command.append(data, MODULUS_PART);
        sendChecked(connection, command, sensitive);
        command.clearData();
        command.setP2(0x01);
        command.append(data + MODULUS_PART, MODULUS_PART);
        sendChecked(connection, command, sensitive);
        return;
    }
    // Any other component of 256 bytes would need a Lc of 256, which a short
    // command cannot carry.
    requireRange(dataSize, 0, MAX_DATA, "dataSize", FN, __FILE__, __LINE__);
    command.append(data, dataSize);
    sendChecked(connection, command, sensitive);
}

void getComponent(ctl::CardConnection& connection, std::uint8_t component, std::uint8_t* buffer,
                  std::uint32_t* bufferSize, std::uint32_t expectedLength) {
    static constexpr char FN[] = "amwferrix::apdu::getComponent";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logEnum(L"component", componentName(component), component);
    if (component != COMPONENT_N && component != COMPONENT_E) {
        throw InvalidArgumentException("component must be COMPONENT_E or COMPONENT_N");
    }
    requireNonNull(buffer, "buffer", FN, __FILE__, __LINE__);
    requireNonNull(bufferSize, "bufferSize", FN, __FILE__, __LINE__);
    Command command(CLA_PROPRIETARY, 0x44, component, 0x00);
    // Le 03 for the exponent; for the modulus the length the caller expects
    // (the key size in bytes, 00 meaning 256), else 00; the card corrects a
    // wrong guess with 6Cxx, which costs a second command.
    std::uint8_t le = 0x00;
    if (component == COMPONENT_E) {
        le = 0x03;
    } else if (expectedLength > 0 && expectedLength < 256) {
        le = static_cast<std::uint8_t>(expectedLength);
    }
    command.setLe(le);
    Response response;
    exchange(connection, command, response);
    if (hasSw1(response.sw, 0x6C)) {
        command.setLe(static_cast<std::uint8_t>(response.sw & 0xFF));
        exchange(connection, command, response);
    }
    checkStatusWord(response.sw);
    if (response.length > *bufferSize) {
        throw InvalidArgumentException("insuficienct buffer for store a component");
    }
    std::memcpy(buffer, response.data, response.length);
    *bufferSize = response.length;
    logOutNumber(L"*bufferSize", *bufferSize);
}

void cryptInit(ctl::CardConnection& connection, std::uint16_t blockId) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::cryptInit");
    logNumber(L"blockId", blockId);
    Command command(CLA_PROPRIETARY, 0x46, static_cast<std::uint8_t>(blockId >> 8),
                    static_cast<std::uint8_t>(blockId & 0xFF));
    sendChecked(connection, command, false);
}

// Command: 80, 48 (more follows) or 4A (last), 00 00, Lc 80, 128 data bytes,
// then Le = the result size modulo 256 (80 for 128, 00 for 256 and for a part
// without result).
void crypt(ctl::CardConnection& connection, const std::uint8_t* data, bool final,
           std::uint8_t* signedData, std::uint32_t signedDataSize, bool sensitive) {
    static constexpr char FN[] = "amwferrix::apdu::crypt";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    if (sensitive) {
        logText(L"data", L"******");
    } else {
        logHex(L"data = ", data, data != nullptr ? CRYPT_BLOCK_SIZE : 0);
    }
    logNumber(L"signedDataSize", signedDataSize);
    requireNonNull(data, "data", FN, __FILE__, __LINE__);
    if (final && signedData == nullptr) {
        throw InternalErrorException(
            "apdu::crypt() final crypto operation needs non-NULL signedData parameter");
    }
    if (signedDataSize != 0 && signedData == nullptr) {
        // A part that is not the last returns nothing: a result size there is
        // a caller's mistake, whatever the buffer.
        throw InternalErrorException(
            "apdu::crypt() non-final crypto operation expects no result, but signedDataSize is %u "
            "and signedData is NULL",
            static_cast<unsigned>(signedDataSize));
    }
    if ((final && signedDataSize != 128 && signedDataSize != 256) || signedDataSize > 256) {
        throw InternalErrorException("apdu::crypt() unexpected signedDataSize (%u)",
                                     static_cast<unsigned>(signedDataSize));
    }
    Command command(CLA_PROPRIETARY, final ? 0x4A : 0x48, 0x00, 0x00);
    command.append(data, CRYPT_BLOCK_SIZE);
    command.appendTrailingLe(static_cast<std::uint8_t>(signedDataSize % 256));
    Response response;
    exchange(connection, command, response, sensitive);
    checkStatusWord(response.sw);
    expectResponseLength(response, signedDataSize);
    if (signedDataSize > 0) {
        std::memcpy(signedData, response.data, signedDataSize);
    }
}

void amendKeypair(ctl::CardConnection& connection, std::uint16_t blockId, std::uint8_t origin) {
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, "amwferrix::apdu::amendKeypair");
    logNumber(L"blockId", blockId);
    logNumber(L"origin", origin);
    Command command(CLA_PROPRIETARY, 0x4C, static_cast<std::uint8_t>(blockId >> 8),
                    static_cast<std::uint8_t>(blockId & 0xFF));
    command.appendByte(origin);
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
    expectResponseLength(response, 0);
}

// P1 container index, P2 key kind; data: key usage (2), metadata size (2).
void continueAmendKeyPair(ctl::CardConnection& connection, std::uint8_t containerIndex,
                          std::uint8_t keySpec, std::uint16_t keyUsage,
                          std::size_t metadataSize) {
    static constexpr char FN[] = "amwferrix::apdu::continueAmendKeyPair";
    TraceScope trace(LOG_FACILITY_AMWFERRIX_APDU, FN);
    logNumber(L"containerIndex", containerIndex);
    logNumber(L"keySpec", keySpec);
    logNumber(L"keyUsage", keyUsage);
    logNumber(L"metadataSize", metadataSize);
    requireRange(static_cast<long long>(metadataSize), 0, 0xFFFF, "metadataSize", FN, __FILE__,
                 __LINE__);
    Command command(CLA_PROPRIETARY, 0x4E, containerIndex, keySpec);
    command.appendWord(keyUsage);
    command.appendWord(static_cast<std::uint16_t>(metadataSize));
    Response response;
    exchange(connection, command, response);
    checkStatusWord(response.sw);
    expectResponseLength(response, 0);
}

}  // namespace apdu
}  // namespace amwferrix
