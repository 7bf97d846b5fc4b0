#include "conversions.h"

#include "amw/keypair.h"
#include "tokentrace.h"
#include "vxexception.h"

namespace amwferrix {
namespace detail {

std::uint8_t toCardRole(std::uint32_t role) {
    if (!amw::isValidRole(role)) {
        trace::logNumber(L"role", role);
        throw InvalidArgumentException("unknown AMW role [%d]", static_cast<int>(role));
    }
    return static_cast<std::uint8_t>(role);
}

std::uint8_t toCardKeySpec(std::uint32_t keySpec) {
    if (keySpec != amw::KeyPair::SIGNATURE_KEY && keySpec != amw::KeyPair::KEY_EXCHANGE_KEY) {
        trace::logNumber(L"keySpec", keySpec);
        throw InvalidArgumentException("unknown AMW keySpec[%d]", static_cast<int>(keySpec));
    }
    return static_cast<std::uint8_t>(keySpec);
}

amw::AuthenticationResult toAuthenticationResult(std::uint32_t result) {
    switch (result) {
        case amw::AUTHENTICATION_SUCCESS:
            return amw::AUTHENTICATION_SUCCESS;
        case amw::AUTHENTICATION_WRONG_PIN:
            return amw::AUTHENTICATION_WRONG_PIN;
        case amw::AUTHENTICATION_PIN_BLOCKED:
            return amw::AUTHENTICATION_PIN_BLOCKED;
        default:
            throw InternalErrorException("unexpected authentication result %u", result);
    }
}

}  // namespace detail
}  // namespace amwferrix
