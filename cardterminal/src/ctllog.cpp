#include "ctllog.h"

#include <cwchar>

#include "ctl/widetext.h"
#include "logger.h"

namespace ctl::ctllog {

namespace {

std::wstring enumText(const wchar_t* qualifiedName, std::uint32_t value) {
    wchar_t buffer[128];
    std::swprintf(buffer, sizeof buffer / sizeof buffer[0], L"%ls[%u]",
                  qualifiedName != nullptr ? qualifiedName : L"UNKNOWN", static_cast<unsigned>(value));
    return buffer;
}

}  // namespace

bool enabled() noexcept { return Logger::instance().isEnabled(); }

void pcscResult(const char* callText, std::uint32_t result) noexcept {
    Logger::instance().log(LOG_FACILITY_CTL, L"%s return value: 0x%08X", callText,
                           static_cast<unsigned>(result));
}

void parameter(const wchar_t* name, const std::wstring& value) noexcept {
    Logger::instance().log(LOG_FACILITY_CTL, L"%ls = %ls", name, value.c_str());
}

void output(const wchar_t* name, const std::wstring& value) noexcept {
    Logger::instance().log(LOG_FACILITY_CTL, L"[OUT] %ls = %ls", name, value.c_str());
}

void message(const wchar_t* text) noexcept { Logger::instance().log(LOG_FACILITY_CTL, L"%ls", text); }

void messageWithText(const wchar_t* format, const std::wstring& text) noexcept {
    if (!enabled()) return;
    try {
        const std::string narrow = WideText::toUtf8(text);
        Logger::instance().log(LOG_FACILITY_CTL, format, narrow.c_str());
    } catch (...) {
        // Out of memory while building a log line: the line is dropped.
    }
}

void hexDump(const wchar_t* label, const std::uint8_t* data, std::size_t length) noexcept {
    Logger::instance().logHex(LOG_FACILITY_CTL, label, data, length, true);
}

std::wstring decimal(long long value) {
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"%lld", value);
    return buffer;
}

std::wstring decimalAndHex(unsigned long long value) {
    wchar_t buffer[64];
    std::swprintf(buffer, 64, L"%llu [0x%llX]", value, value);
    return buffer;
}

std::wstring hex(unsigned long long value) {
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"0x%llX", value);
    return buffer;
}

std::wstring modeText(std::uint32_t mode) {
    switch (mode) {
        case CardConnection::MODE_SHARED: return enumText(L"ctl::CardConnection::MODE_SHARED", mode);
        case CardConnection::MODE_EXCLUSIVE:
            return enumText(L"ctl::CardConnection::MODE_EXCLUSIVE", mode);
        default: return enumText(nullptr, mode);
    }
}

std::wstring protocolText(std::uint32_t protocol) {
    switch (protocol) {
        case CardConnection::PROTOCOL_T0: return enumText(L"ctl::CardConnection::PROTOCOL_T0", protocol);
        case CardConnection::PROTOCOL_T1: return enumText(L"ctl::CardConnection::PROTOCOL_T1", protocol);
        case CardConnection::PROTOCOL_T0_OR_T1:
            return enumText(L"ctl::CardConnection::PROTOCOL_T0_OR_T1", protocol);
        default: return enumText(nullptr, protocol);
    }
}

std::wstring dispositionText(std::uint32_t disposition) {
    switch (disposition) {
        case CardConnection::LEAVE_CARD: return enumText(L"ctl::CardConnection::LEAVE_CARD", disposition);
        case CardConnection::RESET_CARD: return enumText(L"ctl::CardConnection::RESET_CARD", disposition);
        case CardConnection::UNPOWER_CARD:
            return enumText(L"ctl::CardConnection::UNPOWER_CARD", disposition);
        case CardConnection::EJECT_CARD: return enumText(L"ctl::CardConnection::EJECT_CARD", disposition);
        default: return enumText(nullptr, disposition);
    }
}

}  // namespace ctl::ctllog
