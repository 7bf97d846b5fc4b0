// The Windows side of the operating-system boundary (see platform.h).
#include "platform.h"

#include <windows.h>

#include <bcrypt.h>
#include <sddl.h>
#include <share.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "temporaryname.h"
#include "vxexception.h"

namespace platform {

namespace {

// Windows paths of the ANSI functions are limited to MAX_PATH (260) characters.
constexpr DWORD PATH_BUFFER_LENGTH = MAX_PATH;
constexpr int CSIDL_PROFILE_FOLDER = 0x28;
constexpr WORD PRIMARY_LANGUAGE_CZECH = 0x05;
// The low 10 bits of a language identifier are its primary language.
constexpr WORD PRIMARY_LANGUAGE_MASK = 0x3FF;
// BCryptGenRandom takes a 32-bit length; longer requests are served in pieces.
constexpr std::size_t RANDOM_CHUNK = 0x10000000;

bool isSeparator(char c) noexcept { return c == '\\' || c == '/'; }

std::string withTrailingSeparator(std::string path) {
    if (!path.empty() && !isSeparator(path.back())) {
        path += '\\';
    }
    return path;
}

std::string& configurationFileForTests() {
    static std::string path;
    return path;
}

bool isDirectory(const std::string& path) noexcept {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A security descriptor whose access list grants the process's user full
// access and nobody else anything, inheriting nothing from the directory
// ("D:P(A;;FA;;;<user's SID>)"). Built once; null when the user's SID
// cannot be found, and then the file takes the directory's list.
PSECURITY_DESCRIPTOR ownerOnlyDescriptor() noexcept {
    static const PSECURITY_DESCRIPTOR descriptor = []() -> PSECURITY_DESCRIPTOR {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
        alignas(TOKEN_USER) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD length = 0;
        const BOOL found = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length);
        CloseHandle(token);
        char* sid = nullptr;
        if (!found || !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
            return nullptr;
        }
        const std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")";
        LocalFree(sid);
        PSECURITY_DESCRIPTOR built = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &built,
                                                                  nullptr)) {
            return nullptr;
        }
        return built;  // kept for the life of the process
    }();
    return descriptor;
}

// A file on disk with this one name: no reparse point (link, junction,
// mount point), no directory, no device or pipe, no second hard link.
bool isPlainFile(HANDLE file) noexcept {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) return false;
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
           info.nNumberOfLinks == 1;
}

}  // namespace

Mutex::Mutex() : handle(CreateMutexA(nullptr, FALSE, nullptr)) {
    if (handle == nullptr) {
        throw InternalErrorException("CreateMutexA failed [error=%lu]",
                                     static_cast<unsigned long>(GetLastError()));
    }
}

Mutex::~Mutex() { CloseHandle(static_cast<HANDLE>(handle)); }

// A Windows mutex is recursive for the thread that owns it: every successful
// wait must be matched by one ReleaseMutex. A mutex abandoned by a thread
// that ended while holding it is owned by the waiter all the same.
void Mutex::lock() {
    const DWORD result = WaitForSingleObject(static_cast<HANDLE>(handle), INFINITE);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
        throw InternalErrorException("WaitForSingleObject failed [result=%lu, error=%lu]",
                                     static_cast<unsigned long>(result),
                                     static_cast<unsigned long>(GetLastError()));
    }
}

bool Mutex::tryLock() {
    const DWORD result = WaitForSingleObject(static_cast<HANDLE>(handle), 0);
    if (result == WAIT_TIMEOUT) return false;
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
        throw InternalErrorException("WaitForSingleObject failed [result=%lu, error=%lu]",
                                     static_cast<unsigned long>(result),
                                     static_cast<unsigned long>(GetLastError()));
    }
    return true;
}

void Mutex::unlock() noexcept { ReleaseMutex(static_cast<HANDLE>(handle)); }

ThreadId currentThreadId() noexcept { return static_cast<ThreadId>(GetCurrentThreadId()); }

// Handlers of a DLL would run at its unload, under the loader lock, where
// smart-card calls must not be made; the smart-card service ends the
// transactions of a process that exits.
void atProcessExit(void (*)()) noexcept {}

LocalTime localTime() noexcept {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth,  now.wDay,         now.wHour,
                     now.wMinute, now.wSecond, now.wMilliseconds};
}

std::uint64_t systemTimeAsFileTime() noexcept {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::string executableBaseName() {
    char path[PATH_BUFFER_LENGTH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, PATH_BUFFER_LENGTH);
    if (length == 0) {
        return "???";
    }
    std::string name(path, length);
    std::size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos) {
        name.erase(0, slash + 1);
    }
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        name.erase(dot);
    }
    return name;
}

// The file in the Windows directory and no other: an elevated process
// inherits its user's environment, so no variable may name another file (it
// would choose the trace's and the cache's directories). Only a test linked
// with the module's sources names its own (useConfigurationFileForTests).
std::string configurationFilePath() {
    const std::string& forTests = configurationFileForTests();
    if (!forTests.empty()) {
        return forTests;
    }
    char windowsDirectory[PATH_BUFFER_LENGTH + 1] = {};
    UINT length = GetWindowsDirectoryA(windowsDirectory, PATH_BUFFER_LENGTH);
    if (length == 0 || length >= PATH_BUFFER_LENGTH) {
        return "C:\\Windows\\zentrik.txt";
    }
    return withTrailingSeparator(std::string(windowsDirectory, length)) + "zentrik.txt";
}

void useConfigurationFileForTests(const std::string& path) { configurationFileForTests() = path; }

bool isPrivilegedProcess() noexcept { return false; }

std::uint64_t currentProcessId() noexcept { return GetCurrentProcessId(); }

void runInEveryForkedChild(void (*)()) noexcept {}

void runBeforeEveryFork(void (*)()) noexcept {}

bool homeDirectory(std::string& out) {
    char path[PATH_BUFFER_LENGTH + 1] = {};
    HRESULT result =
        SHGetFolderPathA(nullptr, CSIDL_PROFILE_FOLDER, nullptr, SHGFP_TYPE_CURRENT, path);
    if (FAILED(result) || path[0] == '\0') {
        out.clear();
        return false;
    }
    out = path;
    return true;
}

// Creates every prefix that ends before a separator, then the whole path.
// Prefixes that exist already or cannot be directories ("C:", "\\server")
// fail harmlessly; the final test decides.
bool createDirectories(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    for (std::size_t i = 1; i < path.size(); ++i) {
        if (isSeparator(path[i]) && !isSeparator(path[i - 1])) {
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
        }
    }
    CreateDirectoryA(path.c_str(), nullptr);
    return isDirectory(path);
}

// Shared for reading and writing with every other opener, so that processes
// appending to the trace or reading cache files never lock each other out.
std::FILE* openSharedFile(const std::string& path, const char* mode) {
    if (mode == nullptr) {
        return nullptr;
    }
    return _fsopen(path.c_str(), mode, _SH_DENYNO);
}

// No process on Windows runs with rights its user lacks (see
// isPrivilegedProcess): the file is read as any other.
std::FILE* openConfigurationFile(const std::string& path) { return openSharedFile(path, "r"); }

bool appendToFile(const std::string& path, const std::string& text) noexcept {
    try {
        // The trace file has always been a text file with CR LF line ends.
        std::string converted;
        converted.reserve(text.size() + text.size() / 32);
        for (char c : text) {
            if (c == '\n') converted.push_back('\r');
            converted.push_back(c);
        }
        // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write land at
        // the end of the file as one step, for every writer. A new file gets
        // an access list of its user alone: the default directory is the
        // working directory, whose inherited list may let others read (C:\,
        // a shared folder). A reparse point at the name is opened itself,
        // never followed, and then refused.
        SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), ownerOnlyDescriptor(), FALSE};
        HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  security.lpSecurityDescriptor != nullptr ? &security : nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        if (!isPlainFile(file)) {
            CloseHandle(file);
            return false;
        }
        DWORD written = 0;
        const BOOL ok = WriteFile(file, converted.data(), static_cast<DWORD>(converted.size()),
                                  &written, nullptr);
        CloseHandle(file);
        return ok != FALSE && written == converted.size();
    } catch (...) {
        return false;
    }
}

bool deleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != FALSE; }

bool userInterfaceLanguageIsCzech() {
    return (GetUserDefaultUILanguage() & PRIMARY_LANGUAGE_MASK) == PRIMARY_LANGUAGE_CZECH;
}

bool randomBytes(void* buffer, std::size_t length) noexcept {
    if (buffer == nullptr) {
        return length == 0;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        std::size_t piece = length < RANDOM_CHUNK ? length : RANDOM_CHUNK;
        NTSTATUS status = BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(piece),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (!BCRYPT_SUCCESS(status)) {
            return false;
        }
        bytes += piece;
        length -= piece;
    }
    return true;
}

// The profile folder's access list (the user, SYSTEM and the administrators)
// is inherited by the cache directories and files made in it; Windows has no
// set-user-ID programs whose caller could choose the place.
PrivateDirectory::PrivateDirectory(std::string path_) : path(std::move(path_)) {}

PrivateDirectory::~PrivateDirectory() = default;

std::unique_ptr<PrivateDirectory> PrivateDirectory::open(const std::string& path, bool create,
                                                         unsigned, std::string& problem) {
    if (path.empty()) {
        problem = "no directory named";
        return nullptr;
    }
    if (create ? !createDirectories(path) : !isDirectory(path)) {
        problem = create ? "it cannot be created" : "it is not a directory";
        return nullptr;
    }
    return std::unique_ptr<PrivateDirectory>(new PrivateDirectory(withTrailingSeparator(path)));
}

std::FILE* PrivateDirectory::openForReading(const std::string& name, std::string& problem) {
    std::FILE* file = openSharedFile(path + name, "rb");
    if (file == nullptr) problem = "it cannot be opened";
    return file;
}

std::FILE* PrivateDirectory::createTemporary(const std::string& name, std::string& temporaryName,
                                             std::string& problem) {
    std::uint8_t random[temporaryname::RANDOM_BYTES];
    if (!randomBytes(random, sizeof random)) {
        problem = "no random name";
        return nullptr;
    }
    temporaryName = temporaryname::make(name, random);
    // 64 random bits: no other writer picks the same name.
    std::FILE* file = openSharedFile(path + temporaryName, "w+b");
    if (file == nullptr) problem = "it cannot be created";
    return file;
}

bool PrivateDirectory::replace(const std::string& temporaryName, const std::string& name) {
    return MoveFileExA((path + temporaryName).c_str(), (path + name).c_str(),
                       MOVEFILE_REPLACE_EXISTING) != FALSE;
}

bool PrivateDirectory::remove(const std::string& name) { return deleteFile(path + name); }

// Not built on Windows: its smart card service alone decides which waiting
// client gets a card that is let go.
std::unique_ptr<ProcessTurns> ProcessTurns::open(PrivateDirectory&, const std::string&,
                                                 std::string& problem) {
    problem = "not used on Windows";
    return nullptr;
}

ProcessTurns::~ProcessTurns() = default;

ProcessTurns::Taken ProcessTurns::take(std::uint32_t) noexcept { return Taken::AT_ONCE; }

void ProcessTurns::give(std::uint32_t) noexcept {}

void PrivateDirectory::removeStaleTemporaries() {
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((path + "*" + temporaryname::MARK + "*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    const std::uint64_t oldest =
        systemTimeAsFileTime() - std::uint64_t{STALE_TEMPORARY_MINUTES} * 60 * 10000000;
    do {
        const std::uint64_t written =
            (static_cast<std::uint64_t>(entry.ftLastWriteTime.dwHighDateTime) << 32) |
            entry.ftLastWriteTime.dwLowDateTime;
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            temporaryname::matches(entry.cFileName) && written < oldest) {
            deleteFile(path + entry.cFileName);
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

char pathSeparator() noexcept { return '\\'; }

}  // namespace platform
