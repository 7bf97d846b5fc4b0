#include "pcsccontext.h"

#include "ctl/ctlexception.h"
#include "ctllog.h"

namespace ctl {

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
