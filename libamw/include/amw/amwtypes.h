// Values shared by the token model and the layers above it: roles,
// authentication results and key usage bits.
#pragma once

#include <cstdint>

namespace amw {

// Who is authenticated on the card. The numbers are the card's own role
// numbers, passed through unchanged.
enum Role : std::uint32_t {
    AMWROLE_EVERYONE = 0,
    AMWROLE_USER = 1,
    AMWROLE_ADMIN = 2,
    AMWROLE_USER2 = 3,
    AMWROLE_USER3 = 4,
    AMWROLE_USER4 = 5,
    AMWROLE_USER5 = 6,
    AMWROLE_USER6 = 7
};

constexpr std::uint32_t AMWROLE_COUNT = 8;

enum AuthenticationResult : std::uint32_t {
    AUTHENTICATION_SUCCESS = 0,
    AUTHENTICATION_WRONG_PIN = 1,
    AUTHENTICATION_PIN_BLOCKED = 2
};

// Bits of a key pair's 16-bit usage mask.
enum KeyUsage : std::uint16_t {
    KEY_USAGE_SIGN = 0x0001,
    KEY_USAGE_DECRYPT = 0x0002,
    KEY_USAGE_UNWRAP = 0x0010,
    KEY_USAGE_SIGN_RECOVER = 0x0080
};

// Usage bits that belong to the private part and to the public part of a key
// pair; amending a key pair keeps or adds only the bits of the part it touches.
constexpr std::uint16_t KEY_USAGE_PRIVATE_MASK = 0x93;
constexpr std::uint16_t KEY_USAGE_PUBLIC_MASK = 0x6C;

// Qualified names for the trace log, e.g. L"amw::AMWROLE_USER"; L"UNKNOWN"
// for a value outside the enumeration.
const wchar_t* roleName(std::uint32_t role) noexcept;
const wchar_t* authenticationResultName(std::uint32_t result) noexcept;

// True for the numbers 0 to 7.
constexpr bool isValidRole(std::uint32_t role) noexcept { return role < AMWROLE_COUNT; }

}  // namespace amw
