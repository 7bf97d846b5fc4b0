// The operating-system boundary. Everything above this header is portable; the
// implementations live in src/platform_posix.cpp and src/platform_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
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
// Runs `handler` when the process exits normally (not when it is killed).
void atProcessExit(void (*handler)()) noexcept;
LocalTime localTime() noexcept;
// Current time in 100-ns intervals since 1601-01-01 UTC.
std::uint64_t systemTimeAsFileTime() noexcept;
// Base name of the running executable without directory and last extension;
// "???" when it cannot be found.
std::string executableBaseName();
// Path of the configuration file: on Windows the one in the Windows
// directory, on Linux /etc/zentrik.txt or, for the tests that run there, the
// file ZENTRIK_CONF names. A privileged process (see below) takes no other
// file than the system's.
std::string configurationFilePath();
// Names another configuration file for the rest of the process, before the
// configuration is first used. Only tests call it: they link the module's
// sources into their own program; no host of the shipped module can reach it.
void useConfigurationFileForTests(const std::string& path);
// The user's profile folder; false when unknown. A privileged process gets
// the effective user's, never one the environment names.
bool homeDirectory(std::string& out);
// True when the process runs with rights that the user who started it does
// not have (a set-user-ID or set-group-ID program, file capabilities): its
// environment and the places its user chose are then not to be trusted.
// Never on Windows, which has no such programs.
bool isPrivilegedProcess() noexcept;
// The id of the running process; a child made by fork() has its own.
std::uint64_t currentProcessId() noexcept;
// Runs `handler` in the child of every later fork(), before fork() returns
// there; the child has then only the thread that forked. Registering the
// same handler again adds nothing. No effect on Windows (no fork there).
void runInEveryForkedChild(void (*handler)()) noexcept;
// Runs `handler` in the forking thread before every later fork() (handlers
// registered later run first, as pthread_atfork orders them). Registering
// the same handler again adds nothing. No effect on Windows.
void runBeforeEveryFork(void (*handler)()) noexcept;
// Creates a directory and its missing parents; true when it exists afterwards.
bool createDirectories(const std::string& path);
// Opens a file for sharing with other processes (mode as for fopen).
std::FILE* openSharedFile(const std::string& path, const char* mode);
// Opens the configuration file for reading. In a privileged process only a
// file that openSystemFile accepts is read; otherwise as openSharedFile.
std::FILE* openConfigurationFile(const std::string& path);
// Opens `path` for reading only when it is a regular file of the
// administrator (root) that neither group nor others may write to; a link
// is not followed and a FIFO or device is refused without waiting on it.
// Null otherwise. What a user could have changed must not steer a process
// that runs with rights the user does not have. Linux only.
std::FILE* openSystemFile(const std::string& path);
// Appends the text to the file (created when missing) with one append-mode
// write, so that appends of other threads and processes land before or after
// it, never inside it. "\n" becomes the platform's line end. False when the
// file cannot be opened or written. On Linux the file is created readable by
// its owner only, and written only when it is a regular file of the
// effective user with no other name: a link, a FIFO or a device planted at
// its name is neither followed nor waited for.
bool appendToFile(const std::string& path, const std::string& text) noexcept;
bool deleteFile(const std::string& path);
// A directory that holds files of the effective user alone (the per-card
// cache files). On Linux everything below goes through the directory handle
// opened once, so the path cannot be swapped for a link between the checks
// and the use; on Windows the directory is a path in the user's profile
// folder, protected by that folder's access list.
class PrivateDirectory {
public:
    // Opens the directory `path`; with `create`, missing directories on the
    // way are created, readable by their owner only. The last `ownedLevels`
    // directories of the path must each be a real directory (not a link)
    // of the effective user that no one else may write to. Null when the
    // directory cannot be used, with the reason in `problem`.
    static std::unique_ptr<PrivateDirectory> open(const std::string& path, bool create,
                                                  unsigned ownedLevels, std::string& problem);
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    // Opens the file `name` for binary reading when it is a regular file of
    // the effective user; a link is not followed and a FIFO or device is
    // refused without waiting on it. Null with the reason in `problem`.
    std::FILE* openForReading(const std::string& name, std::string& problem);
    // Creates a new, empty file of the owner alone under a name of its own
    // beside `name`, open for binary reading and writing; `temporaryName`
    // receives that name. Null with the reason in `problem`.
    std::FILE* createTemporary(const std::string& name, std::string& temporaryName,
                               std::string& problem);
    // Puts the closed file `temporaryName` in the place of `name` in one
    // step: readers see the old file or the new one, never a part of it.
    // Whatever was at `name` (a link included) is replaced, never followed.
    bool replace(const std::string& temporaryName, const std::string& name);
    // Removes the directory entry `name` (a link itself, not its target).
    bool remove(const std::string& name);
    // Removes what writers that died between createTemporary and replace
    // left behind: files with a temporary name of createTemporary's form
    // not changed for STALE_TEMPORARY_MINUTES. A writer alive is done with
    // its file within a second; one stopped for longer finds its file gone,
    // its replace fails, and the cache file is simply not written.
    static constexpr unsigned STALE_TEMPORARY_MINUTES = 10;
    void removeStaleTemporaries();

private:
    friend class ProcessTurns;
    explicit PrivateDirectory(std::string path);
    std::string path;
    int descriptor = -1;
};

// Turns that the processes of one user take one after another: a file in a
// private directory, one byte of it per turn, locked by the process whose
// turn it is. On Linux these are POSIX record locks, which belong to the
// process: the kernel drops them when it exits or dies, a forked child
// inherits none, and the threads of one process never wait for each other.
// Windows has none (open gives null).
class ProcessTurns {
public:
    static std::unique_ptr<ProcessTurns> open(PrivateDirectory& directory, const std::string& name,
                                              std::string& problem);
    ~ProcessTurns();
    ProcessTurns(const ProcessTurns&) = delete;
    ProcessTurns& operator=(const ProcessTurns&) = delete;

    enum class Taken { AT_ONCE, AFTER_WAITING, NOT };
    // Waits until no other process holds turn `key`, then holds it; says
    // whether another process had it first. NOT, with nothing held, when
    // the wait fails (a cycle of waiting processes the kernel refuses, an
    // error).
    Taken take(std::uint32_t key) noexcept;
    // Gives the turn back: a process waiting for it may take it now.
    void give(std::uint32_t key) noexcept;

private:
    ProcessTurns() = default;
    int descriptor = -1;
};

// True when the user's interface language is Czech.
bool userInterfaceLanguageIsCzech();
// Fills the buffer from the operating system's cryptographic generator; false on failure.
bool randomBytes(void* buffer, std::size_t length) noexcept;
// The path separator: '\\' on Windows, '/' elsewhere.
char pathSeparator() noexcept;

}  // namespace platform
