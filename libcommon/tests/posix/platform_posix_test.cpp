// Linux-only behaviours of the platform layer: environment variables, /proc,
// the password database. Portable behaviours are in ../platform_test.cpp.
#include "platform.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

// Sets or clears one environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name)) {
            previous = old;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (previous) {
            ::setenv(name, previous->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

private:
    const char* name;
    std::optional<std::string> previous;
};

TEST(PlatformPosix, ConfigurationFileIsEtcZentrikTxtWithoutOverride) {
    ScopedEnv conf("ZENTRIK_CONF", nullptr);
    EXPECT_EQ("/etc/zentrik.txt", platform::configurationFilePath());
}

TEST(PlatformPosix, EmptyOverrideIsIgnored) {
    ScopedEnv conf("ZENTRIK_CONF", "");
    EXPECT_EQ("/etc/zentrik.txt", platform::configurationFilePath());
}

TEST(PlatformPosix, NonEmptyOverrideNamesTheConfigurationFile) {
    ScopedEnv conf("ZENTRIK_CONF", "/tmp/some/other.txt");
    EXPECT_EQ("/tmp/some/other.txt", platform::configurationFilePath());
}

TEST(PlatformPosix, HomeComesFromHomeVariable) {
    ScopedEnv home("HOME", "/home/ferrix-user");
    std::string out;
    ASSERT_TRUE(platform::homeDirectory(out));
    EXPECT_EQ("/home/ferrix-user", out);
}

TEST(PlatformPosix, HomeFallsBackToPasswordDatabase) {
    struct passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(nullptr, entry);
    const std::string expected = entry->pw_dir;
    ScopedEnv home("HOME", nullptr);
    std::string out;
    ASSERT_TRUE(platform::homeDirectory(out));
    EXPECT_EQ(expected, out);
}

TEST(PlatformPosix, ThreadIdIsKernelThreadId) {
    EXPECT_EQ(static_cast<platform::ThreadId>(::gettid()), platform::currentThreadId());
}

TEST(PlatformPosix, ExecutableNameComesFromProcSelfExe) {
    EXPECT_EQ("libcommon_posix_tests", platform::executableBaseName());
}

TEST(PlatformPosix, SeparatorIsSlash) { EXPECT_EQ('/', platform::pathSeparator()); }

TEST(PlatformPosix, CreatedDirectoriesArePrivate) {
    char pattern[] = "/tmp/zentrik-posix-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    const std::string dir = std::string(pattern) + "/cache";
    ASSERT_TRUE(platform::createDirectories(dir));
    struct stat info {};
    ASSERT_EQ(0, ::stat(dir.c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777u);
    ::rmdir(dir.c_str());
    ::rmdir(pattern);
}

struct LanguageCase {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    bool czech;
};

class PlatformLanguage : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(PlatformLanguage, FirstSetVariableDecides) {
    const LanguageCase& c = GetParam();
    ScopedEnv a("LC_ALL", c.lcAll);
    ScopedEnv b("LC_MESSAGES", c.lcMessages);
    ScopedEnv d("LANG", c.lang);
    EXPECT_EQ(c.czech, platform::userInterfaceLanguageIsCzech());
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlatformLanguage,
    ::testing::Values(LanguageCase{nullptr, nullptr, nullptr, false},
                      LanguageCase{nullptr, nullptr, "cs_CZ.UTF-8", true},
                      LanguageCase{nullptr, nullptr, "en_US.UTF-8", false},
                      LanguageCase{nullptr, "cs_CZ", "en_US.UTF-8", true},
                      LanguageCase{"en_GB.UTF-8", "cs_CZ", "cs_CZ", false},
                      LanguageCase{"cs", nullptr, "en_US", true},
                      LanguageCase{"", "", "cs_CZ", true},
                      LanguageCase{nullptr, nullptr, "C", false},
                      LanguageCase{nullptr, nullptr, "c", false}));

}  // namespace
