#include "pcsccontext.h"

#include <atomic>
#include <mutex>

#include "ctl/ctlexception.h"
#include "ctllog.h"
#include "platform.h"

namespace ctl {

namespace {

constexpr std::uint32_t INVALID_HANDLE = 0x80100003;

struct SharedContext {
    std::mutex mutex;
    PcScApi* api = nullptr;
    PcScContext context = 0;
    std::uint64_t process = 0;
};

std::atomic<SharedContext*>& sharedSlot() {
    static std::atomic<SharedContext*> instance{new SharedContext};
    return instance;
}

// A forked child starts with a context of its own (the parent's is left to
// the parent, and its mutex may have been held by a thread the child does
// not have).
void freshInForkedChild() { sharedSlot().store(new SharedContext); }

// Never destroyed: the module may be finalised from exit handlers.
SharedContext& shared() {
    static const bool registered = [] {
        platform::runInEveryForkedChild(&freshInForkedChild);
        return true;
    }();
    (void)registered;
    return *sharedSlot().load();
}

bool contextGone(PcScApi& api, std::uint32_t rv) {
    return rv == INVALID_HANDLE || api.isServiceStopped(rv) || api.isServiceUnavailable(rv);
}

// With the mutex held. A context inherited from the parent process is left
// to the parent.
void dropShared(SharedContext& s) noexcept {
    if (s.context != 0 && s.api != nullptr && s.process == platform::currentProcessId()) {
        s.api->releaseContext(s.context);
    }
    s.context = 0;
    s.api = nullptr;
}

PcScContext ensureShared(SharedContext& s, PcScApi& api) {
    if (s.context != 0 && (s.api != &api || s.process != platform::currentProcessId())) dropShared(s);
    if (s.context == 0) {
        PcScContext fresh = 0;
        const std::uint32_t rv = establishLoggedContext(api, &fresh);
        if (rv != PcScResult::SUCCESS) throw CtlException(rv);
        s.context = fresh;
        s.api = &api;
        s.process = platform::currentProcessId();
    }
    return s.context;
}

}  // namespace

std::uint32_t withSharedContext(PcScApi& api, const std::function<std::uint32_t(PcScContext)>& call) {
    SharedContext& s = shared();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::uint32_t rv = call(ensureShared(s, api));
    if (contextGone(api, rv)) {
        dropShared(s);
        rv = call(ensureShared(s, api));
        // A service that is going away keeps nothing of ours.
        if (contextGone(api, rv)) dropShared(s);
    }
    return rv;
}

void releaseSharedContext() noexcept {
    SharedContext& s = shared();
    std::lock_guard<std::mutex> lock(s.mutex);
    dropShared(s);
}

std::uint32_t establishLoggedContext(PcScApi& api, PcScContext* context) {
    const std::uint32_t rv = api.establishContext(context);
    ctllog::pcscResult("SCardEstablishContext(2, 0, 0, &context)", rv);
    return rv;
}

PcScContextHolder::PcScContextHolder(PcScApi& pcsc) : api(pcsc) {
    const std::uint32_t rv = establishLoggedContext(api, &context);
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);
}

PcScContextHolder::~PcScContextHolder() {
    if (context != 0) api.releaseContext(context);
}

PcScContext PcScContextHolder::release() noexcept {
    const PcScContext c = context;
    context = 0;
    return c;
}

}  // namespace ctl
