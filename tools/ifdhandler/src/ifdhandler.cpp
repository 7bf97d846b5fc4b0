// The pcsc-lite entry points of libifdzentrik.so. pcscd loads the library
// once and opens one channel per reader.conf entry; each Lun maps to one
// VirtualReader. Example entry (no Info.plist needed):
//
//   FRIENDLYNAME "Zentrik PinPad"
//   DEVICENAME   pinpad:35970
//   LIBPATH      /path/to/libifdzentrik.so
//
// Exported with default visibility (see CMakeLists.txt); everything else has
// internal linkage.
#include "virtualreader.h"

// The header declares the entry points without C linkage of its own.
extern "C" {
#include <ifdhandler.h>
}
#include <reader.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

using ifdzentrik::VirtualReader;

namespace {

std::mutex g_readersMutex;
std::map<DWORD, std::shared_ptr<VirtualReader>> g_readers;

std::shared_ptr<VirtualReader> readerFor(DWORD lun) {
    std::lock_guard lock(g_readersMutex);
    auto it = g_readers.find(lun);
    return it == g_readers.end() ? nullptr : it->second;
}

RESPONSECODE openReader(DWORD lun, const std::string& deviceName) {
    VirtualReader::Kind kind;
    std::uint16_t port;
    if (!VirtualReader::parseDeviceName(deviceName, kind, port)) return IFD_COMMUNICATION_ERROR;
    auto reader = std::make_shared<VirtualReader>(kind, port);
    if (!reader->listen()) return IFD_COMMUNICATION_ERROR;
    std::lock_guard lock(g_readersMutex);
    g_readers[lun] = reader;
    return IFD_SUCCESS;
}

RESPONSECODE toResponse(VirtualReader::Result r) {
    switch (r) {
    case VirtualReader::Result::OK: return IFD_SUCCESS;
    case VirtualReader::Result::NOT_PRESENT: return IFD_ICC_NOT_PRESENT;
    case VirtualReader::Result::INSUFFICIENT_BUFFER: return IFD_ERROR_INSUFFICIENT_BUFFER;
    case VirtualReader::Result::NOT_SUPPORTED: return IFD_ERROR_NOT_SUPPORTED;
    case VirtualReader::Result::COMMUNICATION_ERROR: break;
    }
    return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE pollForEvent(DWORD lun, int timeoutMs) {
    auto reader = readerFor(lun);
    if (!reader) return IFD_NO_SUCH_DEVICE;
    reader->waitForEvent(std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs));
    return IFD_SUCCESS;
}

RESPONSECODE stopPolling(DWORD lun) {
    auto reader = readerFor(lun);
    if (reader) reader->stopWaiting();
    return IFD_SUCCESS;
}

template <typename T>
RESPONSECODE answerValue(PDWORD length, PUCHAR value, T v) {
    if (*length < sizeof v) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(value, &v, sizeof v);
    *length = sizeof v;
    return IFD_SUCCESS;
}

RESPONSECODE answerAtr(const std::shared_ptr<VirtualReader>& reader, PDWORD length, PUCHAR value) {
    auto atr = reader->atr();
    if (*length < atr.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (!atr.empty()) std::memcpy(value, atr.data(), atr.size());
    *length = static_cast<DWORD>(atr.size());
    return IFD_SUCCESS;
}

}  // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    if (DeviceName == nullptr) return IFD_COMMUNICATION_ERROR;
    return openReader(Lun, DeviceName);
}

// An entry without DEVICENAME: CHANNELID is the port of a plain reader.
RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    return openReader(Lun, "plain:" + std::to_string(Channel));
}

RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    std::shared_ptr<VirtualReader> reader;
    {
        std::lock_guard lock(g_readersMutex);
        auto it = g_readers.find(Lun);
        if (it == g_readers.end()) return IFD_SUCCESS;
        reader = it->second;
        g_readers.erase(it);
    }
    reader->stopWaiting();
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    if (Length == nullptr || Value == nullptr) return IFD_COMMUNICATION_ERROR;
    auto reader = readerFor(Lun);
    switch (Tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING:
        if (!reader) return IFD_NO_SUCH_DEVICE;
        return answerAtr(reader, Length, Value);
    // Several reader.conf entries share this library; below 2 pcscd would
    // silently drop every entry after the first.
    case TAG_IFD_SIMULTANEOUS_ACCESS: return answerValue<UCHAR>(Length, Value, 16);
    case TAG_IFD_THREAD_SAFE: return answerValue<UCHAR>(Length, Value, 1);
    case TAG_IFD_SLOTS_NUMBER: return answerValue<UCHAR>(Length, Value, 1);
    case TAG_IFD_SLOT_THREAD_SAFE: return answerValue<UCHAR>(Length, Value, 0);
    case TAG_IFD_POLLING_THREAD_KILLABLE: return answerValue<UCHAR>(Length, Value, 0);
    // Our own waits let pcscd see insertions and removals at once instead of
    // polling every 400 ms.
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: return answerValue(Length, Value, &pollForEvent);
    case TAG_IFD_STOP_POLLING_THREAD: return answerValue(Length, Value, &stopPolling);
    default: return IFD_ERROR_TAG;
    }
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_NOT_SUPPORTED; }

RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
    if (!readerFor(Lun)) return IFD_NO_SUCH_DEVICE;
    return (Protocol == SCARD_PROTOCOL_T0 || Protocol == SCARD_PROTOCOL_T1) ? IFD_SUCCESS : IFD_PROTOCOL_NOT_SUPPORTED;
}

RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    auto reader = readerFor(Lun);
    if (!reader) return IFD_NO_SUCH_DEVICE;
    if (AtrLength) *AtrLength = 0;
    std::vector<std::uint8_t> atr;
    VirtualReader::Result r;
    switch (Action) {
    case IFD_POWER_UP: r = reader->powerUp(atr); break;
    case IFD_RESET: r = reader->reset(atr); break;
    case IFD_POWER_DOWN: return toResponse(reader->powerDown());
    default: return IFD_NOT_SUPPORTED;
    }
    if (r != VirtualReader::Result::OK) return r == VirtualReader::Result::NOT_PRESENT ? IFD_ICC_NOT_PRESENT
                                                                                       : IFD_ERROR_POWER_ACTION;
    if (Atr && AtrLength) {
        std::memcpy(Atr, atr.data(), atr.size());
        *AtrLength = static_cast<DWORD>(atr.size());
    }
    return IFD_SUCCESS;
}

RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                               PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    if (RxLength == nullptr) return IFD_COMMUNICATION_ERROR;
    DWORD capacity = *RxLength;
    *RxLength = 0;
    auto reader = readerFor(Lun);
    if (!reader) return IFD_NO_SUCH_DEVICE;
    if (TxBuffer == nullptr || RxBuffer == nullptr) return IFD_COMMUNICATION_ERROR;
    std::vector<std::uint8_t> response;
    auto r = reader->transmit(TxBuffer, TxLength, response);
    if (r != VirtualReader::Result::OK) return toResponse(r);
    if (response.size() > capacity) return IFD_COMMUNICATION_ERROR;
    std::memcpy(RxBuffer, response.data(), response.size());
    *RxLength = static_cast<DWORD>(response.size());
    if (RecvPci) *RecvPci = SendPci;
    return IFD_SUCCESS;
}

// A too small output buffer fails with IFD_ERROR_INSUFFICIENT_BUFFER and the
// needed size in *pdwBytesReturned.
RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                         DWORD RxLength, LPDWORD pdwBytesReturned) {
    if (pdwBytesReturned) *pdwBytesReturned = 0;
    auto reader = readerFor(Lun);
    if (!reader) return IFD_NO_SUCH_DEVICE;
    if (TxBuffer == nullptr && TxLength != 0) return IFD_COMMUNICATION_ERROR;
    std::vector<std::uint8_t> output;
    auto r = reader->control(static_cast<std::uint32_t>(dwControlCode), TxBuffer, TxLength, output);
    if (r != VirtualReader::Result::OK) return toResponse(r);
    if (output.size() > RxLength || (RxBuffer == nullptr && !output.empty())) {
        if (pdwBytesReturned) *pdwBytesReturned = static_cast<DWORD>(output.size());
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    if (!output.empty()) std::memcpy(RxBuffer, output.data(), output.size());
    if (pdwBytesReturned) *pdwBytesReturned = static_cast<DWORD>(output.size());
    return IFD_SUCCESS;
}

RESPONSECODE IFDHICCPresence(DWORD Lun) {
    auto reader = readerFor(Lun);
    if (!reader) return IFD_NO_SUCH_DEVICE;
    return reader->isCardPresent() ? IFD_SUCCESS : IFD_ICC_NOT_PRESENT;
}

}  // extern "C"
