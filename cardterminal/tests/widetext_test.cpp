#include <gtest/gtest.h>

#include "ctl/widetext.h"

namespace ctl {
namespace {

struct RoundTrip {
    std::string utf8;
    std::wstring wide;
};

// GoogleTest would otherwise print the struct's raw bytes, padding included.
void PrintTo(const RoundTrip& trip, std::ostream* out) { *out << '"' << trip.utf8 << '"'; }

class WideTextRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(WideTextRoundTrip, ConvertsBothWays) {
    EXPECT_EQ(GetParam().wide, WideText::fromUtf8(GetParam().utf8));
    EXPECT_EQ(GetParam().utf8, WideText::toUtf8(GetParam().wide));
}

INSTANTIATE_TEST_SUITE_P(
    Names, WideTextRoundTrip,
    ::testing::Values(RoundTrip{"", L""},
                      RoundTrip{"Virtual PCD 00 00", L"Virtual PCD 00 00"},
                      RoundTrip{"\\\\?PnP?\\Notification", L"\\\\?PnP?\\Notification"},
                      RoundTrip{"\xC4\x8Dte\xC4\x8Dka \xE2\x82\xAC", L"\u010Dte\u010Dka \u20AC"},
                      RoundTrip{"\xF0\x9F\x94\x91", L"\U0001F511"}));

TEST(WideText, MalformedUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(std::wstring(L"a\uFFFDb"), WideText::fromUtf8("a\xFF" "b"));
    EXPECT_EQ(std::wstring(L"\uFFFD\uFFFD"), WideText::fromUtf8("\xE2\x82"));  // truncated
    EXPECT_EQ(std::wstring(L"\uFFFD\uFFFD"), WideText::fromUtf8("\xC0\xAF"));  // overlong
    EXPECT_EQ(std::wstring(L"\uFFFD\uFFFD\uFFFD"), WideText::fromUtf8("\xED\xA0\x80"));  // surrogate
}

}  // namespace
}  // namespace ctl
