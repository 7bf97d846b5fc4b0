// Exceptions of the token model and the card driver.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vxexception.h"

namespace amw {

// A card status word the driver does not handle: "unexpected SW %04X".
class SWException : public VxException {
public:
    explicit SWException(std::uint16_t statusWord) noexcept;
    std::uint16_t sw;
};

class PinPadException : public VxException {
public:
    enum Reason : std::uint32_t {
        AUTHENTICATION_PINPAD_TIMEOUT = 0,
        AUTHENTICATION_PINPAD_CANCELED = 1,
        AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH = 2,
        AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG = 3
    };
    explicit PinPadException(Reason reason) noexcept;
    // The qualified name of a reason, for example
    // L"amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED".
    static const wchar_t* reasonName(std::uint32_t reason) noexcept;
    std::uint32_t reason;
};

// "duplicate PKCS#11 detected"; carries the identifier.
class DuplicatePkcs11IdException : public VxException {
public:
    DuplicatePkcs11IdException(const std::uint8_t* id, std::size_t length) noexcept;
    std::uint8_t pkcs11Id[128];
    std::size_t pkcs11IdLength;
};

class SecurityViolationException : public VxException {
public:
    SecurityViolationException() noexcept;  // "SECURITY VIOLATION (not logged in)"
};

class CardOutOfMemoryException : public VxException {
public:
    CardOutOfMemoryException() noexcept;  // "CARD OUT OF MEMORY"
};

class PinPolicyViolationException : public VxException {
public:
    PinPolicyViolationException() noexcept;  // "PIN POLICY VIOLATION"
};

// The card answered 6D00: the applet is not selected. Empty message.
VX_DECLARE_EXCEPTION(AppletNotSelectedException, VxException);

// The card refused to drop a role and to select the applet again, which
// would have dropped it: the role may still be authenticated. Only a reset
// of the card is sure to clear it.
VX_DECLARE_EXCEPTION(RoleStillAuthenticatedException, VxException);

class FreshnessCounterException : public InternalErrorException {
public:
    // "Freshness counter %s has not been updated!"
    explicit FreshnessCounterException(const char* counterName) noexcept;

private:
    void setMessage(const char* format, ...) noexcept VX_PRINTF_FORMAT(2, 3);
};

class InvalidBufferSizeException : public VxException {
public:
    // "invalid size of buffer (expected %d,  actual %d)"
    InvalidBufferSizeException(long long expected, long long actual) noexcept;
};

class UnknownPropertyException : public VxException {
public:
    // "unknown name of proprietary extension or invalid dw flags argument"
    UnknownPropertyException() noexcept;
};

}  // namespace amw
