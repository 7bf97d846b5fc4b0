#include "fileutils.h"

#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "vxexception.h"

namespace {

// Cases are written with '/' and turned into the platform's separator.
std::string native(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = platform::pathSeparator();
        }
    }
    return path;
}

struct JoinCase {
    const char* a;
    const char* b;
    const char* joined;
};

class JoinPath : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPath, JoinsWithExactlyOneSeparator) {
    const JoinCase& c = GetParam();
    EXPECT_EQ(native(c.joined), joinPath(native(c.a), native(c.b)));
}

INSTANTIATE_TEST_SUITE_P(Table, JoinPath,
                         ::testing::Values(JoinCase{"", "", "."},
                                           JoinCase{"", "b", "b"},
                                           JoinCase{"", "/b/", "b"},
                                           JoinCase{"", "//b//", "/b/"},
                                           JoinCase{"a", "", "a"},
                                           JoinCase{"a/", "", "a/"},
                                           JoinCase{"a", "b", "a/b"},
                                           JoinCase{"a/", "b", "a/b"},
                                           JoinCase{"a", "/b", "a/b"},
                                           JoinCase{"a/", "/b/", "a/b"},
                                           JoinCase{"/home/user", ".amwcache", "/home/user/.amwcache"},
                                           JoinCase{"a", "/", "a/"},
                                           JoinCase{"a", "b/c", "a/b/c"}));

TEST(FileUtils, TrailingSeparatorIsAddedOnce) {
    EXPECT_EQ(native("a/"), withTrailingSeparator("a"));
    EXPECT_EQ(native("a/"), withTrailingSeparator(native("a/")));
    EXPECT_EQ("", withTrailingSeparator(""));
}

TEST(FileUtils, HomeDirectoryIsTheProfileFolder) {
    std::string expected;
    ASSERT_TRUE(platform::homeDirectory(expected));
    std::string home = "unchanged";
    EXPECT_TRUE(getHomeDirectory(&home));
    EXPECT_EQ(expected, home);
}

TEST(FileUtils, NullHomeDirectoryOutputThrows) {
    try {
        getHomeDirectory(nullptr);
        FAIL() << "no exception";
    } catch (const InvalidArgumentException& e) {
        EXPECT_EQ(0, std::string(e.what()).find(
                         "Null pointer exception <homeDir> [getHomeDirectory() fileutils.cpp:"))
            << e.what();
    }
}

}  // namespace
