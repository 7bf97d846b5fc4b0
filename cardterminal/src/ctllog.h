// Trace helpers shared by the layer's classes; everything goes to the "CTL"
// facility and costs one flag test while logging is off.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ctl/cardconnection.h"

namespace ctl::ctllog {

// "%s return value: 0x%08X" after every PC/SC call, `callText` as the call
// is written in the source.
void pcscResult(const char* callText, std::uint32_t result) noexcept;
// "%ls = %ls"
void parameter(const wchar_t* name, const std::wstring& value) noexcept;
// "[OUT] %ls = %ls"
void output(const wchar_t* name, const std::wstring& value) noexcept;
// A line of plain text.
void message(const wchar_t* text) noexcept;
// A line with a narrow (UTF-8) string in it, e.g. "Card inserted into %s".
void messageWithText(const wchar_t* format, const std::wstring& text) noexcept;
void hexDump(const wchar_t* label, const std::uint8_t* data, std::size_t length) noexcept;
bool enabled() noexcept;

std::wstring decimal(long long value);
// Decimal then " [0x...]".
std::wstring decimalAndHex(unsigned long long value);
std::wstring hex(unsigned long long value);

// Qualified enumeration names with the number in brackets, "UNKNOWN[n]" for
// values outside the enumeration.
std::wstring modeText(std::uint32_t mode);
std::wstring protocolText(std::uint32_t protocol);
std::wstring dispositionText(std::uint32_t disposition);

}  // namespace ctl::ctllog
