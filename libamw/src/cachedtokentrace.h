// Trace lines of the cached token ("%ls = %ls", "Returning %ls", hex dumps),
// all under the facility AMW. Numbers print as "12 [0x0000000c]". Nothing
// secret is ever passed to these functions: PINs, session PINs and key
// components stay with the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

#include "amw/amwtypes.h"
#include "logger.h"
#include "staticbuffer.h"

namespace amw {
namespace cachedtrace {

inline void logNumber(const wchar_t* label, unsigned long long value) noexcept {
    Logger& logger = Logger::instance();
    if (!logger.isEnabled()) {
        return;
    }
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"%llu [0x%08llx]", value, value);
    logger.log(LOG_FACILITY_AMW, L"%ls = %ls", label, text);
}

inline void logBool(const wchar_t* label, bool value) noexcept {
    Logger::instance().log(LOG_FACILITY_AMW, L"%ls = %ls", label, value ? L"true" : L"false");
}

inline void logPointer(const wchar_t* label, const void* pointer) noexcept {
    Logger::instance().log(LOG_FACILITY_AMW, L"%ls = %ls", label,
                           pointer != nullptr ? L"<object>" : L"NULL");
}

template <std::size_t N>
void logBuffer(const wchar_t* title, const StaticBuffer<N>& buffer) noexcept {
    Logger::instance().logHex(LOG_FACILITY_AMW, title, buffer.data, buffer.size(), true);
}

inline void logMessage(const wchar_t* message) noexcept {
    Logger::instance().log(LOG_FACILITY_AMW, L"%ls", message);
}

// "Returning amw::AUTHENTICATION_SUCCESS [0]"
inline void logResult(std::uint32_t result) noexcept {
    Logger& logger = Logger::instance();
    if (!logger.isEnabled()) {
        return;
    }
    wchar_t text[160];
    std::swprintf(text, sizeof text / sizeof text[0], L"%ls [%u]",
                  authenticationResultName(result), result);
    logger.log(LOG_FACILITY_AMW, L"Returning %ls", text);
}

}  // namespace cachedtrace
}  // namespace amw
