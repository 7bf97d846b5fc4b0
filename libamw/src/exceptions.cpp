#include "amw/exceptions.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

namespace amw {

SWException::SWException(std::uint16_t statusWord) noexcept
    : VxException("unexpected SW %04X", static_cast<unsigned>(statusWord)), sw(statusWord) {}

PinPadException::PinPadException(Reason r) noexcept
    : VxException("PINPAD exception: %ls", reasonName(r)), reason(r) {}

const wchar_t* PinPadException::reasonName(std::uint32_t reason) noexcept {
    switch (reason) {
    case AUTHENTICATION_PINPAD_TIMEOUT:
        return L"amw::PinPadException::AUTHENTICATION_PINPAD_TIMEOUT";
    case AUTHENTICATION_PINPAD_CANCELED:
        return L"amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED";
    case AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH:
        return L"amw::PinPadException::AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH";
    case AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG:
        return L"amw::PinPadException::AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG";
    default:
        return L"UNKNOWN";
    }
}

DuplicatePkcs11IdException::DuplicatePkcs11IdException(const std::uint8_t* id,
                                                       std::size_t length) noexcept
    : VxException("duplicate PKCS#11 detected"), pkcs11Id{}, pkcs11IdLength(0) {
    if (id != nullptr) {
        pkcs11IdLength = std::min(length, sizeof pkcs11Id);
        std::memcpy(pkcs11Id, id, pkcs11IdLength);
    }
}

SecurityViolationException::SecurityViolationException() noexcept
    : VxException("SECURITY VIOLATION (not logged in)") {}

CardOutOfMemoryException::CardOutOfMemoryException() noexcept
    : VxException("CARD OUT OF MEMORY") {}

PinPolicyViolationException::PinPolicyViolationException() noexcept
    : VxException("PIN POLICY VIOLATION") {}

// An internal error by its mapping, but without the "INTERNAL ERROR " prefix
// of the others: the text names the counter alone.
FreshnessCounterException::FreshnessCounterException(const char* counterName) noexcept {
    setMessage("Freshness counter %s has not been updated!", counterName);
}

void FreshnessCounterException::setMessage(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    formatMessage(format, args);
    va_end(args);
}

InvalidBufferSizeException::InvalidBufferSizeException(long long expected,
                                                       long long actual) noexcept
    : VxException("invalid size of buffer (expected %lld,  actual %lld)", expected, actual) {}

UnknownPropertyException::UnknownPropertyException() noexcept
    : VxException("unknown name of proprietary extension or invalid dw flags argument") {}

}  // namespace amw
