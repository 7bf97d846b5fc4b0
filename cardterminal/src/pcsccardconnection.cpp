#include "ctl/pcsccardconnection.h"

#include <algorithm>
#include <cstring>

#include "ctl/ctlexception.h"
#include "ctllog.h"
#include "logger.h"
#include "vxexception.h"

namespace ctl {

namespace {

constexpr std::uint32_t PCSC_PROTOCOL_T0 = 1;
constexpr std::uint8_t GET_RESPONSE_HEADER[4] = {0x00, 0xC0, 0x00, 0x00};

// A case-4 short command (header, Lc, data, Le) on T=0 goes out without its
// Le byte: the card announces the response length with 61xx instead.
bool isCase4ForT0(const std::uint8_t* command, std::uint32_t length) {
    return length > 5 && length == static_cast<std::uint32_t>(command[4]) + 6;
}

}  // namespace

PcScCardConnection::PcScCardConnection(PcScApi& pcsc) noexcept : api(pcsc) {}

void PcScCardConnection::reattach(PcScContext newContext, PcScHandle newCardHandle) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScCardConnection::reattach");
    if (ctllog::enabled()) {
        ctllog::parameter(L"scardContext", ctllog::hex(newContext));
        ctllog::parameter(L"scardHandle", ctllog::hex(newCardHandle));
    }
    if (newContext == context && newCardHandle == cardHandle) return;

    std::uint32_t state = 0;
    std::uint32_t activeProtocol = 0;
    std::uint8_t newAtr[MAX_ATR_LENGTH];
    std::uint32_t newAtrLength = sizeof newAtr;
    const std::uint32_t rv = api.status(newCardHandle, &state, &activeProtocol, newAtr, &newAtrLength);
    ctllog::pcscResult(
        "SCardStatusA(scardHandle, dummy_buffer, &dummy_len, &dummy_state, &dwProtocol, batr, "
        "&dwAtrLen)",
        rv);
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);

    context = newContext;
    cardHandle = newCardHandle;
    protocol = activeProtocol == PCSC_PROTOCOL_T0 ? PROTOCOL_T0 : PROTOCOL_T1;

    pinPadVerifyPinDirectCode = 0;
    pinPadModifyPinDirectCode = 0;
    pinPadAvailable = false;
    checkPinPadSupport();

    atr.assign(newAtr, newAtr + std::min(newAtrLength, MAX_ATR_LENGTH));
    atrLength = static_cast<std::uint32_t>(atr.size());
}

std::uint16_t PcScCardConnection::transmit(const std::uint8_t* command, std::uint32_t commandLength,
                                           std::uint8_t* response, std::uint32_t* responseLength,
                                           std::uint32_t flags) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScCardConnection::transmit");
    // The command itself is dumped (or masked) by the exchange below.
    if (ctllog::enabled()) {
        ctllog::parameter(L"send_buff_len", ctllog::decimal(commandLength));
        ctllog::parameter(L"recv_buff_len", responseLength != nullptr ? ctllog::decimal(*responseLength)
                                                                       : std::wstring(L"NULL"));
        ctllog::parameter(L"flags", ctllog::decimalAndHex(flags));
    }
    if (command == nullptr)
        throw InvalidArgumentException::nullPointer("command", __func__, __FILE__, __LINE__);
    if (responseLength == nullptr)
        throw InvalidArgumentException::nullPointer("responseLength", __func__, __FILE__, __LINE__);
    if (response == nullptr && *responseLength != 0)
        throw InvalidArgumentException::nullPointer("response", __func__, __FILE__, __LINE__);

    const std::uint32_t capacity = *responseLength;
    std::uint32_t sendLength = commandLength;
    if (protocol == PROTOCOL_T0 && isCase4ForT0(command, commandLength)) sendLength -= 1;

    std::uint16_t sw = exchange(command, sendLength, response, responseLength, flags);
    if ((sw >> 8) == 0x61) {
        std::uint8_t getResponse[5];
        std::memcpy(getResponse, GET_RESPONSE_HEADER, sizeof GET_RESPONSE_HEADER);
        getResponse[4] = static_cast<std::uint8_t>(sw & 0xFF);
        *responseLength = capacity;
        // GET RESPONSE itself carries nothing secret and is logged in full,
        // but what it fetches is the answer to the sensitive command (a
        // session PIN, the result of a private-key operation).
        const bool sensitive = (flags & FLAG_SENSITIVE) != 0;
        sw = exchange(getResponse, sizeof getResponse, response, responseLength, false, sensitive);
    }
    return sw;
}

std::uint16_t PcScCardConnection::exchange(const std::uint8_t* command, std::uint32_t commandLength,
                                           std::uint8_t* response, std::uint32_t* responseLength,
                                           std::uint32_t flags) {
    const bool sensitive = (flags & FLAG_SENSITIVE) != 0;
    return exchange(command, commandLength, response, responseLength, sensitive, sensitive);
}

std::uint16_t PcScCardConnection::exchange(const std::uint8_t* command, std::uint32_t commandLength,
                                           std::uint8_t* response, std::uint32_t* responseLength,
                                           bool maskCommand, bool maskResponse) {
    Logger& logger = Logger::instance();
    if (maskCommand) {
        // Only the header may be shown; the body holds the PIN or key.
        if (commandLength >= 4) {
            logger.log(LOG_FACILITY_CTL, L"send_buff = %02X %02X %02X %02X ******", command[0],
                       command[1], command[2], command[3]);
        } else {
            logger.log(LOG_FACILITY_CTL, L"send_buff = ******");
        }
    } else {
        ctllog::hexDump(L"send_buff = ", command, commandLength);
    }

    const std::uint32_t capacity = *responseLength;
    std::uint32_t received = capacity;
    const std::uint32_t rv =
        api.transmit(cardHandle, protocol == PROTOCOL_T0, command, commandLength, response, &received);
    ctllog::pcscResult(
        "SCardTransmit( cardHandle, protocol == PROTOCOL_T0 ? (&g_rgSCardT0Pci) : "
        "(&g_rgSCardT1Pci), send_buff, (DWORD)send_buff_len, 0, recvBuff, &dwRealRecvBuffLen)",
        rv);
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);

    if (ctllog::enabled()) ctllog::parameter(L"dwRealRecvBuffLen", ctllog::decimal(received));
    if (maskResponse) {
        logger.log(LOG_FACILITY_CTL, L"recvBuff = ******");
    } else {
        // Never dump past what the buffer holds, whatever the service claims.
        ctllog::hexDump(L"recvBuff = ", response, std::min(received, capacity));
    }

    if (received > capacity) throw CtlException(PcScResult::INSUFFICIENT_BUFFER);
    if (received < 2) {
        logger.log(LOG_FACILITY_CTL, L"INVALID RESPONSE FROM SCardTransmit, at least 2 bytes expected");
        if (ctllog::enabled()) ctllog::parameter(L"dwRealRecvBuffLen", ctllog::decimal(received));
        throw CtlException(PcScResult::UNKNOWN_ERROR);
    }
    *responseLength = received - 2;
    return static_cast<std::uint16_t>((response[received - 2] << 8) | response[received - 1]);
}

}  // namespace ctl
