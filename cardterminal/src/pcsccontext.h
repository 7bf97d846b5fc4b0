// PC/SC contexts: a short-lived context of scope system, released on every
// exit, for a card connection or a listener that owns one; and the process's
// shared context for the calls that need nothing but a context (listing the
// readers, reading a reader's state).
#pragma once

#include <functional>

#include "ctl/pcscapi.h"

namespace ctl {

class PcScContextHolder {
public:
    // Establishes the context; throws CtlException when the service refuses.
    explicit PcScContextHolder(PcScApi& api);
    ~PcScContextHolder();
    PcScContextHolder(const PcScContextHolder&) = delete;
    PcScContextHolder& operator=(const PcScContextHolder&) = delete;

    PcScContext get() const noexcept { return context; }
    // Hands the context over to the caller; it is no longer released here.
    PcScContext release() noexcept;

private:
    PcScApi& api;
    PcScContext context = 0;
};

// Runs `call` on the shared context, establishing it on first use (throws
// CtlException when the service refuses). When the service reports the
// context gone (a restarted service, a forked child), a fresh one is
// established and `call` runs once more. Calls are serialised.
std::uint32_t withSharedContext(PcScApi& api, const std::function<std::uint32_t(PcScContext)>& call);

// Releases the shared context; the next use establishes a new one.
void releaseSharedContext() noexcept;

// Establishes a context and logs the call; returns the service's result.
std::uint32_t establishLoggedContext(PcScApi& api, PcScContext* context);

}  // namespace ctl
