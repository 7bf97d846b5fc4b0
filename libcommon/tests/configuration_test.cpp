#include "configuration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "fileutils.h"
#include "platform.h"
#include "properties.h"

namespace fs = std::filesystem;

namespace {

// A configuration file with the given text, removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& text) {
        unsigned char noise[8];
        EXPECT_TRUE(platform::randomBytes(noise, sizeof noise));
        std::string name = "zentrik-conf-";
        for (unsigned char b : noise) {
            name += static_cast<char>('a' + b % 26);
        }
        path = (fs::temp_directory_path() / name).string();
        std::ofstream out(path, std::ios::binary);
        out << text;
    }
    ~TempFile() { fs::remove(path); }
    std::string path;
};

std::string sep() { return std::string(1, platform::pathSeparator()); }

std::string defaultCacheDirectory() {
    std::string home;
    return getHomeDirectory(&home) ? withTrailingSeparator(joinPath(home, ".amwcache")) : "";
}

TEST(Configuration, NoFileGivesDefaults) {
    const Configuration c((fs::temp_directory_path() / "zentrik-no-such-file.txt").string());
    EXPECT_FALSE(c.logEnabled);
    EXPECT_EQ("", c.logPath);
    EXPECT_EQ(6u, c.slotCount);
    EXPECT_EQ(50u, c.cardHoldMs);
    EXPECT_FALSE(c.disablePinPad);
    EXPECT_FALSE(c.disablePinPadDialog);
    EXPECT_EQ(!platform::userInterfaceLanguageIsCzech(), c.useEnglish);
    EXPECT_EQ(defaultCacheDirectory(), c.cacheDirectory);
    EXPECT_NE("", c.cacheDirectory);
    EXPECT_EQ(sep() + ".amwcache" + sep(),
              c.cacheDirectory.substr(c.cacheDirectory.size() - 11));
}

struct Expected {
    std::optional<bool> logEnabled = std::nullopt;
    std::optional<std::string> logPath = std::nullopt;
    std::optional<unsigned> slotCount = std::nullopt;
    std::optional<bool> useEnglish = std::nullopt;
    std::optional<bool> disablePinPad = std::nullopt;
    std::optional<bool> disablePinPadDialog = std::nullopt;
    std::optional<std::string> cacheDirectory = std::nullopt;
    std::optional<unsigned> cardHoldMs = std::nullopt;
};

struct FileCase {
    const char* name;
    std::string text;
    Expected expected;  // unset fields keep their defaults
};

class ConfigurationFile : public ::testing::TestWithParam<FileCase> {};

TEST_P(ConfigurationFile, ReadsKeysAsDocumented) {
    const FileCase& c = GetParam();
    TempFile file(c.text);
    const Configuration defaults("");
    const Configuration actual(file.path);
    const Expected& e = c.expected;
    EXPECT_EQ(e.logEnabled.value_or(defaults.logEnabled), actual.logEnabled);
    EXPECT_EQ(e.logPath.value_or(defaults.logPath), actual.logPath);
    EXPECT_EQ(e.slotCount.value_or(defaults.slotCount), actual.slotCount);
    EXPECT_EQ(e.useEnglish.value_or(defaults.useEnglish), actual.useEnglish);
    EXPECT_EQ(e.disablePinPad.value_or(defaults.disablePinPad), actual.disablePinPad);
    EXPECT_EQ(e.disablePinPadDialog.value_or(defaults.disablePinPadDialog), actual.disablePinPadDialog);
    EXPECT_EQ(e.cacheDirectory.value_or(defaults.cacheDirectory), actual.cacheDirectory);
    EXPECT_EQ(e.cardHoldMs.value_or(defaults.cardHoldMs), actual.cardHoldMs);
}

const std::string S(1, platform::pathSeparator());

INSTANTIATE_TEST_SUITE_P(
    Table, ConfigurationFile,
    ::testing::Values(
        FileCase{"blanks_around_key_and_value", "loglevel = 1 ", {.logEnabled = true}},
        FileCase{"tabs_and_crlf", "\tloglevel\t=\t7\t\r\n", {.logEnabled = true}},
        FileCase{"negative_level_turns_on", "loglevel=-2\n", {.logEnabled = true}},
        FileCase{"word_reads_as_zero", "loglevel=on\n", {.logEnabled = false}},
        FileCase{"number_then_text", "loglevel=12abc\n", {.logEnabled = true}},
        FileCase{"last_occurrence_wins", "loglevel=1\nloglevel=0\n", {.logEnabled = false}},
        FileCase{"key_is_case_sensitive", "LogLevel=1\n", {.logEnabled = false}},
        FileCase{"empty_key_ignored", "=1\n", {}},
        FileCase{"empty_value_ignored", "loglevel=1\nloglevel=  \n", {.logEnabled = true}},
        FileCase{"no_equals_ignored", "loglevel 1\n", {.logEnabled = false}},
        FileCase{"split_at_first_equals", "logpath=a=b\n", {.logPath = "a=b" + S}},
        FileCase{"logpath_without_separator", "logpath=" + S + "var" + S + "log\n",
                 {.logPath = S + "var" + S + "log" + S}},
        FileCase{"logpath_with_separator", "logpath=" + S + "var" + S + "log" + S + "\n",
                 {.logPath = S + "var" + S + "log" + S}},
        FileCase{"slots_two", "pkcs11.slots=2\n", {.slotCount = 2u}},
        FileCase{"cardhold_zero_holds_nothing", "cardhold=0\n", {.cardHoldMs = 0u}},
        FileCase{"cardhold_in_milliseconds", "cardhold=120\n", {.cardHoldMs = 120u}},
        FileCase{"cardhold_negative_keeps_the_default", "cardhold=-5\n", {.cardHoldMs = 50u}},
        FileCase{"cardhold_above_the_limit_saturates", "cardhold=60000\n", {.cardHoldMs = 1000u}},
        FileCase{"slots_zero_keeps_six", "pkcs11.slots=0\n", {.slotCount = 6u}},
        FileCase{"slots_negative_keeps_six", "pkcs11.slots=-3\n", {.slotCount = 6u}},
        FileCase{"slots_at_the_limit", "pkcs11.slots=1024\n", {.slotCount = 1024u}},
        FileCase{"slots_above_the_limit_saturate", "pkcs11.slots=1025\n", {.slotCount = 1024u}},
        FileCase{"slots_huge_saturate", "pkcs11.slots=99999999999999999999\n", {.slotCount = 1024u}},
        FileCase{"locale_cs", "locale=cs\n", {.useEnglish = false}},
        FileCase{"locale_en", "locale=cs\nlocale=en\n", {.useEnglish = true}},
        FileCase{"locale_upper_case_keeps_default", "locale=EN\n", {}},
        FileCase{"locale_other_keeps_default", "locale=de\n", {}},
        FileCase{"pinpad_switches", "disablepinpad=1\ndisablepinpaddlg=3\n",
                 {.disablePinPad = true, .disablePinPadDialog = true}},
        FileCase{"cache_directory", "cache=" + S + "tmp" + S + "c\n", {.cacheDirectory = S + "tmp" + S + "c" + S}},
        FileCase{"empty_cache_turns_the_files_off", "cache =\n", {.cacheDirectory = ""}},
        FileCase{"cache_value_wins_over_an_empty_line", "cache=\ncache=C\n", {.cacheDirectory = "C" + S}},
        FileCase{"unknown_lines_ignored", "[section]\n# comment = x\nhello\n\n", {}},
        FileCase{"long_line_read_in_pieces", std::string(1023, 'x') + "loglevel=1\n", {.logEnabled = true}},
        FileCase{"all_keys",
                 "loglevel=1\nlogpath=L\nlocale=cs\ndisablepinpad=1\ndisablepinpaddlg=1\npkcs11.slots=9\ncache=C\n",
                 {true, "L" + S, 9u, false, true, true, "C" + S}}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

TEST(Properties, MissingFileLoadsNothing) {
    Properties p;
    EXPECT_FALSE(p.load((fs::temp_directory_path() / "zentrik-missing.txt").string()));
    EXPECT_EQ(0u, p.size());
}

TEST(Properties, GetStringAndGetIntReportPresence) {
    Properties p;
    p.parseLine("name = value with blanks inside \n");
    p.parseLine("number =   42x");
    std::string text = "stale";
    EXPECT_TRUE(p.getString("name", text));
    EXPECT_EQ("value with blanks inside", text);
    EXPECT_FALSE(p.getString("other", text));
    EXPECT_EQ("", text);
    long number = 7;
    EXPECT_TRUE(p.getInt("number", number));
    EXPECT_EQ(42, number);
    EXPECT_TRUE(p.getInt("name", number));
    EXPECT_EQ(0, number);
    number = 7;
    EXPECT_FALSE(p.getInt("other", number));
    EXPECT_EQ(0, number);
}

TEST(Properties, OverlongLineBecomesSeveralPieces) {
    // 1023 characters make the first piece; the rest of the line is a line of
    // its own.
    TempFile file("k=" + std::string(1021, 'v') + "tail=end\n");
    Properties p;
    ASSERT_TRUE(p.load(file.path));
    std::string value;
    EXPECT_TRUE(p.getString("k", value));
    EXPECT_EQ(std::string(1021, 'v'), value);
    EXPECT_TRUE(p.getString("tail", value));
    EXPECT_EQ("end", value);
}

}  // namespace
