// Conversions of token-model values into the card's bytes and back.
// Internal to the driver.
#pragma once

#include <cstdint>

#include "amw/amwtypes.h"

namespace amwferrix {
namespace detail {

// Roles 0 to 7 go to the card as the same number; anything else is logged as
// "role" and throws InvalidArgumentException "unknown AMW role [%d]".
std::uint8_t toCardRole(std::uint32_t role);
// 0 and 1 go unchanged; anything else is logged as "keySpec" and throws
// InvalidArgumentException "unknown AMW keySpec[%d]".
std::uint8_t toCardKeySpec(std::uint32_t keySpec);
// The command results 0, 1, 2; anything else is an InternalErrorException.
amw::AuthenticationResult toAuthenticationResult(std::uint32_t result);

}  // namespace detail
}  // namespace amwferrix
