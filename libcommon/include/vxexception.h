// The failure channel below the Cryptoki boundary. Every layer reports errors by
// throwing a VxException (or a class derived from it); the Cryptoki call frame
// is the one place that turns them into CK_RV codes.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <exception>

#if defined(__GNUC__)
#define VX_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define VX_PRINTF_FORMAT(fmtIndex, firstArg)
#endif

class VxException : public std::exception {
public:
    static constexpr std::size_t MESSAGE_CAPACITY = 1024;

    VxException() noexcept;
    // The message is formatted printf-style ("%s" narrow, "%ls" wide) straight
    // into the fixed buffer and cut at 1023 characters.
    explicit VxException(const char* format, ...) noexcept VX_PRINTF_FORMAT(2, 3);
    VxException(const VxException&) noexcept = default;
    VxException& operator=(const VxException&) noexcept = default;
    ~VxException() override = default;

    const char* what() const noexcept override { return message; }

protected:
    void formatMessage(const char* format, va_list args) noexcept;

    char message[MESSAGE_CAPACITY];
};

// Declares an exception class that only exists to be caught by type.
#define VX_DECLARE_EXCEPTION(Name, Base)                                                  \
    class Name : public Base {                                                            \
    public:                                                                               \
        Name() noexcept = default;                                                        \
        explicit Name(const char* format, ...) noexcept VX_PRINTF_FORMAT(2, 3) {          \
            va_list args;                                                                 \
            va_start(args, format);                                                       \
            formatMessage(format, args);                                                  \
            va_end(args);                                                                 \
        }                                                                                 \
    }

// Prefixes every message with "INTERNAL ERROR ".
class InternalErrorException : public VxException {
public:
    InternalErrorException() noexcept;
    explicit InternalErrorException(const char* format, ...) noexcept VX_PRINTF_FORMAT(2, 3);

protected:
    void formatInternal(const char* format, va_list args) noexcept;
};

// Argument checks. Use the factories, which produce the three fixed message
// shapes; `file` may be a full path, only its base name is printed.
class InvalidArgumentException : public VxException {
public:
    InvalidArgumentException() noexcept = default;
    explicit InvalidArgumentException(const char* format, ...) noexcept VX_PRINTF_FORMAT(2, 3);

    // "Null pointer exception <%s> [%s() %s:%d]"
    static InvalidArgumentException nullPointer(const char* argument, const char* function,
                                                const char* file, int line) noexcept;
    // "Invalid argument exception <%s> [%s() %s:%d]"
    static InvalidArgumentException invalid(const char* argument, const char* function,
                                            const char* file, int line) noexcept;
    // "Invalid argument range exception <%s> [%d] not inside <%d,%d> [%s() %s:%d]"
    static InvalidArgumentException range(const char* argument, long long value, long long low,
                                          long long high, const char* function, const char* file,
                                          int line) noexcept;
};

// Returns the part of a path after its last separator (either kind).
const char* sourceBaseName(const char* path) noexcept;

VX_DECLARE_EXCEPTION(TlvParserException, VxException);
VX_DECLARE_EXCEPTION(LvParserException, VxException);

// "Error in serialization/deserialization within a stream"
class SerializationException : public VxException {
public:
    SerializationException() noexcept;
};
