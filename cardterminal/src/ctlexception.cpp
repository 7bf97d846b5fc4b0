#include "ctl/ctlexception.h"

namespace ctl {

CtlException::CtlException(std::uint32_t code) noexcept
    : VxException("SCard error 0x%08X", static_cast<unsigned>(code)), error(code) {}

}  // namespace ctl
