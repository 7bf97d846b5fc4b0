// The trace file.
//
// Name: <logpath>vxpkcs11-<executable base name>-<FILETIME in decimal>.log,
// a new file for every Logger (every process or module load).
//
// Line: "T<thread id> <dd>.<mm>.<yyyy> <hh>:<mm>:<ss>.<ms> <facility>", blanks
// up to column 45 + 2 * (the thread's call depth), the message, "\n". The text
// is UTF-8. Each entry (a line, or a wrapped dump with its continuation
// lines) is formatted completely in memory and appended with one append-mode
// write (platform::appendToFile), so entries of concurrent threads and
// processes never interleave inside an entry, whatever its length, and a
// crash loses at most the entry being written.
//
// A logger that cannot be created (no memory, no mutex) is replaced by a
// disabled one for that call: logging is a diagnostic and must never end the
// host application from the noexcept paths that log.
#include "logger.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <new>
#include <string>

#include "configuration.h"
#include "textformat.h"

namespace {

constexpr std::size_t HEADER_COLUMN = 45;
constexpr std::size_t INDENT_WIDTH = 2;
// Formats are cut to this many characters before use.
constexpr std::size_t FORMAT_CAPACITY = 1024;
// Dumps of this many bytes or more are replaced by one line with the length.
constexpr std::size_t HEX_DUMP_LIMIT = 0x1801;
constexpr std::size_t HEX_BYTES_PER_LINE = 16;

// Never destroyed: applications log (C_Finalize) from their own static
// destructors, which may run after ours. A forked child replaces them
// (Logger::startAfreshAfterFork).
std::atomic<platform::Mutex*>& instanceMutexSlot() {
    static std::atomic<platform::Mutex*> slot{new platform::Mutex};
    return slot;
}

std::atomic<platform::Mutex*>& indentMutexSlot() {
    static std::atomic<platform::Mutex*> slot{new platform::Mutex};
    return slot;
}

platform::Mutex& instanceMutex() { return *instanceMutexSlot().load(); }
platform::Mutex& indentMutex() { return *indentMutexSlot().load(); }

std::atomic<Logger*> theInstance{nullptr};


void appendFormat(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    textformat::appendFormatted(out, format, args);
    va_end(args);
}

// "T<tid> <timestamp> <facility>" and the blanks up to the indentation column.
// A depth below 0 (more leaves than enters) moves the column left.
void appendHeader(std::string& out, const wchar_t* facility, int depth) {
    const std::size_t start = out.size();
    const platform::LocalTime t = platform::localTime();
    appendFormat(out, "T%u %02d.%02d.%d %02d:%02d:%02d.%02d ",
                 static_cast<unsigned>(platform::currentThreadId()), t.day, t.month, t.year, t.hour,
                 t.minute, t.second, t.milliseconds);
    textformat::appendUtf8(out, facility != nullptr ? facility : L"");
    const long long column =
        static_cast<long long>(HEADER_COLUMN) + static_cast<long long>(INDENT_WIDTH) * depth;
    const long long written = static_cast<long long>(out.size() - start);
    if (written < column) {
        out.append(static_cast<std::size_t>(column - written), ' ');
    }
}

// Appends one finished entry (ending in "\n") to the file; a file that cannot
// be opened loses the entry.
void writeToFile(const std::string& fileName, const std::string& text) noexcept {
    platform::appendToFile(fileName, text);
}

// Where a wrapped dump continues: each continuation line gets a header of its
// own (with its own time), then blanks as wide as the label.
struct Continuation {
    const wchar_t* facility;
    int depth;
    std::size_t labelWidth;
};

void appendHexBytes(std::string& out, const unsigned char* bytes, std::size_t length,
                    const Continuation* continuation) {
    for (std::size_t i = 0; i < length; ++i) {
        appendFormat(out, " %02X", static_cast<unsigned>(bytes[i]));
        if (continuation != nullptr && (i + 1) % HEX_BYTES_PER_LINE == 0 && i + 1 < length) {
            out.push_back('\n');
            appendHeader(out, continuation->facility, continuation->depth);
            out.append(continuation->labelWidth, ' ');
        }
    }
}

}  // namespace

Logger& Logger::instance() noexcept {
    Logger* existing = theInstance.load(std::memory_order_acquire);
    if (existing != nullptr) {
        return *existing;
    }
    try {
        platform::MutexLock lock(instanceMutex());
        existing = theInstance.load(std::memory_order_relaxed);
        if (existing == nullptr) {
            existing = new Logger();
            theInstance.store(existing, std::memory_order_release);
        }
        return *existing;
    } catch (...) {
        // Not published: a later call tries again.
        return disabledInstance();
    }
}

void Logger::startAfreshAfterFork() {
    // Both locks may be held for good by threads of the parent, and the
    // inherited depth map may be half changed: all are left behind (kept
    // reachable, never destroyed). The child's next line creates a logger,
    // and a trace file, of its own.
    auto* freshInstanceMutex = new platform::Mutex;
    auto* freshIndentMutex = new platform::Mutex;
    [[maybe_unused]] static Logger* abandoned = nullptr;
    abandoned = theInstance.exchange(nullptr);
    instanceMutexSlot().store(freshInstanceMutex);
    indentMutexSlot().store(freshIndentMutex);
}

Logger& Logger::disabledInstance() noexcept {
    // Built in place without allocating and never destroyed, so that it is
    // there whatever failed and however late the process logs.
    alignas(Logger) static unsigned char storage[sizeof(Logger)];
    static Logger* const disabled = new (storage) Logger(Disabled{});
    return *disabled;
}

Logger::Logger() {
    const Configuration& configuration = Configuration::instance();
    enabled = configuration.logEnabled;
    if (!enabled) {
        return;
    }
    fileName = configuration.logPath + "vxpkcs11-" + platform::executableBaseName() + "-" +
               std::to_string(platform::systemTimeAsFileTime()) + ".log";
    log(LOG_FACILITY_LOGGER, L"BUILT ON %s %s\n", __DATE__, __TIME__);
}

void Logger::log(const wchar_t* facility, const wchar_t* format, ...) noexcept {
    if (!enabled) {
        return;
    }
    va_list args;
    va_start(args, format);
    try {
        // The format is cut at 1023 characters, whatever its arguments.
        std::wstring cutFormat;
        if (format != nullptr) {
            cutFormat.assign(format, wcsnlen(format, FORMAT_CAPACITY - 1));
        }
        std::string line;
        appendHeader(line, facility, getIndent());
        textformat::appendFormatted(line, cutFormat.c_str(), args);
        line.push_back('\n');
        writeToFile(fileName, line);
    } catch (...) {
        // Out of memory: the line is lost, the caller goes on.
    }
    va_end(args);
}

void Logger::logHex(const wchar_t* facility, const wchar_t* label, const void* data,
                    std::size_t length, bool wrap) noexcept {
    if (!enabled) {
        return;
    }
    try {
        std::string line;
        appendHeader(line, facility, getIndent());
        textformat::appendUtf8(line, label != nullptr ? label : L"");
        const std::size_t labelWidth = label != nullptr ? wcslen(label) : 0;
        const Continuation continuation{facility, getIndent(), labelWidth};
        if (data == nullptr) {
            line += "NULL";
        } else if (length >= HEX_DUMP_LIMIT) {
            appendFormat(line, "extremely large buffer, not logged (len = 0x%zx)", length);
        } else {
            appendHexBytes(line, static_cast<const unsigned char*>(data), length,
                           wrap ? &continuation : nullptr);
        }
        line.push_back('\n');
        writeToFile(fileName, line);
    } catch (...) {
    }
}

void Logger::logHexAscii(const wchar_t* facility, const wchar_t* label, const void* data,
                         std::size_t length) noexcept {
    if (!enabled) {
        return;
    }
    try {
        std::string line;
        appendHeader(line, facility, getIndent());
        textformat::appendUtf8(line, label != nullptr ? label : L"");
        if (data == nullptr) {
            line += "NULL";
        } else if (length >= HEX_DUMP_LIMIT) {
            appendFormat(line, "extremely large buffer, not logged (len = 0x%zx)", length);
        } else {
            const auto* bytes = static_cast<const unsigned char*>(data);
            appendHexBytes(line, bytes, length, nullptr);
            line += " | ";
            for (std::size_t i = 0; i < length; ++i) {
                // Bytes outside printable ASCII would break the line or the
                // file's UTF-8; they show as dots.
                const unsigned char b = bytes[i];
                line.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
            }
        }
        line.push_back('\n');
        writeToFile(fileName, line);
    } catch (...) {
    }
}

// The indentation is cosmetic: without memory or without its lock the depth
// reads as 0 and the line is written all the same.
int Logger::increaseIndent() noexcept {
    try {
        platform::MutexLock lock(indentMutex());
        return ++indentLevels[platform::currentThreadId()];
    } catch (...) {
        return 0;
    }
}

int Logger::decreaseIndent() noexcept {
    try {
        platform::MutexLock lock(indentMutex());
        return --indentLevels[platform::currentThreadId()];
    } catch (...) {
        return 0;
    }
}

int Logger::getIndent() noexcept {
    try {
        platform::MutexLock lock(indentMutex());
        auto found = indentLevels.find(platform::currentThreadId());
        return found == indentLevels.end() ? 0 : found->second;
    } catch (...) {
        return 0;
    }
}
