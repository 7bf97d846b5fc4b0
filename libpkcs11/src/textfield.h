// Fixed-width Cryptoki text fields: blank padded, no terminating zero.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "cryptoki.h"

// Fills the field with blanks and copies as much of `text` as fits. A cut
// never splits a UTF-8 sequence.
template <std::size_t N>
void copyBlankPadded(CK_UTF8CHAR (&field)[N], const char* text, std::size_t length) noexcept {
    std::memset(field, ' ', N);
    if (length > N) {
        length = N;
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(field, text, length);
}

template <std::size_t N>
void copyBlankPadded(CK_UTF8CHAR (&field)[N], const std::string& text) noexcept {
    copyBlankPadded(field, text.data(), text.size());
}

template <std::size_t N>
void copyBlankPadded(CK_UTF8CHAR (&field)[N], const char* text) noexcept {
    copyBlankPadded(field, text, std::strlen(text));
}
