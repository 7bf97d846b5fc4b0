// pcsc-lite: narrow UTF-8 names, 64-bit DWORD and LONG, SCARD_CTL_CODE of its
// own, and no "service started" event, so waiting for a restarted daemon means
// trying to establish a context again after a short pause.
#include <PCSC/reader.h>
#include <PCSC/winscard.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "ctl/pcscapi.h"
#include "ctl/widetext.h"
#include "platform.h"

namespace ctl {

namespace {

std::uint32_t code(LONG rv) { return static_cast<std::uint32_t>(rv); }

void sleepMilliseconds(unsigned ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

class PcscLiteApi final : public PcScApi {
public:
    std::uint32_t establishContext(PcScContext* context) override {
        // pcsc-lite's client library takes the service's socket from
        // PCSCLITE_CSOCK_NAME even in a set-user-ID process, so the user who
        // started it could answer every reader, ATR and APDU of a process
        // with more rights than his own. Such a process sees no service then.
        if (platform::isPrivilegedProcess() && std::getenv("PCSCLITE_CSOCK_NAME") != nullptr) {
            *context = 0;
            return code(SCARD_E_NO_SERVICE);
        }
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
        char* multiString = nullptr;
        DWORD length = SCARD_AUTOALLOCATE;
        const LONG rv = SCardListReaders(static_cast<SCARDCONTEXT>(context), nullptr,
                                         reinterpret_cast<char*>(&multiString), &length);
        if (rv != SCARD_S_SUCCESS) return code(rv);
        // A sequence of zero-terminated names ended by an empty one; the
        // length bounds the walk even if the terminator were missing.
        std::size_t offset = 0;
        while (offset < length && multiString[offset] != '\0') {
            const std::size_t n = strnlen(multiString + offset, length - offset);
            names.push_back(WideText::fromUtf8(std::string(multiString + offset, n)));
            offset += n + 1;
        }
        SCardFreeMemory(static_cast<SCARDCONTEXT>(context), multiString);
        return code(rv);
    }

    std::uint32_t getStatusChange(PcScContext context, std::uint32_t timeout,
                                  PcScReaderState* states, std::size_t count) override {
        std::vector<std::string> names(count);
        std::vector<SCARD_READERSTATE> native(count);
        for (std::size_t i = 0; i < count; ++i) {
            names[i] = WideText::toUtf8(states[i].readerName);
            native[i] = SCARD_READERSTATE{};
            native[i].szReader = names[i].c_str();
            native[i].dwCurrentState = states[i].currentState;
            native[i].dwEventState = states[i].eventState;
        }
        const LONG rv = SCardGetStatusChange(static_cast<SCARDCONTEXT>(context), timeout,
                                             native.data(), static_cast<DWORD>(count));
        for (std::size_t i = 0; i < count; ++i) {
            states[i].eventState = static_cast<std::uint32_t>(native[i].dwEventState);
            const std::size_t atrLength =
                std::min<std::size_t>(native[i].cbAtr, PcScReaderState::ATR_CAPACITY);
            states[i].atrLength = static_cast<std::uint32_t>(
                std::min<std::size_t>(atrLength, sizeof native[i].rgbAtr));
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
        const std::string name = WideText::toUtf8(reader);
        const LONG rv = SCardConnect(static_cast<SCARDCONTEXT>(context), name.c_str(), shareMode,
                                     preferredProtocols, &h, &active);
        *handle = rv == SCARD_S_SUCCESS ? static_cast<PcScHandle>(h) : 0;
        *activeProtocol = static_cast<std::uint32_t>(active);
        return code(rv);
    }

    std::uint32_t status(PcScHandle handle, std::uint32_t* state, std::uint32_t* protocol,
                         std::uint8_t* atr, std::uint32_t* atrLength) override {
        DWORD nameLength = 0;
        DWORD st = 0;
        DWORD proto = 0;
        unsigned char atrBuffer[MAX_ATR_SIZE];
        DWORD atrBufferLength = sizeof atrBuffer;
        const LONG rv = SCardStatus(static_cast<SCARDHANDLE>(handle), nullptr, &nameLength, &st,
                                    &proto, atrBuffer, &atrBufferLength);
        if (state != nullptr) *state = static_cast<std::uint32_t>(st);
        if (protocol != nullptr) *protocol = static_cast<std::uint32_t>(proto);
        if (atr != nullptr && atrLength != nullptr) {
            const std::size_t n = rv == SCARD_S_SUCCESS
                                      ? std::min<std::size_t>(atrBufferLength, *atrLength)
                                      : 0;
            std::memcpy(atr, atrBuffer, n);
            *atrLength = static_cast<std::uint32_t>(n);
        }
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
        *receiveLength = static_cast<std::uint32_t>(received);
        return code(rv);
    }

    std::uint32_t control(PcScHandle handle, std::uint32_t controlCode, const std::uint8_t* input,
                          std::uint32_t inputLength, std::uint8_t* output,
                          std::uint32_t outputCapacity, std::uint32_t* outputLength) override {
        DWORD returned = 0;
        const LONG rv = SCardControl(static_cast<SCARDHANDLE>(handle), controlCode, input,
                                     inputLength, output, outputCapacity, &returned);
        *outputLength = static_cast<std::uint32_t>(returned);
        return code(rv);
    }

    std::uint32_t featureRequestControlCode() const override {
        return static_cast<std::uint32_t>(CM_IOCTL_GET_FEATURE_REQUEST);
    }

    bool isServiceStopped(std::uint32_t result) const override {
        return result == PcScResult::SERVICE_STOPPED_ERROR || result == PcScResult::SYSTEM_CANCELLED ||
               result == PcScResult::COMM_ERROR || result == PcScResult::NO_SERVICE;
    }

    bool isServiceUnavailable(std::uint32_t result) const override {
        return result == PcScResult::NO_SERVICE || result == PcScResult::SHUTDOWN ||
               result == PcScResult::COMM_ERROR || result == PcScResult::SERVICE_STOPPED_ERROR;
    }

    std::uint32_t waitForServiceStart(unsigned attempt,
                                      const std::atomic<bool>& cancelRequested) override {
        // 10, 20, 40 ... ms, at most 320 ms between tries; a restarted daemon
        // accepts contexts within about 100 ms. Slept in 10 ms steps so a
        // cancel is noticed quickly.
        const unsigned pause = 10u << std::min(attempt, 5u);
        for (unsigned slept = 0; slept < pause; slept += 10) {
            if (cancelRequested.load()) return PcScResult::CANCELLED;
            sleepMilliseconds(10);
        }
        return cancelRequested.load() ? PcScResult::CANCELLED : PcScResult::SUCCESS;
    }
};

}  // namespace

PcScApi& PcScApi::platform() noexcept {
    // Never destroyed: the module's callers may still reach PC/SC from their
    // exit handlers (C_Finalize), after static destructors have run.
    alignas(PcscLiteApi) static unsigned char storage[sizeof(PcscLiteApi)];
    static PcscLiteApi* api = new (storage) PcscLiteApi;
    return *api;
}

}  // namespace ctl
