#include "textformat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

std::string wideFormat(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out;
    textformat::appendFormatted(out, format, args);
    va_end(args);
    return out;
}

std::string narrowFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out;
    textformat::appendFormatted(out, format, args);
    va_end(args);
    return out;
}

std::string cFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

TEST(TextFormat, IntegersMatchTheCLibrary) {
    EXPECT_EQ(cFormat("%d|%5d|%-5d|%05d|%+d|% d", -42, 42, 42, 42, 42, 42),
              wideFormat(L"%d|%5d|%-5d|%05d|%+d|% d", -42, 42, 42, 42, 42, 42));
    EXPECT_EQ(cFormat("%u|%x|%X|%08x|%#x|%o", 4000000000u, 0xBEEFu, 0xBEEFu, 0x54u, 0x54u, 8u),
              wideFormat(L"%u|%x|%X|%08x|%#x|%o", 4000000000u, 0xBEEFu, 0xBEEFu, 0x54u, 0x54u, 8u));
    EXPECT_EQ(cFormat("%ld|%lu|%lld|%llX|%zu|%hhd|%hu", LONG_MIN, ULONG_MAX, LLONG_MIN, ULLONG_MAX,
                      static_cast<std::size_t>(12345), 300, 70000),
              wideFormat(L"%ld|%lu|%lld|%llX|%zu|%hhd|%hu", LONG_MIN, ULONG_MAX, LLONG_MIN, ULLONG_MAX,
                         static_cast<std::size_t>(12345), 300, 70000));
    EXPECT_EQ(cFormat("%*d|%-*d|%.3d|%.*d", 6, 1, 4, 2, 7, 5, 9),
              wideFormat(L"%*d|%-*d|%.3d|%.*d", 6, 1, 4, 2, 7, 5, 9));
    EXPECT_EQ("00000054", wideFormat(L"%08x", 84u));
}

TEST(TextFormat, FloatsAndPointersMatchTheCLibrary) {
    int object = 0;
    EXPECT_EQ(cFormat("%f|%.2f|%e|%g|%p", 1.5, 2.345, 1e10, 0.0001, static_cast<void*>(&object)),
              wideFormat(L"%f|%.2f|%e|%g|%p", 1.5, 2.345, 1e10, 0.0001, static_cast<void*>(&object)));
}

struct StringCase {
    const char* name;
    std::string expected;
    std::string actual;
};

class TextFormatStrings : public ::testing::TestWithParam<StringCase> {};

TEST_P(TextFormatStrings, NarrowAndWideArePinnedDown) {
    EXPECT_EQ(GetParam().expected, GetParam().actual);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TextFormatStrings,
    ::testing::Values(
        StringCase{"narrow_s", "abc", wideFormat(L"%s", "abc")},
        StringCase{"capital_S_is_narrow", "abc", wideFormat(L"%S", "abc")},
        StringCase{"wide_ls", "abc", wideFormat(L"%ls", L"abc")},
        StringCase{"wide_ws", "abc", wideFormat(L"%ws", L"abc")},
        StringCase{"narrow_utf8_passes_through", "\xC5\xBElu\xC5\xA5", wideFormat(L"%s", "\xC5\xBElu\xC5\xA5")},
        StringCase{"narrow_invalid_utf8_kept", "a\xFF" "b", wideFormat(L"%s", "a\xFF" "b")},
        StringCase{"wide_encoded_utf8", "\xC5\xBElu\xC5\xA5 \xE2\x82\xAC \xF0\x9F\x94\x91",
                   wideFormat(L"%ls", L"\u017Elu\u0165 \u20AC \U0001F511")},
        StringCase{"literal_text_utf8", "\xC4\x8D=1", wideFormat(L"\u010D=%d", 1)},
        StringCase{"width_and_precision", "[  abc][ab   ][  xy]", wideFormat(L"[%5s][%-5.2s][%4.2ls]", "abc", "abc", L"xyz")},
        StringCase{"null_strings", "(null) (null)", wideFormat(L"%s %ls", static_cast<const char*>(nullptr),
                                                               static_cast<const wchar_t*>(nullptr))},
        StringCase{"chars", "a \xC4\x8D \xC4\x8D", wideFormat(L"%c %lc %C", 'a', static_cast<wint_t>(0x10D), static_cast<wint_t>(0x10D))},
        StringCase{"percent", "100%", wideFormat(L"%d%%", 100)},
        StringCase{"unknown_conversion_kept", "%k 5", wideFormat(L"%k %d", 5)},
        StringCase{"trailing_percent_kept", "x%", wideFormat(L"x%")},
        StringCase{"incomplete_spec_kept", "x%-5", wideFormat(L"x%-5")},
        StringCase{"n_writes_nothing", "ab", [] {
                       int sink = 77;
                       std::string s = wideFormat(L"a%nb", &sink);
                       return sink == 77 ? s : std::string("written");
                   }()},
        StringCase{"narrow_format_ls", "INTERNAL caf\xC3\xA9", narrowFormat("INTERNAL %ls", L"caf\u00E9")},
        StringCase{"narrow_format_numbers", "type=0x12 [18]", narrowFormat("type=0x%X [%d]", 0x12u, 18)}),
    [](const ::testing::TestParamInfo<StringCase>& info) { return std::string(info.param.name); });

TEST(TextFormat, LongOutputIsNotCut) {
    const std::string expected(5000, 'q');
    EXPECT_EQ(expected, wideFormat(L"%s", expected.c_str()));
    EXPECT_EQ(std::string(299, ' ') + "7", wideFormat(L"%300d", 7));
}

TEST(TextFormat, NullFormatAppendsNothing) {
    EXPECT_EQ("", wideFormat(nullptr));
    EXPECT_EQ("", narrowFormat(nullptr));
}

TEST(TextFormat, Utf8EncodingOfSingleCharacters) {
    struct Case {
        char32_t cp;
        std::string utf8;
    };
    const Case cases[] = {{0x41, "A"},
                          {0x7F, "\x7F"},
                          {0x80, "\xC2\x80"},
                          {0x7FF, "\xDF\xBF"},
                          {0x800, "\xE0\xA0\x80"},
                          {0xFFFF, "\xEF\xBF\xBF"},
                          {0x10000, "\xF0\x90\x80\x80"},
                          {0x10FFFF, "\xF4\x8F\xBF\xBF"},
                          {0xD800, "\xEF\xBF\xBD"},
                          {0x110000, "\xEF\xBF\xBD"}};
    for (const Case& c : cases) {
        std::string out;
        textformat::appendUtf8(out, c.cp);
        EXPECT_EQ(c.utf8, out) << std::hex << static_cast<unsigned>(c.cp);
    }
}

}  // namespace
