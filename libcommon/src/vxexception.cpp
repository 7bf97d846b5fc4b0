#include "vxexception.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "textformat.h"

VxException::VxException() noexcept { message[0] = '\0'; }

VxException::VxException(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    formatMessage(format, args);
    va_end(args);
}

namespace {

// Keeps a cut message valid UTF-8: a cut inside a multi-byte sequence drops
// the sequence's lead and continuation bytes.
std::size_t utf8SafeCut(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) {
        return text.size();
    }
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return cut;
}

}  // namespace

void VxException::formatMessage(const char* format, va_list args) noexcept {
    message[0] = '\0';
    if (format == nullptr) {
        return;
    }
    // Formatted without the C library's locale, so "%ls" arguments with
    // non-ASCII text (reader names) reach the message as UTF-8 instead of
    // failing the whole message; cut at 1023 bytes.
    va_list copy;
    va_copy(copy, args);
    try {
        std::string text;
        textformat::appendFormatted(text, format, copy);
        const std::size_t length = utf8SafeCut(text, sizeof message - 1);
        std::memcpy(message, text.data(), length);
        message[length] = '\0';
        va_end(copy);
        return;
    } catch (...) {
        // Out of memory: fall back to the C library, which needs none.
    }
    va_end(copy);
    int written = std::vsnprintf(message, sizeof message, format, args);
    if (written < 0) {
        message[0] = '\0';
    }
}

InternalErrorException::InternalErrorException() noexcept {
    std::snprintf(message, sizeof message, "INTERNAL ERROR ");
}

InternalErrorException::InternalErrorException(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    formatInternal(format, args);
    va_end(args);
}

void InternalErrorException::formatInternal(const char* format, va_list args) noexcept {
    // The prefix is joined to the caller's format first, then the whole is
    // formatted with the caller's arguments.
    char prefixed[MESSAGE_CAPACITY];
    std::snprintf(prefixed, sizeof prefixed, "INTERNAL ERROR %s", format ? format : "");
    formatMessage(prefixed, args);
}

InvalidArgumentException::InvalidArgumentException(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    formatMessage(format, args);
    va_end(args);
}

InvalidArgumentException InvalidArgumentException::nullPointer(const char* argument,
                                                               const char* function,
                                                               const char* file, int line) noexcept {
    return InvalidArgumentException("Null pointer exception <%s> [%s() %s:%d]", argument, function,
                                    sourceBaseName(file), line);
}

InvalidArgumentException InvalidArgumentException::invalid(const char* argument,
                                                           const char* function, const char* file,
                                                           int line) noexcept {
    return InvalidArgumentException("Invalid argument exception <%s> [%s() %s:%d]", argument,
                                    function, sourceBaseName(file), line);
}

InvalidArgumentException InvalidArgumentException::range(const char* argument, long long value,
                                                         long long low, long long high,
                                                         const char* function, const char* file,
                                                         int line) noexcept {
    return InvalidArgumentException(
        "Invalid argument range exception <%s> [%lld] not inside <%lld,%lld> [%s() %s:%d]",
        argument, value, low, high, function, sourceBaseName(file), line);
}

const char* sourceBaseName(const char* path) noexcept {
    if (path == nullptr) {
        return "";
    }
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

SerializationException::SerializationException() noexcept
    : VxException("Error in serialization/deserialization within a stream") {}
