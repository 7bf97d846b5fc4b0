// A short-lived context of scope system, released on every exit.
#pragma once

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

// Establishes a context and logs the call; returns the service's result.
std::uint32_t establishLoggedContext(PcScApi& api, PcScContext* context);

}  // namespace ctl
