#include "bench/childprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

// Every running child, for the signal handlers: fixed slots so that the
// handler touches nothing but atomics and kill().
constexpr std::size_t MAX_CHILDREN = 256;
std::array<std::atomic<pid_t>, MAX_CHILDREN> g_children{};

void registerChild(pid_t pid) {
    for (auto& slot : g_children) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) return;
    }
}

void unregisterChild(pid_t pid) {
    for (auto& slot : g_children) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

// Stops the children and reaps them (for up to two seconds) before the
// process goes down the way the signal meant.
extern "C" void onFatalSignal(int sig) {
    for (auto& slot : g_children) {
        pid_t pid = slot.load();
        if (pid > 0) ::kill(pid, SIGTERM);
    }
    for (int round = 0; round < 200; ++round) {
        bool waiting = false;
        for (auto& slot : g_children) {
            pid_t pid = slot.load();
            if (pid <= 0) continue;
            if (::waitpid(pid, nullptr, WNOHANG) == 0) {
                waiting = true;
            } else {
                slot.store(0);
            }
        }
        if (!waiting) break;
        struct timespec pause{0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void installHandlersOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction old{};
            ::sigaction(sig, nullptr, &old);
            if (old.sa_handler != SIG_DFL) continue;  // somebody else handles it
            struct sigaction sa{};
            sa.sa_handler = onFatalSignal;
            sigemptyset(&sa.sa_mask);
            ::sigaction(sig, &sa, nullptr);
        }
    });
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logPath) {
    if (argv.empty()) throw std::runtime_error("ChildProcess: empty command");
    installHandlersOnce();
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) throw std::runtime_error("ChildProcess: cannot open " + logPath + ": " + std::strerror(errno));
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(log);
    if (pid < 0) throw std::runtime_error(std::string("ChildProcess: fork failed: ") + std::strerror(errno));
    pid_ = pid;
    registerChild(pid);
}

ChildProcess::~ChildProcess() { stop(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), status_(other.status_) {
    other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        status_ = other.status_;
        other.pid_ = -1;
    }
    return *this;
}

bool ChildProcess::running() {
    if (pid_ <= 0) return false;
    return reap(std::chrono::milliseconds(0)) < 0 && pid_ > 0;
}

// Returns the wait status once the child has ended, -1 while it runs.
int ChildProcess::reap(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            status_ = r == pid_ ? status : -1;  // ECHILD: reaped elsewhere
            unregisterChild(pid_);
            pid_ = -1;
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return -1;
    pid_t pid = pid_;
    ::kill(pid, SIGTERM);
    int status = reap(grace);
    if (pid_ > 0) {
        ::kill(pid, SIGKILL);
        status = reap(std::chrono::seconds(10));
    }
    return status;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    int status = reap(timeout);
    if (pid_ > 0) {
        stop(std::chrono::milliseconds(100));
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runCommand(const std::vector<std::string>& argv, const std::string& logPath, std::chrono::milliseconds timeout) {
    ChildProcess child(argv, logPath);
    return child.wait(timeout);
}

}  // namespace bench
