// The PC/SC boundary. Every call into the platform's smart-card service goes
// through PcScApi, so the rest of the layer is portable: names are wide
// strings, handles are opaque integers and every result is a 32-bit code
// (pcsc-lite's 64-bit LONG results are narrowed here, once).
//
// One implementation talks to the service (pcscapi_posix.cpp for pcsc-lite,
// pcscapi_windows.cpp for winscard); tests may install their own with
// ScopedPcScApi to produce faults the real service cannot be made to produce.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ctl {

using PcScContext = std::uintptr_t;
using PcScHandle = std::uintptr_t;

// Result codes the layer compares with or produces itself.
struct PcScResult {
    static constexpr std::uint32_t SUCCESS = 0x00000000;
    static constexpr std::uint32_t CANCELLED = 0x80100002;
    static constexpr std::uint32_t INVALID_PARAMETER = 0x80100004;
    static constexpr std::uint32_t INSUFFICIENT_BUFFER = 0x80100008;
    static constexpr std::uint32_t UNKNOWN_READER = 0x80100009;
    static constexpr std::uint32_t TIMEOUT = 0x8010000A;
    static constexpr std::uint32_t SYSTEM_CANCELLED = 0x80100012;
    static constexpr std::uint32_t COMM_ERROR = 0x80100013;
    static constexpr std::uint32_t UNKNOWN_ERROR = 0x80100014;
    static constexpr std::uint32_t NO_SERVICE = 0x8010001D;
    static constexpr std::uint32_t SERVICE_STOPPED_ERROR = 0x8010001E;
    // The module's own pin-pad code; pcsc-lite's macro of that name differs.
    static constexpr std::uint32_t UNSUPPORTED_FEATURE = 0x80100022;
    static constexpr std::uint32_t NO_READERS_AVAILABLE = 0x8010002E;
    static constexpr std::uint32_t RESET_CARD = 0x80100068;
    static constexpr std::uint32_t REMOVED_CARD = 0x80100069;
    static constexpr std::uint32_t SHUTDOWN = 0x8010006A;
};

// Reader state bits the layer reads.
struct PcScState {
    static constexpr std::uint32_t UNAWARE = 0x0000;
    static constexpr std::uint32_t CHANGED = 0x0002;
    static constexpr std::uint32_t UNKNOWN = 0x0004;
    static constexpr std::uint32_t PRESENT = 0x0020;
};

// The reader-state record of a status-change wait, with the name owned here.
struct PcScReaderState {
    static constexpr std::size_t ATR_CAPACITY = 36;
    std::wstring readerName;
    std::uint32_t currentState = 0;
    std::uint32_t eventState = 0;
    std::uint32_t atrLength = 0;
    std::uint8_t atr[ATR_CAPACITY] = {};
};

// Name of the pseudo-reader through which the service reports that readers
// were added or removed.
inline constexpr const wchar_t* PNP_NOTIFICATION_READER = L"\\\\?PnP?\\Notification";

class PcScApi {
public:
    static constexpr std::uint32_t INFINITE_TIMEOUT = 0xFFFFFFFF;

    virtual ~PcScApi() = default;

    // The process's current implementation: the platform's service unless a
    // ScopedPcScApi is active.
    static PcScApi& current() noexcept;
    // The implementation that talks to the platform's service.
    static PcScApi& platform() noexcept;

    // Context of scope system.
    virtual std::uint32_t establishContext(PcScContext* context) = 0;
    virtual std::uint32_t releaseContext(PcScContext context) = 0;
    // All reader names in the service's order (the service allocates the
    // multi-string; it is freed before returning).
    virtual std::uint32_t listReaders(PcScContext context, std::vector<std::wstring>& names) = 0;
    virtual std::uint32_t getStatusChange(PcScContext context, std::uint32_t timeout,
                                          PcScReaderState* states, std::size_t count) = 0;
    virtual std::uint32_t cancel(PcScContext context) = 0;

    // shareMode, preferredProtocols and dispositions are the service's own
    // numbers (share mode 1 exclusive / 2 shared; protocols 1 T=0, 2 T=1;
    // disposition 0 leave ... 3 eject).
    virtual std::uint32_t connect(PcScContext context, const std::wstring& reader,
                                  std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                  PcScHandle* handle, std::uint32_t* activeProtocol) = 0;
    // State and protocol of the card behind the handle; `atr` may be null when
    // only the state is wanted, else it holds `*atrLength` bytes.
    virtual std::uint32_t status(PcScHandle handle, std::uint32_t* state, std::uint32_t* protocol,
                                 std::uint8_t* atr, std::uint32_t* atrLength) = 0;
    virtual std::uint32_t beginTransaction(PcScHandle handle) = 0;
    virtual std::uint32_t endTransaction(PcScHandle handle, std::uint32_t disposition) = 0;
    virtual std::uint32_t disconnect(PcScHandle handle, std::uint32_t disposition) = 0;
    // `receiveLength` is in/out: capacity in, received bytes out.
    virtual std::uint32_t transmit(PcScHandle handle, bool protocolT0, const std::uint8_t* send,
                                   std::uint32_t sendLength, std::uint8_t* receive,
                                   std::uint32_t* receiveLength) = 0;
    virtual std::uint32_t control(PcScHandle handle, std::uint32_t controlCode,
                                  const std::uint8_t* input, std::uint32_t inputLength,
                                  std::uint8_t* output, std::uint32_t outputCapacity,
                                  std::uint32_t* outputLength) = 0;

    // The platform's value of CM_IOCTL_GET_FEATURE_REQUEST.
    virtual std::uint32_t featureRequestControlCode() const = 0;
    // True for a status-wait result that means the service went away and the
    // context is dead.
    virtual bool isServiceStopped(std::uint32_t result) const = 0;
    // True for a result of establishing a context while the service is down or
    // still starting; the caller may try again later.
    virtual bool isServiceUnavailable(std::uint32_t result) const = 0;
    // Blocks until it is worth trying to reach the service again; `attempt`
    // counts the failed tries since the service stopped. Returns 0 to try
    // now, non-zero when the wait failed or `cancelRequested` became true.
    virtual std::uint32_t waitForServiceStart(unsigned attempt,
                                              const std::atomic<bool>& cancelRequested) = 0;
};

// Installs another PcScApi for the lifetime of the object (tests only).
class ScopedPcScApi {
public:
    explicit ScopedPcScApi(PcScApi& api) noexcept;
    ~ScopedPcScApi();
    ScopedPcScApi(const ScopedPcScApi&) = delete;
    ScopedPcScApi& operator=(const ScopedPcScApi&) = delete;

private:
    PcScApi* previous;
};

}  // namespace ctl
