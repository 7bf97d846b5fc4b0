// The Windows platform layer against the real Windows API (run under Wine).
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t FILETIME_UNIX_EPOCH = 116444736000000000ULL;
constexpr std::uint64_t FILETIME_TICKS_PER_SECOND = 10000000ULL;

bool isDirectory(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string readWholeFile(const std::string& path) {
    std::string content;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return content;
    }
    char chunk[256];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        content.append(chunk, n);
    }
    std::fclose(file);
    return content;
}

// A fresh directory under the temporary folder, removed with its contents
// (files and directories this fixture's tests create) afterwards.
class ScratchDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH + 1] = {};
        DWORD length = GetTempPathA(MAX_PATH, temp);
        ASSERT_GT(length, 0u);
        root = std::string(temp, length) + "zentrik-platform-" +
               std::to_string(GetCurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr) != FALSE) << root;
    }

    void TearDown() override { removeTree(root); }

    static void removeTree(const std::string& path) {
        WIN32_FIND_DATAA entry;
        HANDLE search = FindFirstFileA((path + "\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                std::string name = entry.cFileName;
                if (name == "." || name == "..") {
                    continue;
                }
                std::string child = path + "\\" + name;
                if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    removeTree(child);
                } else {
                    DeleteFileA(child.c_str());
                }
            } while (FindNextFileA(search, &entry));
            FindClose(search);
        }
        RemoveDirectoryA(path.c_str());
    }

    std::string root;
};

// Sets or clears an environment variable for one test and restores it after.
class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, const char* value) : name(name) {
        char old[4096];
        DWORD length = GetEnvironmentVariableA(name, old, sizeof old);
        hadValue = length > 0 && length < sizeof old;
        if (hadValue) {
            oldValue.assign(old, length);
        }
        SetEnvironmentVariableA(name, value);
    }
    ~EnvironmentVariable() { SetEnvironmentVariableA(name, hadValue ? oldValue.c_str() : nullptr); }

private:
    const char* name;
    bool hadValue = false;
    std::string oldValue;
};

TEST(WindowsPlatform, PathSeparatorIsBackslash) { EXPECT_EQ('\\', platform::pathSeparator()); }

TEST(WindowsPlatform, ConfigurationFileLivesInWindowsDirectory) {
    EnvironmentVariable cleared("ZENTRIK_CONF", nullptr);
    char windowsDirectory[MAX_PATH + 1] = {};
    UINT length = GetWindowsDirectoryA(windowsDirectory, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::string expected(windowsDirectory, length);
    if (expected.back() != '\\') {
        expected += '\\';
    }
    expected += "zentrik.txt";
    EXPECT_EQ(expected, platform::configurationFilePath());
}

// An elevated process inherits its user's environment: no variable may move
// the configuration (and with it the trace and the cache) elsewhere.
TEST(WindowsPlatform, ZentrikConfDoesNotMoveTheConfigurationFile) {
    std::string inWindowsDirectory;
    {
        EnvironmentVariable cleared("ZENTRIK_CONF", nullptr);
        inWindowsDirectory = platform::configurationFilePath();
    }
    for (const char* value : {"Z:\\tmp\\bench\\zentrik-test.txt", ""}) {
        EnvironmentVariable set("ZENTRIK_CONF", value);
        EXPECT_EQ(inWindowsDirectory, platform::configurationFilePath()) << value;
    }
}

TEST(WindowsPlatform, TestsNameTheirConfigurationFileThroughTheTestSetting) {
    const std::string inWindowsDirectory = platform::configurationFilePath();
    platform::useConfigurationFileForTests("Z:\\tmp\\bench\\zentrik-test.txt");
    EXPECT_EQ("Z:\\tmp\\bench\\zentrik-test.txt", platform::configurationFilePath());
    platform::useConfigurationFileForTests("");
    EXPECT_EQ(inWindowsDirectory, platform::configurationFilePath());
}

TEST(WindowsPlatform, ExecutableBaseNameHasNeitherDirectoryNorExtension) {
    EXPECT_EQ("windows_platform_tests", platform::executableBaseName());
}

TEST(WindowsPlatform, HomeDirectoryIsAnExistingProfileFolder) {
    std::string home;
    ASSERT_TRUE(platform::homeDirectory(home));
    EXPECT_TRUE(isDirectory(home)) << home;
    char profile[MAX_PATH + 1] = {};
    DWORD length = GetEnvironmentVariableA("USERPROFILE", profile, sizeof profile);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(0, lstrcmpiA(profile, home.c_str())) << profile << " vs " << home;
}

TEST(WindowsPlatform, SystemTimeAsFileTimeCountsFrom1601In100NanosecondUnits) {
    std::uint64_t before =
        static_cast<std::uint64_t>(std::time(nullptr)) * FILETIME_TICKS_PER_SECOND +
        FILETIME_UNIX_EPOCH;
    std::uint64_t now = platform::systemTimeAsFileTime();
    std::uint64_t after =
        static_cast<std::uint64_t>(std::time(nullptr) + 1) * FILETIME_TICKS_PER_SECOND +
        FILETIME_UNIX_EPOCH;
    EXPECT_LE(before, now);
    EXPECT_GE(after, now);
}

TEST(WindowsPlatform, LocalTimeAgreesWithTheRuntimeClock) {
    std::time_t unixNow = std::time(nullptr);
    platform::LocalTime now = platform::localTime();
    std::tm* expected = std::localtime(&unixNow);
    ASSERT_NE(nullptr, expected);
    EXPECT_EQ(expected->tm_year + 1900, now.year);
    EXPECT_EQ(expected->tm_mon + 1, now.month);
    EXPECT_EQ(expected->tm_mday, now.day);
    EXPECT_EQ(expected->tm_hour, now.hour);
    EXPECT_LE(std::abs(expected->tm_min * 60 + expected->tm_sec - (now.minute * 60 + now.second)),
              2);
    EXPECT_GE(now.milliseconds, 0);
    EXPECT_LE(now.milliseconds, 999);
}

TEST(WindowsPlatform, ThreadIdsDifferBetweenThreads) {
    platform::ThreadId mine = platform::currentThreadId();
    EXPECT_EQ(static_cast<platform::ThreadId>(GetCurrentThreadId()), mine);
    platform::ThreadId other = mine;
    std::thread([&other] { other = platform::currentThreadId(); }).join();
    EXPECT_NE(mine, other);
}

TEST(WindowsPlatform, MutexIsRecursiveForItsOwner) {
    platform::Mutex mutex;
    mutex.lock();
    mutex.lock();
    mutex.unlock();
    // Still owned once: another thread must not get in yet.
    std::atomic<bool> entered{false};
    std::thread other([&] {
        platform::MutexLock guard(mutex);
        entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(entered.load());
    mutex.unlock();
    other.join();
    EXPECT_TRUE(entered.load());
}

TEST(WindowsPlatform, MutexSerialisesThreads) {
    platform::Mutex mutex;
    int counter = 0;  // deliberately not atomic: only the mutex protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                platform::MutexLock guard(mutex);
                int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(8000, counter);
}

TEST_F(ScratchDirectory, CreateDirectoriesMakesMissingParents) {
    std::string nested = root + "\\a\\b\\c";
    EXPECT_TRUE(platform::createDirectories(nested));
    EXPECT_TRUE(isDirectory(root + "\\a\\b"));
    EXPECT_TRUE(isDirectory(nested));
}

TEST_F(ScratchDirectory, CreateDirectoriesAcceptsTrailingAndForwardSeparators) {
    EXPECT_TRUE(platform::createDirectories(root + "\\x\\y\\"));
    EXPECT_TRUE(isDirectory(root + "\\x\\y"));
    EXPECT_TRUE(platform::createDirectories(root + "/p/q"));
    EXPECT_TRUE(isDirectory(root + "\\p\\q"));
}

TEST_F(ScratchDirectory, CreateDirectoriesOnExistingDirectorySucceeds) {
    EXPECT_TRUE(platform::createDirectories(root));
}

TEST_F(ScratchDirectory, CreateDirectoriesFailsWhereAFileIsInTheWay) {
    std::string file = root + "\\plain";
    std::FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(nullptr, f);
    std::fclose(f);
    EXPECT_FALSE(platform::createDirectories(file));
    EXPECT_FALSE(platform::createDirectories(file + "\\below"));
}

TEST(WindowsPlatform, CreateDirectoriesRefusesEmptyPath) {
    EXPECT_FALSE(platform::createDirectories(""));
}

TEST_F(ScratchDirectory, SharedFileAllowsTwoWritersAtOnce) {
    std::string path = root + "\\trace.log";
    std::FILE* first = platform::openSharedFile(path, "a");
    ASSERT_NE(nullptr, first);
    std::FILE* second = platform::openSharedFile(path, "a");
    ASSERT_NE(nullptr, second);
    std::FILE* reader = platform::openSharedFile(path, "rb");
    EXPECT_NE(nullptr, reader);
    std::fputs("one\n", first);
    std::fclose(first);
    std::fputs("two\n", second);
    std::fclose(second);
    if (reader != nullptr) {
        std::fclose(reader);
    }
    EXPECT_EQ("one\r\ntwo\r\n", readWholeFile(path));
}

TEST_F(ScratchDirectory, SharedFileOpenFailsForMissingFileOrBadMode) {
    EXPECT_EQ(nullptr, platform::openSharedFile(root + "\\missing.bin", "rb"));
    EXPECT_EQ(nullptr, platform::openSharedFile(root + "\\any.bin", nullptr));
}

TEST_F(ScratchDirectory, DeleteFileRemovesOnceAndThenReportsFailure) {
    std::string path = root + "\\doomed.bin";
    std::FILE* f = platform::openSharedFile(path, "wb");
    ASSERT_NE(nullptr, f);
    std::fclose(f);
    EXPECT_TRUE(platform::deleteFile(path));
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(platform::deleteFile(path));
}

// The trace file, by default in the working directory (C:\\, a shared
// folder), takes no access list from there: its user's alone. Wine keeps no
// access list of its own for a file but derives one from the Unix mode it
// set from ours, adding SYSTEM; a file with an inherited list would show
// others (Everyone) there too.
TEST_F(ScratchDirectory, TraceFileIsCreatedWithAnAccessListOfItsUserAlone) {
    const std::string path = root + "\\trace.log";
    ASSERT_TRUE(platform::appendToFile(path, "line\n"));
    EXPECT_EQ("line\r\n", readWholeFile(path));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                    nullptr, &dacl, nullptr, &descriptor));
    char* sddl = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                         &sddl, nullptr);
    const std::string accessList = sddl != nullptr ? sddl : "?";
    LocalFree(sddl);
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    const BOOL found = GetTokenInformation(token, TokenUser, user, sizeof user, &length);
    CloseHandle(token);
    ASSERT_TRUE(found);
    const PSID userSid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    ASSERT_NE(nullptr, dacl) << "no access list: everyone may open the file";
    bool userAllowed = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        const PSID sid = &allowed->SidStart;
        const bool isUser = EqualSid(sid, userSid) != FALSE;
        userAllowed = userAllowed || (isUser && allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_TRUE(isUser || IsWellKnownSid(sid, WinLocalSystemSid)) << accessList;
    }
    EXPECT_TRUE(userAllowed) << accessList;
    LocalFree(descriptor);
}

// A link planted at the trace file's name is not followed: the line is
// dropped and the link's target stays as it was. Wine 8 makes such a link a
// Unix symbolic link that it neither shows as a reparse point nor lets be
// opened as one, so there the test has nothing to check.
TEST_F(ScratchDirectory, TraceFileNameHoldingALinkIsNotWritten) {
    const std::string victim = root + "\\victim.txt";
    const std::string link = root + "\\trace.log";
    ASSERT_TRUE(platform::appendToFile(victim, "precious\n"));
    if (!CreateSymbolicLinkA(link.c_str(), victim.c_str(), 0)) {
        GTEST_SKIP() << "no symbolic link can be made here [error " << GetLastError() << "]";
    }
    const DWORD attributes = GetFileAttributesA(link.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        GTEST_SKIP() << "the link is not a reparse point on this system";
    }
    EXPECT_FALSE(platform::appendToFile(link, "planted\n"));
    EXPECT_EQ("precious\r\n", readWholeFile(victim));
}

TEST(WindowsPlatform, RandomBytesAreNotRepeated) {
    std::vector<unsigned char> first(64, 0), second(64, 0);
    ASSERT_TRUE(platform::randomBytes(first.data(), first.size()));
    ASSERT_TRUE(platform::randomBytes(second.data(), second.size()));
    EXPECT_NE(first, second);
    EXPECT_NE(std::vector<unsigned char>(64, 0), first);
}

TEST(WindowsPlatform, RandomBytesHandlesEmptyAndNullRequests) {
    unsigned char untouched = 0xA5;
    EXPECT_TRUE(platform::randomBytes(&untouched, 0));
    EXPECT_EQ(0xA5, untouched);
    EXPECT_TRUE(platform::randomBytes(nullptr, 0));
    EXPECT_FALSE(platform::randomBytes(nullptr, 16));
}

// Wine takes the user's interface language from LANG/LC_ALL; CTest runs this
// executable once with an English and once with a Czech locale and tells it
// which answer to expect.
TEST(WindowsPlatform, UserInterfaceLanguageFollowsTheSession) {
    const char* expected = std::getenv("ZENTRIK_EXPECT_CZECH_UI");
    if (expected == nullptr) {
        GTEST_SKIP() << "run through CTest, which sets the session language";
    }
    EXPECT_EQ(std::string(expected) == "1", platform::userInterfaceLanguageIsCzech());
}

}  // namespace
