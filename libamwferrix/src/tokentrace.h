// Trace lines of the token and its object classes ("%ls = %ls",
// "[OUT] %ls = %ls", hex dumps), all under the facility AMWFERRIX and built
// only when logging is on. Numbers print as "12 [0x0000000c]". Internal to
// the driver; nothing secret is ever passed to these functions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace amwferrix {
namespace trace {

void logNumber(const wchar_t* label, unsigned long long value) noexcept;
void logOutNumber(const wchar_t* label, unsigned long long value) noexcept;
void logBool(const wchar_t* label, bool value) noexcept;
void logText(const wchar_t* label, const wchar_t* text) noexcept;
// An enumerated value: its qualified name and the number in brackets.
void logEnum(const wchar_t* label, const wchar_t* name, unsigned long long value) noexcept;
// "[role=amw::AMWROLE_USER, type=amw::AuthenticationObject::PIN]"
void logAuthenticationObject(const wchar_t* label, std::uint32_t role,
                             std::uint32_t type) noexcept;
// "Returning amw::AUTHENTICATION_SUCCESS [0]"
void logResult(std::uint32_t result) noexcept;
void logHex(const wchar_t* title, const std::uint8_t* data, std::size_t length) noexcept;
void logMessage(const wchar_t* message) noexcept;

}  // namespace trace
}  // namespace amwferrix
