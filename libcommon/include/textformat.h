// printf-style formatting into UTF-8 text, independent of the C library's
// locale and of how its wide printf treats "%s".
//
// Conversions follow the C library's, with the string and character
// conversions pinned down the same way on every platform:
//   "%s", "%S", "%c"   a narrow (8-bit) string or character, copied byte for byte
//   "%ls", "%lc", "%C" a wide string or character, encoded as UTF-8
//   "%n"               consumes its pointer argument and writes nothing
// A null string argument prints "(null)". An unknown conversion is copied as
// it stands. Width and precision count bytes for narrow text and characters
// for wide text.
#pragma once

#include <cstdarg>
#include <string>

namespace textformat {

// Appends the formatted text to `out`. May throw std::bad_alloc.
void appendFormatted(std::string& out, const wchar_t* format, va_list args);
void appendFormatted(std::string& out, const char* format, va_list args);

// Appends one character / a whole wide string as UTF-8. Unpaired surrogates
// and values beyond U+10FFFF become U+FFFD.
void appendUtf8(std::string& out, char32_t codePoint);
void appendUtf8(std::string& out, const wchar_t* text);

}  // namespace textformat
