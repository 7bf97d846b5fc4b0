#include "ctl/pcscapi.h"

#include "pcsccontext.h"

namespace ctl {

namespace {
std::atomic<PcScApi*> installed{nullptr};
}

PcScApi& PcScApi::current() noexcept {
    PcScApi* api = installed.load();
    return api != nullptr ? *api : platform();
}

// The shared context belongs to the implementation that made it: it is
// released before another one takes over.
ScopedPcScApi::ScopedPcScApi(PcScApi& api) noexcept
    : previous((releaseSharedContext(), installed.exchange(&api))) {}

ScopedPcScApi::~ScopedPcScApi() {
    releaseSharedContext();
    installed.store(previous);
}

}  // namespace ctl
