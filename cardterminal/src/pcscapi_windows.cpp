// winscard: wide (W) functions, 32-bit DWORD results, and the service-started
// event to wait for a stopped service.
#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "ctl/pcscapi.h"

namespace ctl {

namespace {

std::uint32_t code(LONG rv) { return static_cast<std::uint32_t>(rv); }

constexpr DWORD FEATURE_REQUEST_CODE = SCARD_CTL_CODE(3400);
constexpr DWORD SERVICE_WAIT_SLICE_MS = 100;

class WinScardApi final : public PcScApi {
public:
    std::uint32_t establishContext(PcScContext* context) override {
        SCARDCONTEXT ctx = 0;
        const LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx);
        *context = rv == SCARD_S_SUCCESS ? static_cast<PcScContext>(ctx) : 0;
        return code(rv);
    }

    std::uint32_t releaseContext(PcScContext context) override {
        return code(SCardReleaseContext(static_cast<SCARDCONTEXT>(context)));
    }

    std::uint32_t listReaders(PcScContext context, std::vector<std::wstring>& names) override {
        names.clear();
        wchar_t* multiString = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        const LONG rv = SCardListReadersW(static_cast<SCARDCONTEXT>(context), nullptr,
                                          reinterpret_cast<wchar_t*>(&multiString), &length);
        if (rv != SCARD_S_SUCCESS) return code(rv);
        std::size_t offset = 0;
        while (offset < length && multiString[offset] != L'\0') {
            std::size_t n = 0;
            while (offset + n < length && multiString[offset + n] != L'\0') ++n;
            names.emplace_back(multiString + offset, n);
            offset += n + 1;
        }
        SCardFreeMemory(static_cast<SCARDCONTEXT>(context), multiString);
        return code(rv);
    }

    std::uint32_t getStatusChange(PcScContext context, std::uint32_t timeout,
                                  PcScReaderState* states, std::size_t count) override {
        std::vector<SCARD_READERSTATEW> native(count);
        for (std::size_t i = 0; i < count; ++i) {
            native[i] = SCARD_READERSTATEW{};
            native[i].szReader = states[i].readerName.c_str();
            native[i].dwCurrentState = states[i].currentState;
            native[i].dwEventState = states[i].eventState;
        }
        const LONG rv = SCardGetStatusChangeW(static_cast<SCARDCONTEXT>(context), timeout,
                                              native.data(), static_cast<DWORD>(count));
        for (std::size_t i = 0; i < count; ++i) {
            states[i].eventState = native[i].dwEventState;
            states[i].atrLength = static_cast<std::uint32_t>(std::min<std::size_t>(
                native[i].cbAtr, std::min(sizeof native[i].rgbAtr, PcScReaderState::ATR_CAPACITY)));
            std::memcpy(states[i].atr, native[i].rgbAtr, states[i].atrLength);
        }
        return code(rv);
    }

    std::uint32_t cancel(PcScContext context) override {
        return code(SCardCancel(static_cast<SCARDCONTEXT>(context)));
    }

    std::uint32_t connect(PcScContext context, const std::wstring& reader, std::uint32_t shareMode,
                          std::uint32_t preferredProtocols, PcScHandle* handle,
                          std::uint32_t* activeProtocol) override {
        SCARDHANDLE h = 0;
        DWORD active = 0;
        const LONG rv = SCardConnectW(static_cast<SCARDCONTEXT>(context), reader.c_str(), shareMode,
                                      preferredProtocols, &h, &active);
        *handle = rv == SCARD_S_SUCCESS ? static_cast<PcScHandle>(h) : 0;
        *activeProtocol = active;
        return code(rv);
    }

    std::uint32_t status(PcScHandle handle, std::uint32_t* state, std::uint32_t* protocol,
                         std::uint8_t* atr, std::uint32_t* atrLength) override {
        DWORD st = 0;
        DWORD proto = 0;
        LONG rv;
        if (atr != nullptr && atrLength != nullptr) {
            char names[1024];
            DWORD namesLength = sizeof names;
            BYTE atrBuffer[128];
            DWORD atrBufferLength = sizeof atrBuffer;
            rv = SCardStatusA(static_cast<SCARDHANDLE>(handle), names, &namesLength, &st, &proto,
                              atrBuffer, &atrBufferLength);
            const std::size_t n =
                rv == SCARD_S_SUCCESS ? std::min<std::size_t>(atrBufferLength, *atrLength) : 0;
            std::memcpy(atr, atrBuffer, n);
            *atrLength = static_cast<std::uint32_t>(n);
        } else {
            DWORD nameLength = 0;
            rv = SCardStatusW(static_cast<SCARDHANDLE>(handle), nullptr, &nameLength, &st, nullptr,
                              nullptr, nullptr);
        }
        if (state != nullptr) *state = st;
        if (protocol != nullptr) *protocol = proto;
        return code(rv);
    }

    std::uint32_t beginTransaction(PcScHandle handle) override {
        return code(SCardBeginTransaction(static_cast<SCARDHANDLE>(handle)));
    }

    std::uint32_t endTransaction(PcScHandle handle, std::uint32_t disposition) override {
        return code(SCardEndTransaction(static_cast<SCARDHANDLE>(handle), disposition));
    }

    std::uint32_t disconnect(PcScHandle handle, std::uint32_t disposition) override {
        return code(SCardDisconnect(static_cast<SCARDHANDLE>(handle), disposition));
    }

    std::uint32_t transmit(PcScHandle handle, bool protocolT0, const std::uint8_t* send,
                           std::uint32_t sendLength, std::uint8_t* receive,
                           std::uint32_t* receiveLength) override {
        DWORD received = *receiveLength;
        const LONG rv = SCardTransmit(static_cast<SCARDHANDLE>(handle),
                                      protocolT0 ? SCARD_PCI_T0 : SCARD_PCI_T1, send, sendLength,
                                      nullptr, receive, &received);
        *receiveLength = received;
        return code(rv);
    }

    std::uint32_t control(PcScHandle handle, std::uint32_t controlCode, const std::uint8_t* input,
                          std::uint32_t inputLength, std::uint8_t* output,
                          std::uint32_t outputCapacity, std::uint32_t* outputLength) override {
        DWORD returned = 0;
        const LONG rv = SCardControl(static_cast<SCARDHANDLE>(handle), controlCode, input,
                                     inputLength, output, outputCapacity, &returned);
        *outputLength = returned;
        return code(rv);
    }

    std::uint32_t featureRequestControlCode() const override { return FEATURE_REQUEST_CODE; }

    bool isServiceStopped(std::uint32_t result) const override {
        return result == PcScResult::SERVICE_STOPPED_ERROR || result == PcScResult::SYSTEM_CANCELLED;
    }

    bool isServiceUnavailable(std::uint32_t result) const override {
        return result == PcScResult::NO_SERVICE || result == PcScResult::SERVICE_STOPPED_ERROR;
    }

    std::uint32_t waitForServiceStart(unsigned attempt,
                                      const std::atomic<bool>& cancelRequested) override {
        if (attempt > 0) {
            // The event said the service runs but it refused a context: pause.
            Sleep(SERVICE_WAIT_SLICE_MS);
            return cancelRequested.load() ? PcScResult::CANCELLED : PcScResult::SUCCESS;
        }
        HANDLE started = SCardAccessStartedEvent();
        if (started == nullptr) return code(static_cast<LONG>(GetLastError()));
        // Waited for in slices so that a cancel is noticed.
        DWORD waitResult = WAIT_TIMEOUT;
        while (waitResult == WAIT_TIMEOUT && !cancelRequested.load())
            waitResult = WaitForSingleObject(started, SERVICE_WAIT_SLICE_MS);
        SCardReleaseStartedEvent();
        if (cancelRequested.load()) return PcScResult::CANCELLED;
        return waitResult == WAIT_OBJECT_0 ? PcScResult::SUCCESS : code(static_cast<LONG>(waitResult));
    }
};

}  // namespace

PcScApi& PcScApi::platform() noexcept {
    // Never destroyed: the module's callers may still reach PC/SC from their
    // exit handlers (C_Finalize), after static destructors have run.
    alignas(WinScardApi) static unsigned char storage[sizeof(WinScardApi)];
    static WinScardApi* api = new (storage) WinScardApi;
    return *api;
}

}  // namespace ctl
