// The platform layer on Linux (glibc). Every function here mirrors one Windows
// call of the Windows build; see platform.h for the contract of each.
#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

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

std::uint32_t currentProcessId() noexcept { return static_cast<std::uint32_t>(::getpid()); }

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

std::string configurationFilePath() {
    const char* overridden = std::getenv("ZENTRIK_CONF");
    if (overridden != nullptr && overridden[0] != '\0') {
        return overridden;
    }
    return "/etc/zentrik.txt";
}

bool homeDirectory(std::string& out) {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        out = home;
        return true;
    }
    long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    int rc;
    while ((rc = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
        return false;
    }
    out = found->pw_dir;
    return true;
}

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

bool appendToFile(const std::string& path, const std::string& text) noexcept {
    // O_APPEND makes the seek to the end and the write one step for every
    // writer of the file; one write keeps the text in one piece.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
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

char pathSeparator() noexcept { return '/'; }

}  // namespace platform
