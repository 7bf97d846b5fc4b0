// The platform layer on Linux (glibc). Every function here mirrors one Windows
// call of the Windows build; see platform.h for the contract of each.
#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/auxv.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "temporaryname.h"
#include "vxexception.h"

namespace platform {

namespace {

pthread_mutex_t* nativeMutex(void* handle) { return static_cast<pthread_mutex_t*>(handle); }

// Seconds between 1601-01-01 and 1970-01-01, both UTC.
constexpr std::uint64_t FILETIME_UNIX_EPOCH_SECONDS = 11644473600ULL;
constexpr std::uint64_t FILETIME_TICKS_PER_SECOND = 10000000ULL;

}  // namespace

Mutex::Mutex() : handle(nullptr) {
    auto* native = new pthread_mutex_t;
    pthread_mutexattr_t attributes;
    int rc = ::pthread_mutexattr_init(&attributes);
    if (rc == 0) {
        rc = ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        if (rc == 0) rc = ::pthread_mutex_init(native, &attributes);
        ::pthread_mutexattr_destroy(&attributes);
    }
    if (rc != 0) {
        delete native;
        throw InternalErrorException("pthread_mutex_init failed [error=%d]", rc);
    }
    handle = native;
}

Mutex::~Mutex() {
    ::pthread_mutex_destroy(nativeMutex(handle));
    delete nativeMutex(handle);
}

void Mutex::lock() {
    // A recursive mutex fails when its owner count would overflow, or when
    // the system runs out of resources for it.
    const int rc = ::pthread_mutex_lock(nativeMutex(handle));
    if (rc != 0) throw InternalErrorException("pthread_mutex_lock failed [error=%d]", rc);
}

bool Mutex::tryLock() {
    const int rc = ::pthread_mutex_trylock(nativeMutex(handle));
    if (rc == EBUSY) return false;
    if (rc != 0) throw InternalErrorException("pthread_mutex_trylock failed [error=%d]", rc);
    return true;
}

void Mutex::unlock() noexcept { ::pthread_mutex_unlock(nativeMutex(handle)); }

ThreadId currentThreadId() noexcept { return static_cast<ThreadId>(::gettid()); }

void atProcessExit(void (*handler)()) noexcept { std::atexit(handler); }

LocalTime localTime() noexcept {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm parts {};
    time_t seconds = now.tv_sec;
    ::localtime_r(&seconds, &parts);
    LocalTime result{};
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = parts.tm_sec;
    result.milliseconds = static_cast<int>(now.tv_nsec / 1000000);
    return result;
}

std::uint64_t systemTimeAsFileTime() noexcept {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t seconds = static_cast<std::uint64_t>(now.tv_sec) + FILETIME_UNIX_EPOCH_SECONDS;
    return seconds * FILETIME_TICKS_PER_SECOND + static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

std::string executableBaseName() {
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return "???";
    }
    path[length] = '\0';
    std::string name(path);
    std::size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    // A leading dot starts a hidden file's name, not an extension.
    std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) {
        name.erase(dot);
    }
    return name;
}

namespace {

std::string& configurationFileForTests() {
    static std::string path;
    return path;
}

}  // namespace

void useConfigurationFileForTests(const std::string& path) { configurationFileForTests() = path; }

// A privileged process reads only the system's file: ZENTRIK_CONF would let
// the invoking user choose where the process writes (cache, logpath).
std::string configurationFilePath() {
    if (!isPrivilegedProcess()) {
        if (!configurationFileForTests().empty()) {
            return configurationFileForTests();
        }
        const char* overridden = ::secure_getenv("ZENTRIK_CONF");
        if (overridden != nullptr && overridden[0] != '\0') {
            return overridden;
        }
    }
    return "/etc/zentrik.txt";
}

bool homeDirectory(std::string& out) {
    const char* home = isPrivilegedProcess() ? nullptr : ::secure_getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        out = home;
        return true;
    }
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
        return false;
    }
    out = found->pw_dir;
    return true;
}

// The kernel sets AT_SECURE for set-user-ID and set-group-ID programs and for
// file capabilities; a process that changed only its effective ids itself
// is caught by the comparison.
bool isPrivilegedProcess() noexcept {
    return ::getauxval(AT_SECURE) != 0 || ::geteuid() != ::getuid() || ::getegid() != ::getgid();
}

std::uint64_t currentProcessId() noexcept { return static_cast<std::uint64_t>(::getpid()); }

namespace {

// One registration per handler and role, whichever thread registers.
void registerAtFork(void (*handler)(), bool beforeFork) noexcept {
    static pthread_mutex_t registration = PTHREAD_MUTEX_INITIALIZER;
    static std::vector<std::pair<void (*)(), bool>>* registered = nullptr;
    ::pthread_mutex_lock(&registration);
    try {
        if (registered == nullptr) registered = new std::vector<std::pair<void (*)(), bool>>;
        bool known = false;
        for (const auto& existing : *registered) {
            known = known || (existing.first == handler && existing.second == beforeFork);
        }
        if (!known) {
            const int rc = beforeFork ? ::pthread_atfork(handler, nullptr, nullptr)
                                      : ::pthread_atfork(nullptr, nullptr, handler);
            if (rc == 0) registered->emplace_back(handler, beforeFork);
        }
    } catch (...) {
        // Without memory the handler stays unregistered; the callers' own
        // process-id checks still keep a child off the parent's state.
    }
    ::pthread_mutex_unlock(&registration);
}

}  // namespace

void runInEveryForkedChild(void (*handler)()) noexcept { registerAtFork(handler, false); }

void runBeforeEveryFork(void (*handler)()) noexcept { registerAtFork(handler, true); }

bool createDirectories(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    // Create each prefix ending before a separator, then the whole path. The
    // directories hold per-user data (card caches), so they are private.
    std::string prefix;
    prefix.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '/' && i > 0 && path[i - 1] != '/') {
            if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
                return false;
            }
        }
        prefix.push_back(path[i]);
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::FILE* openSharedFile(const std::string& path, const char* mode) {
    if (mode == nullptr) {
        return nullptr;
    }
    // POSIX files are always shared between openers. "e" keeps the descriptor
    // out of programs the host application starts while the file is open.
    std::string withCloseOnExec(mode);
    withCloseOnExec.push_back('e');
    return std::fopen(path.c_str(), withCloseOnExec.c_str());
}

std::FILE* openConfigurationFile(const std::string& path) {
    return isPrivilegedProcess() ? openSystemFile(path) : openSharedFile(path, "r");
}

std::FILE* openSystemFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != 0 ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = ::fdopen(fd, "r");
    if (file == nullptr) {
        ::close(fd);
    }
    return file;
}

namespace {

// Opens the file `name` of the directory `directory` (AT_FDCWD: the working
// directory) when it is a regular file of the effective user with no other
// name. O_NOFOLLOW refuses a link at the name, O_NONBLOCK keeps a FIFO from
// blocking the open; fstat then refuses anything but a plain file of ours.
int openOwnRegularFile(int directory, const char* name, int flags, std::string* problem) {
    const int fd = ::openat(directory, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                            S_IRUSR | S_IWUSR);
    if (fd < 0) {
        if (problem != nullptr) {
            *problem = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        }
        return -1;
    }
    struct stat info {};
    const char* refusal = nullptr;
    if (::fstat(fd, &info) != 0) {
        refusal = "it cannot be examined";
    } else if (!S_ISREG(info.st_mode)) {
        refusal = "it is not a regular file";
    } else if (info.st_uid != ::geteuid()) {
        refusal = "it belongs to another user";
    } else if ((flags & O_ACCMODE) != O_RDONLY && info.st_nlink != 1) {
        refusal = "it has other names (hard links)";
    }
    if (refusal != nullptr) {
        ::close(fd);
        if (problem != nullptr) *problem = refusal;
        return -1;
    }
    // Regular files never block; later reads and writes need no flag.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Why an opened directory may not hold private files; null when it may.
const char* directoryRefusal(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return "it cannot be examined";
    if (!S_ISDIR(info.st_mode)) return "it is not a directory";
    if (info.st_uid != ::geteuid()) return "it belongs to another user";
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "others may write to it";
    return nullptr;
}

std::vector<std::string> pathComponents(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool appendToFile(const std::string& path, const std::string& text) noexcept {
    // O_APPEND makes the seek to the end and the write one step for every
    // writer of the file; one write keeps the text in one piece.
    const int fd = openOwnRegularFile(AT_FDCWD, path.c_str(), O_WRONLY | O_APPEND | O_CREAT, nullptr);
    if (fd < 0) {
        return false;
    }
    ssize_t written;
    do {
        written = ::write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    ::close(fd);
    return written == static_cast<ssize_t>(text.size());
}

bool deleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool userInterfaceLanguageIsCzech() {
    // The first of these that is set decides, as it does for the C library's
    // message catalogues.
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            return std::strncmp(value, "cs", 2) == 0;
        }
    }
    return false;
}

bool randomBytes(void* buffer, std::size_t length) noexcept {
    if (buffer == nullptr && length != 0) {
        return false;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t filled = 0;
    while (filled < length) {
        ssize_t got = ::getrandom(out + filled, length - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

PrivateDirectory::PrivateDirectory(std::string path_) : path(std::move(path_)) {}

PrivateDirectory::~PrivateDirectory() {
    if (descriptor >= 0) ::close(descriptor);
}

// Walks the path one directory at a time from an open handle (openat), so
// that each step looks at the directory the previous step checked. Links are
// followed in the leading directories (a system may link /home elsewhere),
// never in the owned ones.
std::unique_ptr<PrivateDirectory> PrivateDirectory::open(const std::string& path, bool create,
                                                         unsigned ownedLevels,
                                                         std::string& problem) {
    const std::vector<std::string> parts = pathComponents(path);
    if (parts.empty()) {
        problem = "no directory named";
        return nullptr;
    }
    std::unique_ptr<PrivateDirectory> directory(new PrivateDirectory(path));
    directory->descriptor = ::open(path[0] == '/' ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory->descriptor < 0) {
        problem = std::strerror(errno);
        return nullptr;
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool owned = i + ownedLevels >= parts.size();
        const std::string& name = parts[i];
        if (owned && (name == "." || name == "..")) {
            problem = "the path steps out of its own directories (" + name + ")";
            return nullptr;
        }
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (owned ? O_NOFOLLOW : 0);
        int next = ::openat(directory->descriptor, name.c_str(), flags);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(directory->descriptor, name.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
                problem = "cannot create " + name + ": " + std::strerror(errno);
                return nullptr;
            }
            next = ::openat(directory->descriptor, name.c_str(), flags);
        }
        if (next < 0) {
            problem = name + ": " +
                      (errno == ELOOP || errno == ENOTDIR ? std::string("it is not a directory (a link?)")
                                                          : std::string(std::strerror(errno)));
            return nullptr;
        }
        ::close(directory->descriptor);
        directory->descriptor = next;
        if (owned) {
            if (const char* refusal = directoryRefusal(next)) {
                problem = name + ": " + refusal;
                return nullptr;
            }
        }
    }
    return directory;
}

std::FILE* PrivateDirectory::openForReading(const std::string& name, std::string& problem) {
    // Anything but a regular file is refused before it is opened at all:
    // opening a device can have effects of its own.
    struct stat info {};
    if (::fstatat(descriptor, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(info.st_mode)) {
        problem = S_ISLNK(info.st_mode) ? "it is a symbolic link" : "it is not a regular file";
        return nullptr;
    }
    const int fd = openOwnRegularFile(descriptor, name.c_str(), O_RDONLY, &problem);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        problem = std::strerror(errno);
        ::close(fd);
    }
    return file;
}

std::FILE* PrivateDirectory::createTemporary(const std::string& name, std::string& temporaryName,
                                             std::string& problem) {
    // A fresh random name, created exclusively: nothing planted in advance
    // can be at it.
    std::uint8_t random[temporaryname::RANDOM_BYTES];
    if (!randomBytes(random, sizeof random)) {
        problem = "no random name";
        return nullptr;
    }
    temporaryName = temporaryname::make("." + name, random);
    const int fd = ::openat(descriptor, temporaryName.c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        problem = std::strerror(errno);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "w+b");
    if (file == nullptr) {
        problem = std::strerror(errno);
        ::close(fd);
        ::unlinkat(descriptor, temporaryName.c_str(), 0);
    }
    return file;
}

bool PrivateDirectory::replace(const std::string& temporaryName, const std::string& name) {
    return ::renameat(descriptor, temporaryName.c_str(), descriptor, name.c_str()) == 0;
}

bool PrivateDirectory::remove(const std::string& name) {
    return ::unlinkat(descriptor, name.c_str(), 0) == 0;
}

std::unique_ptr<ProcessTurns> ProcessTurns::open(PrivateDirectory& directory, const std::string& name,
                                                 std::string& problem) {
    std::unique_ptr<ProcessTurns> turns(new ProcessTurns);
    turns->descriptor = openOwnRegularFile(directory.descriptor, name.c_str(), O_RDWR | O_CREAT, &problem);
    if (turns->descriptor < 0) return nullptr;
    return turns;
}

ProcessTurns::~ProcessTurns() {
    // Closing drops every lock this process holds on the file.
    if (descriptor >= 0) ::close(descriptor);
}

namespace {

// The byte of turn `key`: locks reach past the end of the file, so the file
// stays empty.
bool lockTurnByte(int descriptor, std::uint32_t key, short type, bool wait) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(key & 0x7fffffffu);
    range.l_len = 1;
    while (::fcntl(descriptor, wait ? F_SETLKW : F_SETLK, &range) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

ProcessTurns::Taken ProcessTurns::take(std::uint32_t key) noexcept {
    if (lockTurnByte(descriptor, key, F_WRLCK, false)) return Taken::AT_ONCE;
    if (errno != EACCES && errno != EAGAIN) return Taken::NOT;
    return lockTurnByte(descriptor, key, F_WRLCK, true) ? Taken::AFTER_WAITING : Taken::NOT;
}

void ProcessTurns::give(std::uint32_t key) noexcept {
    lockTurnByte(descriptor, key, F_UNLCK, false);
}

void PrivateDirectory::removeStaleTemporaries() {
    const int listing = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (listing < 0) return;
    DIR* entries = ::fdopendir(listing);
    if (entries == nullptr) {
        ::close(listing);
        return;
    }
    const std::time_t oldest = std::time(nullptr) - STALE_TEMPORARY_MINUTES * 60;
    while (const struct dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        if (name.front() != '.' || !temporaryname::matches(name)) continue;
        struct stat info {};
        if (::fstatat(descriptor, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == ::geteuid() && info.st_mtime < oldest) {
            ::unlinkat(descriptor, name.c_str(), 0);
        }
    }
    ::closedir(entries);
}

char pathSeparator() noexcept { return '/'; }

}  // namespace platform
