// A program the bench starts (pcscd, `cardsim serve`). Stopped by its PID, on
// every path: explicitly, by the destructor, by the bench's signal handlers
// (SIGINT, SIGTERM, SIGHUP), and by the kernel when the bench process dies
// without cleaning up (the child asks for SIGTERM on its parent's death).
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

class ChildProcess {
public:
    ChildProcess() = default;
    // Starts argv[0] (a path) with stdout and stderr appended to logPath.
    // Throws std::runtime_error when it cannot be started.
    ChildProcess(const std::vector<std::string>& argv, const std::string& logPath);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // SIGTERM, then SIGKILL after the grace period; returns the wait status
    // (or -1 when nothing was running).
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
    // Waits for a child that ends by itself (a command such as `cardsim init`);
    // kills it after the timeout. Returns the exit code, -1 for a signal.
    int wait(std::chrono::milliseconds timeout);

private:
    int reap(std::chrono::milliseconds timeout);
    pid_t pid_ = -1;
    int status_ = -1;
};

// Runs a command to completion; returns its exit code (-1 when killed).
int runCommand(const std::vector<std::string>& argv, const std::string& logPath,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace bench
