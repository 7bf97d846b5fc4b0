// Fixed-capacity byte buffer: N bytes inline and the count in use. Every size
// limit of the data model is the capacity of one of these; exceeding it is an
// argument error, never a reallocation.
//
// Invariant after construction and after assign(): the bytes from `length` up
// to N - 1 are zero. Code that fills `data` directly sets `length` itself and
// must keep 0 <= length <= N.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "vxexception.h"

namespace staticbuffer_detail {

// The function name in the message reads "StaticBuffer<N>::StaticBuffer".
[[noreturn]] inline void throwLengthOutOfRange(std::uint64_t length, std::size_t capacity,
                                               const char* file, int line) {
    char function[64];
    std::snprintf(function, sizeof function, "StaticBuffer<%zu>::StaticBuffer", capacity);
    const long long shown = length > static_cast<std::uint64_t>(INT64_MAX)
                                ? INT64_MAX
                                : static_cast<long long>(length);
    throw InvalidArgumentException::range("length", shown, 0, static_cast<long long>(capacity),
                                          function, file, line);
}

[[noreturn]] inline void throwNullBytes(std::size_t capacity, const char* file, int line) {
    char function[64];
    std::snprintf(function, sizeof function, "StaticBuffer<%zu>::StaticBuffer", capacity);
    throw InvalidArgumentException::nullPointer("bytes", function, file, line);
}

}  // namespace staticbuffer_detail

template <std::size_t N>
class StaticBuffer {
public:
    static constexpr std::size_t CAPACITY = N;

    constexpr StaticBuffer() noexcept : data{}, length(0) {}

    // Copies `count` bytes. More than N throws InvalidArgumentException
    // "Invalid argument range exception <length> [count] not inside <0,N> ...";
    // null bytes with a non-zero count throw a null-pointer one.
    StaticBuffer(const void* bytes, std::uint64_t count) : data{}, length(0) {
        assign(bytes, count);
    }

    StaticBuffer(const StaticBuffer&) = default;
    StaticBuffer& operator=(const StaticBuffer&) = default;

    // Replaces the content, with the same checks as the constructor; on failure
    // the buffer is unchanged.
    void assign(const void* bytes, std::uint64_t count) {
        if (count > N) {
            staticbuffer_detail::throwLengthOutOfRange(count, N, __FILE__, __LINE__);
        }
        if (bytes == nullptr && count != 0) {
            staticbuffer_detail::throwNullBytes(N, __FILE__, __LINE__);
        }
        const auto* source = static_cast<const unsigned char*>(bytes);
        for (std::size_t i = 0; i < N; ++i) {
            data[i] = i < count ? source[i] : 0;
        }
        length = count;
    }

    // Empties the buffer and zeroes every byte (buffers also hold PINs).
    void clear() noexcept {
        volatile unsigned char* p = data;
        for (std::size_t i = 0; i < N; ++i) {
            p[i] = 0;
        }
        length = 0;
    }

    constexpr std::size_t size() const noexcept { return static_cast<std::size_t>(length); }
    constexpr bool empty() const noexcept { return length == 0; }
    static constexpr std::size_t capacity() noexcept { return N; }
    constexpr const unsigned char* begin() const noexcept { return data; }
    constexpr const unsigned char* end() const noexcept { return data + size(); }

    // Same length and the same bytes in use (capacities may differ).
    template <std::size_t M>
    constexpr bool equals(const StaticBuffer<M>& other) const noexcept {
        if (length != other.length) {
            return false;
        }
        for (std::size_t i = 0; i < size(); ++i) {
            if (data[i] != other.data[i]) {
                return false;
            }
        }
        return true;
    }
    template <std::size_t M>
    constexpr bool operator==(const StaticBuffer<M>& other) const noexcept {
        return equals(other);
    }

    unsigned char data[N];
    std::uint64_t length;
};

// The public exponent 65537, big-endian: the default for key-pair generation.
// Built at compile time, so it is ready before any dynamic initialisation.
inline constinit const StaticBuffer<256> DEFAULT_PUBLIC_EXPONENT = [] {
    StaticBuffer<256> exponent;
    exponent.data[0] = 0x01;
    exponent.data[1] = 0x00;
    exponent.data[2] = 0x01;
    exponent.length = 3;
    return exponent;
}();
