// Diagnostic trace log: one file per process, off unless the configuration
// turns it on. Formats are wide printf formats in which "%s" always takes a
// narrow string and "%ls" a wide one, on every platform.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include "platform.h"

// Facility names printed in every line.
#define LOG_FACILITY_PKCS11 L"PKCS11"
#define LOG_FACILITY_AMW L"AMW"
#define LOG_FACILITY_AMWFERRIX L"AMWFERRIX"
#define LOG_FACILITY_AMWFERRIX_APDU L"AMWFERRIX_APDU"
#define LOG_FACILITY_CTL L"CTL"
#define LOG_FACILITY_LIBCOMMON L"LIBCOMMON"
#define LOG_FACILITY_LOGGER L"LOGGER"

class Logger {
public:
    // Creates the logger on first use (reading the configuration) and never
    // destroys it. Never fails: when the logger cannot be created (no memory,
    // no mutex) a disabled one stands in and creation is tried again later.
    static Logger& instance() noexcept;
    // In a child made by fork(): leaves the inherited logger and its locks
    // behind, untouched, so that the next line creates a logger (and a trace
    // file) of the child's own. Throws only for lack of memory.
    static void startAfreshAfterFork();

    bool isEnabled() const noexcept { return enabled; }
    const std::string& getFileName() const noexcept { return fileName; }

    // One line. Never throws; a file that cannot be opened drops the line.
    void log(const wchar_t* facility, const wchar_t* format, ...) noexcept;
    // Hexadecimal dump " %02X" per byte; with wrap, 16 bytes a line, continuation
    // lines aligned under the first byte. 6145 bytes or more are not dumped.
    void logHex(const wchar_t* facility, const wchar_t* label, const void* data, std::size_t length,
                bool wrap) noexcept;
    // Hexadecimal dump, " | ", then the bytes as characters (0x80 and above as ".").
    void logHexAscii(const wchar_t* facility, const wchar_t* label, const void* data,
                     std::size_t length) noexcept;

    // Per-thread call depth; a thread without an entry starts at 0.
    int increaseIndent() noexcept;
    int decreaseIndent() noexcept;
    int getIndent() noexcept;

private:
    struct Disabled {};
    Logger();
    explicit Logger(Disabled) noexcept {}
    static Logger& disabledInstance() noexcept;

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    std::string fileName;
    bool enabled = false;
    std::map<platform::ThreadId, int> indentLevels;
};

// Scoped trace of one operation: "Entering %s()" on construction with the
// indentation raised, "Leaving %s" on destruction ("Leaving %s\n" when the
// thread's depth drops back to 0).
class TraceScope {
public:
    TraceScope(const wchar_t* facility, const char* functionName) noexcept;
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    const wchar_t* facility;
    const char* functionName;
};
