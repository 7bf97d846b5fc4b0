#include "apducommand.h"

#include <cstring>
#include <cwchar>

#include "vxexception.h"

namespace amwferrix {
namespace apdu {
namespace detail {

void wipe(void* data, std::size_t length) noexcept {
    volatile std::uint8_t* p = static_cast<volatile std::uint8_t*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        p[i] = 0;
    }
}

// --- Command ---------------------------------------------------------------

Command::Command(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2) noexcept
    : bytes{cla, ins, p1, p2, 0}, length(5) {}

Command::~Command() { wipe(bytes, sizeof bytes); }

void Command::setLe(std::uint8_t le) noexcept { bytes[4] = le; }

void Command::append(const std::uint8_t* data, std::size_t count) {
    if (trailingLe || count > MAX_DATA - (length - 5) || (count > 0 && data == nullptr)) {
        throw InternalErrorException("command data does not fit a short APDU");
    }
    if (count > 0) {
        std::memcpy(bytes + length, data, count);
    }
    length += count;
    bytes[4] = static_cast<std::uint8_t>(length - 5);
}

void Command::appendByte(std::uint8_t value) { append(&value, 1); }

void Command::appendWord(std::uint16_t value) {
    const std::uint8_t word[2] = {static_cast<std::uint8_t>(value >> 8),
                                  static_cast<std::uint8_t>(value & 0xFF)};
    append(word, 2);
}

void Command::appendZeros(std::size_t count) {
    if (trailingLe || count > MAX_DATA - (length - 5)) {
        throw InternalErrorException("command data does not fit a short APDU");
    }
    std::memset(bytes + length, 0, count);
    length += count;
    bytes[4] = static_cast<std::uint8_t>(length - 5);
}

void Command::appendPadded(const std::uint8_t* data, std::size_t count, std::size_t fieldLength) {
    if (count > fieldLength) {
        throw InternalErrorException("command field of %u bytes cannot hold %u bytes",
                                     static_cast<unsigned>(fieldLength),
                                     static_cast<unsigned>(count));
    }
    append(data, count);
    appendZeros(fieldLength - count);
}

void Command::appendTrailingLe(std::uint8_t le) {
    if (trailingLe) {
        throw InternalErrorException("command already ends in Le");
    }
    bytes[length++] = le;
    trailingLe = true;
}

void Command::clearData() noexcept {
    wipe(bytes + 5, sizeof bytes - 5);
    bytes[4] = 0;
    length = 5;
    trailingLe = false;
}

// --- Response and exchange --------------------------------------------------

Response::Response() noexcept : data{} {}

Response::~Response() { wipe(data, sizeof data); }

std::uint16_t exchange(ctl::CardConnection& connection, const Command& command,
                       Response& response, bool sensitive) {
    response.length = RESPONSE_BUFFER_SIZE;
    response.sw = sendApdu(connection, command.data(), command.size(), response.data,
                           &response.length, sensitive ? 1 : 0);
    return response.sw;
}

void expectResponseLength(const Response& response, std::uint32_t expected) {
    if (response.length != expected) {
        throw InternalErrorException("unexpected response length (expected %d,  actual %d)",
                                     static_cast<int>(expected),
                                     static_cast<int>(response.length));
    }
}

// --- Trace lines ------------------------------------------------------------

namespace {

void logLine(const wchar_t* format, const wchar_t* label, const wchar_t* value) noexcept {
    Logger::instance().log(LOG_FACILITY_AMWFERRIX_APDU, format, label, value);
}

}  // namespace

void logNumber(const wchar_t* label, unsigned long long value) noexcept {
    if (!Logger::instance().isEnabled()) {
        return;
    }
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"%llu [0x%08llx]", value, value);
    logLine(L"%ls = %ls", label, text);
}

void logSigned(const wchar_t* label, long long value) noexcept {
    if (!Logger::instance().isEnabled()) {
        return;
    }
    wchar_t text[64];
    std::swprintf(text, sizeof text / sizeof text[0], L"%lld [0x%08llx]", value,
                  static_cast<unsigned long long>(value) & 0xFFFFFFFFull);
    logLine(L"%ls = %ls", label, text);
}

void logOutNumber(const wchar_t* label, unsigned long long value) noexcept {
    if (!Logger::instance().isEnabled()) {
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
    if (!Logger::instance().isEnabled()) {
        return;
    }
    wchar_t text[160];
    std::swprintf(text, sizeof text / sizeof text[0], L"%ls [%llu]", name, value);
    logLine(L"%ls = %ls", label, text);
}

void logHex(const wchar_t* title, const std::uint8_t* data, std::size_t length) noexcept {
    Logger::instance().logHex(LOG_FACILITY_AMWFERRIX_APDU, title, data, length, true);
}

void logMessage(const wchar_t* message) noexcept {
    Logger::instance().log(LOG_FACILITY_AMWFERRIX_APDU, L"%ls", message);
}

const wchar_t* authTypeName(std::uint32_t type) noexcept {
    return amw::AuthenticationObject::typeName(type);
}

const wchar_t* componentName(std::uint32_t component) noexcept {
    static const wchar_t* const names[] = {
        L"amwferrix::apdu::COMPONENT_P",  L"amwferrix::apdu::COMPONENT_Q",
        L"amwferrix::apdu::COMPONENT_DP", L"amwferrix::apdu::COMPONENT_DQ",
        L"amwferrix::apdu::COMPONENT_INV", L"amwferrix::apdu::COMPONENT_N",
        L"amwferrix::apdu::COMPONENT_E"};
    if (component >= COMPONENT_P && component <= COMPONENT_E) {
        return names[component - COMPONENT_P];
    }
    return L"UNKNOWN";
}

// --- Argument checks ----------------------------------------------------------

void requireNonNull(const void* pointer, const char* argument, const char* function,
                    const char* file, int line) {
    if (pointer == nullptr) {
        throw InvalidArgumentException::nullPointer(argument, function, file, line);
    }
}

void requireRange(long long value, long long low, long long high, const char* argument,
                  const char* function, const char* file, int line) {
    if (value < low || value > high) {
        throw InvalidArgumentException::range(argument, value, low, high, function, file, line);
    }
}

}  // namespace detail
}  // namespace apdu
}  // namespace amwferrix
