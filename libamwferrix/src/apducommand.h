// Building blocks shared by the command functions: the command buffer, the
// response buffer, one exchange, the response-length check and the trace
// lines. Internal to the driver.
//
// Command buffer (short APDU):
//   0 CLA | 1 INS | 2 P1 | 3 P2 | 4 Lc, or Le for a command without data |
//   5.. data (at most 255 bytes) | a trailing Le only for the RSA commands
#pragma once

#include <cstddef>
#include <cstdint>

#include "amwferrix/apdu.h"
#include "ctl/cardconnection.h"
#include "logger.h"

namespace amwferrix {
namespace apdu {
namespace detail {

constexpr std::uint8_t CLA_PROPRIETARY = 0x80;
constexpr std::uint8_t CLA_ISO = 0x00;
constexpr std::size_t MAX_DATA = 255;

// Overwrites memory in a way the compiler may not drop.
void wipe(void* data, std::size_t length) noexcept;

class Command {
public:
    Command(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2) noexcept;
    ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Byte 4 of a command without data.
    void setLe(std::uint8_t le) noexcept;
    void setP2(std::uint8_t p2) noexcept { bytes[3] = p2; }
    // Data bytes; Lc (byte 4) follows the count. Appending beyond 255 data
    // bytes is a programming error and throws InternalErrorException.
    void append(const std::uint8_t* data, std::size_t length);
    void appendByte(std::uint8_t value);
    void appendWord(std::uint16_t value);
    void appendZeros(std::size_t length);
    // Places `data` (which may be shorter) into a field of `fieldLength`
    // bytes, filled up with zeros.
    void appendPadded(const std::uint8_t* data, std::size_t length, std::size_t fieldLength);
    // The byte after the data of the two RSA commands.
    void appendTrailingLe(std::uint8_t le);
    // Empties the data (and a trailing Le), keeping the header.
    void clearData() noexcept;

    const std::uint8_t* data() const noexcept { return bytes; }
    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(length); }

private:
    std::uint8_t bytes[5 + MAX_DATA + 1];
    std::size_t length;
    bool trailingLe = false;
};

class Response {
public:
    Response() noexcept;
    ~Response();
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;

    std::uint8_t data[RESPONSE_BUFFER_SIZE];
    std::uint32_t length = 0;  // data bytes, status word excluded
    std::uint16_t sw = 0;

    std::uint16_t word(std::size_t offset) const noexcept {
        return static_cast<std::uint16_t>((data[offset] << 8) | data[offset + 1]);
    }
};

// Sets the response length to the buffer capacity, sends, and keeps the
// status word in the response.
std::uint16_t exchange(ctl::CardConnection& connection, const Command& command,
                       Response& response, bool sensitive = false);

// InternalErrorException "unexpected response length (expected %d,  actual %d)"
// unless exactly `expected` data bytes came back.
void expectResponseLength(const Response& response, std::uint32_t expected);

// A status word of the form xxyy with xx = sw1.
constexpr bool hasSw1(std::uint16_t sw, std::uint8_t sw1) noexcept { return (sw >> 8) == sw1; }
constexpr bool isWrongPin(std::uint16_t sw) noexcept { return (sw & 0xFFF0) == 0x63C0; }

// One PIN entry on the reader's keypad: either a verification (the PIN goes
// to `pinOffset`) or a modification (current PIN to `pinOffset` when asked
// for, new PIN to `newPinOffset`). Offsets count from the first byte of the
// command, so 5 is the first data byte.
struct PinPadRequest {
    bool modify = false;
    bool askForCurrentPin = false;
    bool confirmNewPin = false;
    std::uint8_t pinOffset = 0;
    std::uint8_t newPinOffset = 0;
};

// Runs the entry loop: announce, let the reader take the PIN, report, and
// repeat while handlePinPadSW asks for another entry. Returns the status word
// of the last entry for the command's own evaluation.
std::uint16_t runPinPadEntry(ctl::CardConnection& connection, const Command& command,
                             const PinPadRequest& request, amw::PinPadListener* listener);

// Trace lines of the command functions ("%ls = %ls", "[OUT] %ls = %ls"), all
// under the facility AMWFERRIX_APDU and built only when logging is on.
// Numbers print as "12 [0x0000000c]".
void logNumber(const wchar_t* label, unsigned long long value) noexcept;
void logSigned(const wchar_t* label, long long value) noexcept;
void logOutNumber(const wchar_t* label, unsigned long long value) noexcept;
void logBool(const wchar_t* label, bool value) noexcept;
void logText(const wchar_t* label, const wchar_t* text) noexcept;
// An enumerated value: its qualified name and the number in brackets.
void logEnum(const wchar_t* label, const wchar_t* name, unsigned long long value) noexcept;
// A hex dump titled `title` (for example L"buf = ").
void logHex(const wchar_t* title, const std::uint8_t* data, std::size_t length) noexcept;
void logMessage(const wchar_t* message) noexcept;

const wchar_t* authTypeName(std::uint32_t type) noexcept;
const wchar_t* componentName(std::uint32_t component) noexcept;

// Argument checks that throw InvalidArgumentException in its three forms.
void requireNonNull(const void* pointer, const char* argument, const char* function,
                    const char* file, int line);
void requireRange(long long value, long long low, long long high, const char* argument,
                  const char* function, const char* file, int line);

}  // namespace detail
}  // namespace apdu
}  // namespace amwferrix
