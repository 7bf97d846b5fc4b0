#include "tokentrace.h"

#include <cwchar>

#include "amw/amwtypes.h"
#include "amw/authenticationobject.h"
#include "logger.h"

namespace amwferrix {
namespace trace {

namespace {

void logLine(const wchar_t* format, const wchar_t* label, const wchar_t* value) noexcept {
    Logger::instance().log(LOG_FACILITY_AMWFERRIX, format, label, value);
}

bool enabled() noexcept { return Logger::instance().isEnabled(); }

}  // namespace

void logNumber(const wchar_t* label, unsigned long long value) noexcept {
    if (!enabled()) {
        return;
    }
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"%llu [0x%08llx]", value, value);
    logLine(L"%ls = %ls", label, text);
}

void logOutNumber(const wchar_t* label, unsigned long long value) noexcept {
    if (!enabled()) {
        return;
    }
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"%llu [0x%08llx]", value, value);
    logLine(L"[OUT] %ls = %ls", label, text);
}

void logBool(const wchar_t* label, bool value) noexcept {
    logLine(L"%ls = %ls", label, value ? L"true" : L"false");
}

void logText(const wchar_t* label, const wchar_t* text) noexcept {
    logLine(L"%ls = %ls", label, text);
}

void logEnum(const wchar_t* label, const wchar_t* name, unsigned long long value) noexcept {
    if (!enabled()) {
        return;
    }
    wchar_t text[160];
    std::swprintf(text, sizeof text / sizeof text[0], L"%ls [%llu]", name, value);
    logLine(L"%ls = %ls", label, text);
}

void logAuthenticationObject(const wchar_t* label, std::uint32_t role,
                             std::uint32_t type) noexcept {
    if (!enabled()) {
        return;
    }
    wchar_t text[160];
    std::swprintf(text, sizeof text / sizeof text[0], L"[role=%ls, type=%ls]", amw::roleName(role),
                  amw::AuthenticationObject::typeName(type));
    logLine(L"%ls = %ls", label, text);
}

void logResult(std::uint32_t result) noexcept {
    if (!enabled()) {
        return;
    }
    wchar_t text[160];
    std::swprintf(text, sizeof text / sizeof text[0], L"%ls [%u]",
                  amw::authenticationResultName(result), result);
    Logger::instance().log(LOG_FACILITY_AMWFERRIX, L"Returning %ls", text);
}

void logHex(const wchar_t* title, const std::uint8_t* data, std::size_t length) noexcept {
    Logger::instance().logHex(LOG_FACILITY_AMWFERRIX, title, data, length, true);
}

void logMessage(const wchar_t* message) noexcept {
    Logger::instance().log(LOG_FACILITY_AMWFERRIX, L"%ls", message);
}

}  // namespace trace
}  // namespace amwferrix
