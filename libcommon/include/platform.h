// The operating-system boundary. Everything above this header is portable; the
// implementations live in src/platform_posix.cpp and src/platform_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

using ThreadId = std::uint32_t;

// A process-local lock, recursive for its owner.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock() noexcept;
    void unlock() noexcept;

private:
    void* handle;
};

class MutexLock {
public:
    explicit MutexLock(Mutex& m) noexcept : mutex(m) { mutex.lock(); }
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
bool deleteFile(const std::string& path);
// True when the user's interface language is Czech.
bool userInterfaceLanguageIsCzech();
// Fills the buffer from the operating system's cryptographic generator; false on failure.
bool randomBytes(void* buffer, std::size_t length) noexcept;
// The path separator: '\\' on Windows, '/' elsewhere.
char pathSeparator() noexcept;

}  // namespace platform
