// Behaviours of the platform layer that hold on every platform.
#include "platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

namespace {

std::string temporaryRoot() {
    const std::string base = ::testing::TempDir();
    std::string root = base;
    if (!root.empty() && root.back() != platform::pathSeparator()) {
        root.push_back(platform::pathSeparator());
    }
    unsigned char noise[6];
    EXPECT_TRUE(platform::randomBytes(noise, sizeof noise));
    root += "zentrik-platform-";
    for (unsigned char b : noise) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        root += hex;
    }
    return root;
}

TEST(Platform, FileTimeCountsHundredNanosecondsSince1601) {
    const std::uint64_t before = static_cast<std::uint64_t>(std::time(nullptr));
    const std::uint64_t fileTime = platform::systemTimeAsFileTime();
    const std::uint64_t after = static_cast<std::uint64_t>(std::time(nullptr));
    const std::uint64_t seconds = fileTime / 10000000ULL - 11644473600ULL;
    // time() may read a coarser clock that has not yet turned the second the
    // precise one already has (and the other way round on Windows): allow one
    // second either way. A wrong epoch would be off by centuries.
    EXPECT_LE(before, seconds + 1);
    EXPECT_GE(after + 1, seconds);
}

TEST(Platform, FileTimeAdvances) {
    const std::uint64_t first = platform::systemTimeAsFileTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_LT(first, platform::systemTimeAsFileTime());
}

TEST(Platform, LocalTimeFieldsAreInRange) {
    const platform::LocalTime t = platform::localTime();
    EXPECT_GE(t.year, 2020);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_GE(t.day, 1);
    EXPECT_LE(t.day, 31);
    EXPECT_GE(t.hour, 0);
    EXPECT_LE(t.hour, 23);
    EXPECT_GE(t.minute, 0);
    EXPECT_LE(t.minute, 59);
    EXPECT_GE(t.second, 0);
    EXPECT_LE(t.second, 60);
    EXPECT_GE(t.milliseconds, 0);
    EXPECT_LE(t.milliseconds, 999);
}

TEST(Platform, ThreadIdsDifferBetweenThreads) {
    const platform::ThreadId mine = platform::currentThreadId();
    platform::ThreadId other = mine;
    std::thread t([&] { other = platform::currentThreadId(); });
    t.join();
    EXPECT_NE(mine, other);
    EXPECT_EQ(mine, platform::currentThreadId());
}

TEST(Platform, ExecutableNameHasNoDirectoryNorExtension) {
    const std::string name = platform::executableBaseName();
    EXPECT_EQ("libcommon_tests", name);
}

TEST(Platform, MutexIsRecursiveForItsOwner) {
    platform::Mutex mutex;
    int counter = 0;
    {
        platform::MutexLock outer(mutex);
        platform::MutexLock inner(mutex);
        ++counter;
    }
    std::thread t([&] {
        platform::MutexLock lock(mutex);
        ++counter;
    });
    t.join();
    EXPECT_EQ(2, counter);
}

TEST(Platform, MutexExcludesOtherThreads) {
    platform::Mutex mutex;
    long total = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            platform::MutexLock lock(mutex);
            total = total + 1;
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(40000, total);
}

TEST(Platform, CreatesNestedDirectoriesAndAcceptsExistingOnes) {
    const char sep = platform::pathSeparator();
    const std::string root = temporaryRoot();
    const std::string nested = root + sep + "a" + sep + "b" + sep + "c";
    EXPECT_TRUE(platform::createDirectories(nested));
    EXPECT_TRUE(platform::createDirectories(nested));
    EXPECT_TRUE(platform::createDirectories(nested + sep));
    // A file where a directory should go cannot become one.
    const std::string file = root + sep + "file";
    std::FILE* f = platform::openSharedFile(file, "wb");
    ASSERT_NE(nullptr, f);
    std::fclose(f);
    EXPECT_FALSE(platform::createDirectories(file));
    EXPECT_FALSE(platform::createDirectories(file + sep + "below"));
    EXPECT_FALSE(platform::createDirectories(""));
    EXPECT_TRUE(platform::deleteFile(file));
    std::filesystem::remove_all(root);
}

TEST(Platform, SharedFileCanBeOpenedTwiceAndDeleted) {
    const std::string root = temporaryRoot();
    ASSERT_TRUE(platform::createDirectories(root));
    const std::string path = root + platform::pathSeparator() + "shared.bin";
    std::FILE* writer = platform::openSharedFile(path, "ab");
    ASSERT_NE(nullptr, writer);
    std::FILE* second = platform::openSharedFile(path, "ab");
    ASSERT_NE(nullptr, second);
    std::fputs("one", writer);
    std::fclose(writer);
    std::fputs("two", second);
    std::fclose(second);
    std::FILE* reader = platform::openSharedFile(path, "rb");
    ASSERT_NE(nullptr, reader);
    char text[16] = {};
    std::size_t got = std::fread(text, 1, sizeof text - 1, reader);
    std::fclose(reader);
    EXPECT_EQ(std::string("onetwo"), std::string(text, got));
    EXPECT_TRUE(platform::deleteFile(path));
    EXPECT_FALSE(platform::deleteFile(path));
    EXPECT_EQ(nullptr, platform::openSharedFile(path, "rb"));
    std::filesystem::remove_all(root);
}

TEST(Platform, RandomBytesFillTheWholeBuffer) {
    unsigned char first[64] = {};
    unsigned char second[64] = {};
    ASSERT_TRUE(platform::randomBytes(first, sizeof first));
    ASSERT_TRUE(platform::randomBytes(second, sizeof second));
    EXPECT_NE(0, std::memcmp(first, second, sizeof first));
    // A 64-byte all-zero tail would mean part of the buffer was never written.
    unsigned char zeros[16] = {};
    EXPECT_NE(0, std::memcmp(first + 48, zeros, sizeof zeros));
    EXPECT_TRUE(platform::randomBytes(nullptr, 0));
    EXPECT_FALSE(platform::randomBytes(nullptr, 4));
}

}  // namespace
