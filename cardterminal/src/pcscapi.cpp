#include "ctl/pcscapi.h"

namespace ctl {

namespace {
std::atomic<PcScApi*> installed{nullptr};
}

PcScApi& PcScApi::current() noexcept {
    PcScApi* api = installed.load();
    return api != nullptr ? *api : platform();
}

ScopedPcScApi::ScopedPcScApi(PcScApi& api) noexcept : previous(installed.exchange(&api)) {}

ScopedPcScApi::~ScopedPcScApi() { installed.store(previous); }

}  // namespace ctl
