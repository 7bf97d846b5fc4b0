// The operating-system boundary. Everything above this header is portable; the
// implementations live in src/platform_posix.cpp and src/platform_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

using ThreadId = std::uint32_t;

// A process-local lock, recursive for its owner. A lock that cannot be taken
// throws InternalErrorException: running on unlocked, and unlocking later,
// would corrupt whatever the lock guards.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    // Takes the lock only when no other thread holds it; false otherwise.
    bool tryLock();
    // Only after a successful lock or tryLock.
    void unlock() noexcept;

private:
    void* handle;
};

// Holds a mutex for its scope; the constructor throws when the lock fails,
// so a scope never releases a lock it did not take.
class MutexLock {
public:
    explicit MutexLock(Mutex& m) : mutex(m) { mutex.lock(); }
    ~MutexLock() { mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex;
};

struct LocalTime {
    int year, month, day, hour, minute, second, milliseconds;
};

ThreadId currentThreadId() noexcept;
// The calling process: a forked child sees a value other than its parent's.
std::uint32_t currentProcessId() noexcept;
// Runs `handler` when the process exits normally (not when it is killed).
void atProcessExit(void (*handler)()) noexcept;
LocalTime localTime() noexcept;
// Current time in 100-ns intervals since 1601-01-01 UTC.
std::uint64_t systemTimeAsFileTime() noexcept;
// Base name of the running executable without directory and last extension;
// "???" when it cannot be found.
std::string executableBaseName();
// Path of the configuration file.
std::string configurationFilePath();
// The user's profile folder; false when unknown.
bool homeDirectory(std::string& out);
// Creates a directory and its missing parents; true when it exists afterwards.
bool createDirectories(const std::string& path);
// Opens a file for sharing with other processes (mode as for fopen).
std::FILE* openSharedFile(const std::string& path, const char* mode);
// Appends the text to the file (created when missing) with one append-mode
// write, so that appends of other threads and processes land before or after
// it, never inside it. "\n" becomes the platform's line end. False when the
// file cannot be opened or written.
bool appendToFile(const std::string& path, const std::string& text) noexcept;
bool deleteFile(const std::string& path);
// True when the user's interface language is Czech.
bool userInterfaceLanguageIsCzech();
// Fills the buffer from the operating system's cryptographic generator; false on failure.
bool randomBytes(void* buffer, std::size_t length) noexcept;
// The path separator: '\\' on Windows, '/' elsewhere.
char pathSeparator() noexcept;

}  // namespace platform
