// A host program that uses the module the way other applications on the
// same machine do, for the card-hold tests that need processes of their own:
//   cardhost MODULE busy SECONDS          searches slot 0 in a tight loop;
//                                         prints "calls=N"
//   cardhost MODULE poll SECONDS MS       asks for the token information of
//                                         slot 0 every MS milliseconds
//   cardhost MODULE forkstorm FORKS       one thread searches slot 0 without
//                                         pause while the main thread forks;
//                                         every child exits at once with
//                                         exit(), every tenth initialises the
//                                         module afresh first; a child still
//                                         running after 10 s is hung (killed);
//                                         prints "forks=N hung=H failed=F"
//   cardhost MODULE daemon PIN SECONDS PIDFILE
//                                         logs in, searches (a card call),
//                                         then calls daemon(): the parent
//                                         leaves at once, the child writes
//                                         its pid to PIDFILE and stays SECONDS
// Every mode starts and ends on its own; status 0 when it worked.
#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cryptoki.h"

namespace {

using Clock = std::chrono::steady_clock;
CK_FUNCTION_LIST_PTR p11 = nullptr;

CK_SESSION_HANDLE openSession() {
    CK_SESSION_HANDLE session = 0;
    if (p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK) {
        return 0;
    }
    return session;
}

bool search(CK_SESSION_HANDLE session) {
    if (p11->C_FindObjectsInit(session, nullptr, 0) != CKR_OK) return false;
    CK_OBJECT_HANDLE found[16];
    CK_ULONG count = 0;
    const CK_RV rv = p11->C_FindObjects(session, found, 16, &count);
    return p11->C_FindObjectsFinal(session) == CKR_OK && rv == CKR_OK;
}

Clock::time_point after(const char* seconds) {
    return Clock::now() + std::chrono::milliseconds(static_cast<long>(std::atof(seconds) * 1000));
}

int busy(const char* seconds) {
    const CK_SESSION_HANDLE session = openSession();
    if (session == 0) return 3;
    const Clock::time_point end = after(seconds);
    unsigned long calls = 0;
    while (Clock::now() < end) {
        if (!search(session)) return 4;
        ++calls;
    }
    std::printf("calls=%lu\n", calls);
    return 0;
}

int poll(const char* seconds, const char* interval) {
    const Clock::time_point end = after(seconds);
    const auto pause = std::chrono::milliseconds(std::atol(interval));
    CK_TOKEN_INFO info;
    while (Clock::now() < end) {
        if (p11->C_GetTokenInfo(0, &info) != CKR_OK) return 4;
        std::this_thread::sleep_for(pause);
    }
    return 0;
}

// The child of a fork: what an application that forks and execs, or forks a
// worker that uses the card itself, does.
[[noreturn]] void forkedChild(bool initialise) {
    if (initialise) {
        if (p11->C_Initialize(nullptr) != CKR_OK) _exit(5);
        CK_ULONG slots = 0;
        if (p11->C_GetSlotList(CK_FALSE, nullptr, &slots) != CKR_OK || slots == 0) _exit(6);
        CK_TOKEN_INFO info;
        if (p11->C_GetTokenInfo(0, &info) != CKR_OK) _exit(7);
        if (p11->C_Finalize(nullptr) != CKR_OK) _exit(8);
    }
    std::exit(0);
}

// 0 when the child exited with 0, 1 when it failed, 2 when it hung.
int reap(pid_t pid) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return 2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

int forkStorm(const char* forks) {
    const CK_SESSION_HANDLE session = openSession();
    if (session == 0) return 3;
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> calls{0};
    std::thread caller([&] {
        while (!stop) {
            search(session);
            ++calls;
        }
    });
    const int total = std::atoi(forks);
    int hung = 0;
    int failed = 0;
    for (int i = 0; i < total; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) forkedChild(i % 10 == 0);
        if (pid < 0) {
            ++failed;
            continue;
        }
        const int result = reap(pid);
        hung += result == 2;
        failed += result == 1;
    }
    stop = true;
    caller.join();
    std::printf("forks=%d hung=%d failed=%d calls=%lu\n", total, hung, failed, calls.load());
    return hung == 0 && failed == 0 ? 0 : 9;
}

int daemonAfterCall(const char* pin, const char* seconds, const char* pidFile) {
    const CK_SESSION_HANDLE session = openSession();
    if (session == 0) return 3;
    if (p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)),
                     std::strlen(pin)) != CKR_OK) {
        return 4;
    }
    if (!search(session)) return 5;
    std::fflush(stdout);
    // The parent of daemon() leaves with _exit right here.
    if (::daemon(1, 1) != 0) return 6;
    if (std::FILE* file = std::fopen(pidFile, "w")) {
        std::fprintf(file, "%d\n", static_cast<int>(::getpid()));
        std::fclose(file);
    }
    std::this_thread::sleep_until(after(seconds));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: cardhost MODULE busy|poll|forkstorm|daemon ...\n");
        return 2;
    }
    void* module = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 1;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"));
    if (getList == nullptr || getList(&p11) != CKR_OK) return 1;
    if (p11->C_Initialize(nullptr) != CKR_OK) return 1;
    const std::string mode = argv[2];
    int status = 2;
    if (mode == "busy") status = busy(argv[3]);
    if (mode == "poll" && argc == 5) status = poll(argv[3], argv[4]);
    if (mode == "forkstorm") status = forkStorm(argv[3]);
    if (mode == "daemon" && argc == 6) status = daemonAfterCall(argv[3], argv[4], argv[5]);
    std::fflush(stdout);
    p11->C_Finalize(nullptr);
    return status;
}
