#include "textformat.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>

namespace textformat {

namespace {

// One parsed conversion directive: "%" flags width precision length conversion.
struct Directive {
    std::string flags;
    int width = -1;
    int precision = -1;
    std::string length;  // "", "hh", "h", "l", "ll", "j", "z", "t", "L"
    char conversion = '\0';
    bool leftAlign() const { return flags.find('-') != std::string::npos; }
};

constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

template <typename CharT>
bool isDigit(CharT c) {
    return c >= CharT('0') && c <= CharT('9');
}

template <typename CharT>
int readNumber(const CharT*& p) {
    long long value = 0;
    while (isDigit(*p)) {
        if (value < 100000000) {
            value = value * 10 + (*p - CharT('0'));
        }
        ++p;
    }
    return static_cast<int>(value);
}

// Parses from just after the '%'. Returns false when the text is not a
// complete directive (it is then copied as it stands).
template <typename CharT>
bool parseDirective(const CharT*& p, Directive& directive, va_list& args) {
    while (*p == CharT('-') || *p == CharT('+') || *p == CharT(' ') || *p == CharT('#') ||
           *p == CharT('0')) {
        directive.flags.push_back(static_cast<char>(*p));
        ++p;
    }
    if (*p == CharT('*')) {
        int w = va_arg(args, int);
        if (w < 0) {
            directive.flags.push_back('-');
            w = w == -2147483647 - 1 ? 2147483647 : -w;
        }
        directive.width = w;
        ++p;
    } else if (isDigit(*p)) {
        directive.width = readNumber(p);
    }
    if (*p == CharT('.')) {
        ++p;
        if (*p == CharT('*')) {
            int prec = va_arg(args, int);
            directive.precision = prec < 0 ? -1 : prec;
            ++p;
        } else {
            directive.precision = readNumber(p);
        }
    }
    const CharT c0 = p[0];
    if ((c0 == CharT('h') || c0 == CharT('l')) && p[1] == c0) {
        directive.length.assign(2, static_cast<char>(c0));
        p += 2;
    } else if (c0 == CharT('h') || c0 == CharT('l') || c0 == CharT('j') || c0 == CharT('z') ||
               c0 == CharT('t') || c0 == CharT('L') || c0 == CharT('w')) {
        directive.length.assign(1, c0 == CharT('w') ? 'l' : static_cast<char>(c0));
        ++p;
    } else if (c0 == CharT('q')) {
        directive.length = "ll";
        ++p;
    }
    if (*p == CharT('\0') || static_cast<std::uint32_t>(*p) > 0x7F) {
        return false;
    }
    directive.conversion = static_cast<char>(*p);
    ++p;
    return true;
}

void pad(std::string& out, int count) {
    if (count > 0) {
        out.append(static_cast<std::size_t>(count), ' ');
    }
}

// Places already-encoded text, `columns` wide, inside the field width.
void placeInField(std::string& out, const Directive& directive, const std::string& text, std::size_t columns) {
    const int padding = directive.width > 0 && columns < static_cast<std::size_t>(directive.width)
                            ? directive.width - static_cast<int>(columns)
                            : 0;
    if (!directive.leftAlign()) {
        pad(out, padding);
    }
    out += text;
    if (directive.leftAlign()) {
        pad(out, padding);
    }
}

void formatNarrowString(std::string& out, const Directive& directive, const char* s) {
    if (s == nullptr) {
        s = "(null)";
    }
    std::size_t n = 0;
    const std::size_t limit = directive.precision >= 0 ? static_cast<std::size_t>(directive.precision) : SIZE_MAX;
    while (n < limit && s[n] != '\0') {
        ++n;
    }
    placeInField(out, directive, std::string(s, n), n);
}

void formatWideString(std::string& out, const Directive& directive, const wchar_t* s) {
    if (s == nullptr) {
        s = L"(null)";
    }
    std::size_t n = 0;
    const std::size_t limit = directive.precision >= 0 ? static_cast<std::size_t>(directive.precision) : SIZE_MAX;
    while (n < limit && s[n] != L'\0') {
        ++n;
    }
    std::wstring piece(s, n);
    std::string text;
    appendUtf8(text, piece.c_str());
    placeInField(out, directive, text, n);
}

// Rebuilds the directive for the C library, which formats numbers and
// pointers identically in every locale that matters here ("C" numerics).
std::string narrowDirective(const Directive& directive, const char* lengthOverride) {
    // Appended piecewise: GCC 12 reports a false -Wrestrict for
    // `const char* + std::string&&` at -O2 on mingw-w64.
    std::string s(1, '%');
    s += directive.flags;
    if (directive.width >= 0) {
        s += std::to_string(directive.width);
    }
    if (directive.precision >= 0) {
        s += '.';
        s += std::to_string(directive.precision);
    }
    s += lengthOverride != nullptr ? lengthOverride : directive.length.c_str();
    s.push_back(directive.conversion);
    return s;
}

template <typename T>
void appendNumber(std::string& out, const std::string& cFormat, T value) {
    char small[128];
    int needed = std::snprintf(small, sizeof small, cFormat.c_str(), value);
    if (needed < 0) {
        return;
    }
    if (static_cast<std::size_t>(needed) < sizeof small) {
        out.append(small, static_cast<std::size_t>(needed));
        return;
    }
    std::string big(static_cast<std::size_t>(needed) + 1, '\0');
    std::snprintf(big.data(), big.size(), cFormat.c_str(), value);
    out.append(big.data(), static_cast<std::size_t>(needed));
}

void formatSigned(std::string& out, const Directive& directive, va_list& args) {
    const std::string& l = directive.length;
    long long v;
    if (l == "ll" || l == "j") {
        v = l == "j" ? static_cast<long long>(va_arg(args, std::intmax_t)) : va_arg(args, long long);
    } else if (l == "l") {
        v = va_arg(args, long);
    } else if (l == "z" || l == "t") {
        v = static_cast<long long>(va_arg(args, std::ptrdiff_t));
    } else {
        int i = va_arg(args, int);
        v = l == "hh" ? static_cast<signed char>(i) : l == "h" ? static_cast<short>(i) : i;
    }
    appendNumber(out, narrowDirective(directive, "ll"), v);
}

void formatUnsigned(std::string& out, const Directive& directive, va_list& args) {
    const std::string& l = directive.length;
    unsigned long long v;
    if (l == "ll" || l == "j") {
        v = l == "j" ? static_cast<unsigned long long>(va_arg(args, std::uintmax_t))
                     : va_arg(args, unsigned long long);
    } else if (l == "l") {
        v = va_arg(args, unsigned long);
    } else if (l == "z" || l == "t") {
        v = static_cast<unsigned long long>(va_arg(args, std::size_t));
    } else {
        unsigned u = va_arg(args, unsigned);
        v = l == "hh" ? static_cast<unsigned char>(u) : l == "h" ? static_cast<unsigned short>(u) : u;
    }
    appendNumber(out, narrowDirective(directive, "ll"), v);
}

void formatFloating(std::string& out, const Directive& directive, va_list& args) {
    if (directive.length == "L") {
        appendNumber(out, narrowDirective(directive, "L"), va_arg(args, long double));
    } else {
        appendNumber(out, narrowDirective(directive, ""), va_arg(args, double));
    }
}

void formatCharacter(std::string& out, const Directive& directive, bool wide, va_list& args) {
    std::string text;
    if (wide) {
        // wint_t is 16 bits on Windows and arrives promoted to int; every
        // platform's wint_t value fits an unsigned int.
        appendUtf8(text, static_cast<char32_t>(va_arg(args, unsigned int)));
    } else {
        text.push_back(static_cast<char>(va_arg(args, int)));
    }
    placeInField(out, directive, text, 1);
}

// Formats one conversion; returns false for a conversion it does not know.
bool formatConversion(std::string& out, const Directive& directive, va_list& args) {
    const bool longForm = directive.length == "l";
    switch (directive.conversion) {
        case 'd':
        case 'i':
            formatSigned(out, directive, args);
            return true;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            formatUnsigned(out, directive, args);
            return true;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            formatFloating(out, directive, args);
            return true;
        case 'c':
            formatCharacter(out, directive, longForm, args);
            return true;
        case 'C':
            formatCharacter(out, directive, true, args);
            return true;
        case 's':
        case 'S':
            if (longForm) {
                formatWideString(out, directive, va_arg(args, const wchar_t*));
            } else {
                formatNarrowString(out, directive, va_arg(args, const char*));
            }
            return true;
        case 'p':
            appendNumber(out, narrowDirective(directive, ""), va_arg(args, void*));
            return true;
        case 'n':
            // Writing through a format's argument is never wanted in a trace.
            (void)va_arg(args, void*);
            return true;
        case '%':
            out.push_back('%');
            return true;
        default:
            return false;
    }
}

template <typename CharT>
void appendLiteral(std::string& out, const CharT* from, const CharT* to);

template <>
void appendLiteral<char>(std::string& out, const char* from, const char* to) {
    out.append(from, static_cast<std::size_t>(to - from));
}

template <>
void appendLiteral<wchar_t>(std::string& out, const wchar_t* from, const wchar_t* to) {
    std::wstring piece(from, static_cast<std::size_t>(to - from));
    appendUtf8(out, piece.c_str());
}

template <typename CharT>
void appendFormattedImpl(std::string& out, const CharT* format, va_list args) {
    if (format == nullptr) {
        return;
    }
    // A copy that the helpers can advance through references on every ABI.
    va_list ap;
    va_copy(ap, args);
    const CharT* p = format;
    while (*p != CharT('\0')) {
        const CharT* literalEnd = p;
        while (*literalEnd != CharT('\0') && *literalEnd != CharT('%')) {
            ++literalEnd;
        }
        appendLiteral(out, p, literalEnd);
        p = literalEnd;
        if (*p == CharT('\0')) {
            break;
        }
        const CharT* specStart = p;
        ++p;
        Directive directive;
        if (!parseDirective(p, directive, ap) || !formatConversion(out, directive, ap)) {
            appendLiteral(out, specStart, p);
        }
    }
    va_end(ap);
}

}  // namespace

void appendUtf8(std::string& out, char32_t cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
        cp = REPLACEMENT_CHARACTER;
    }
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendUtf8(std::string& out, const wchar_t* text) {
    if (text == nullptr) {
        return;
    }
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        char32_t unit = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(*p));
        // 16-bit wide strings (Windows) carry characters beyond U+FFFF as
        // surrogate pairs.
        if (sizeof(wchar_t) == 2 && unit >= 0xD800 && unit <= 0xDBFF) {
            char32_t next = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(p[1]));
            if (next >= 0xDC00 && next <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                ++p;
            }
        }
        appendUtf8(out, unit);
    }
}

void appendFormatted(std::string& out, const wchar_t* format, va_list args) {
    appendFormattedImpl(out, format, args);
}

void appendFormatted(std::string& out, const char* format, va_list args) {
    appendFormattedImpl(out, format, args);
}

}  // namespace textformat
