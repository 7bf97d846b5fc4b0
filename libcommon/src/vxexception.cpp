#include "vxexception.h"

#include <cstdio>
#include <cstring>

VxException::VxException() noexcept { message[0] = '\0'; }

VxException::VxException(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    formatMessage(format, args);
    va_end(args);
}

void VxException::formatMessage(const char* format, va_list args) noexcept {
    message[0] = '\0';
    if (format == nullptr) {
        return;
    }
    // vsnprintf never writes past the buffer and always terminates it, which
    // cuts long messages at 1023 characters.
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
