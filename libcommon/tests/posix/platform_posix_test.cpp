// Linux-only behaviours of the platform layer: environment variables, /proc,
// the password database. Portable behaviours are in ../platform_test.cpp.
#include "platform.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "vxexception.h"

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

// pthread_mutex_lock as the platform layer sees it: the test build links it
// wrapped (-Wl,--wrap), so that a test can make one lock fail the way an
// exhausted system or an overflowing owner count would.
namespace {
thread_local int nextLockFailure = 0;
}  // namespace

extern "C" int __real_pthread_mutex_lock(pthread_mutex_t* mutex);
extern "C" int __wrap_pthread_mutex_lock(pthread_mutex_t* mutex) {
    if (nextLockFailure != 0) {
        const int failure = nextLockFailure;
        nextLockFailure = 0;
        return failure;
    }
    return __real_pthread_mutex_lock(mutex);
}

namespace {

struct LockFailureCase {
    const char* name;
    int error;
};

class MutexLockFailure : public ::testing::TestWithParam<LockFailureCase> {};

TEST_P(MutexLockFailure, IsThrownAndLeavesTheMutexFree) {
    platform::Mutex mutex;
    nextLockFailure = GetParam().error;
    EXPECT_THROW(mutex.lock(), InternalErrorException);
    nextLockFailure = GetParam().error;
    EXPECT_THROW(platform::MutexLock scope(mutex), InternalErrorException);
    // Nothing was taken, so nothing is held: another thread gets it at once.
    bool takenElsewhere = false;
    std::thread other([&] {
        takenElsewhere = mutex.tryLock();
        if (takenElsewhere) mutex.unlock();
    });
    other.join();
    EXPECT_EQ(true, takenElsewhere);
}

INSTANTIATE_TEST_SUITE_P(Errors, MutexLockFailure,
                         ::testing::Values(LockFailureCase{"OwnerCountOverflow", EAGAIN},
                                           LockFailureCase{"OutOfResources", ENOMEM},
                                           LockFailureCase{"Deadlock", EDEADLK}),
                         [](const ::testing::TestParamInfo<LockFailureCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(PosixMutex, TryLockFailsWhileAnotherThreadHoldsIt) {
    platform::Mutex mutex;
    platform::MutexLock held(mutex);
    bool taken = true;
    std::thread other([&] { taken = mutex.tryLock(); });
    other.join();
    EXPECT_EQ(false, taken);
    EXPECT_EQ(true, mutex.tryLock());  // recursive for its owner
    mutex.unlock();
}

}  // namespace
