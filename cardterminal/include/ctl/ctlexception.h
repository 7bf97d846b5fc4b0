#pragma once

#include <cstdint>

#include "vxexception.h"

namespace ctl {

// A PC/SC failure; `error` is the service's result code as 32 bits.
class CtlException : public VxException {
public:
    explicit CtlException(std::uint32_t code) noexcept;
    std::uint32_t error;
};

}  // namespace ctl
