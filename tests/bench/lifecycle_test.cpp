// Whatever ends a process that runs a bench, the pcscd and card processes it
// started end too.
#include <bench/bench.h>
#include <bench/childprocess.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    if (!(stat >> pidField >> name >> state)) return false;
    return state != "Z" && state != "X";
}

bool endsWithin(pid_t pid, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (alive(pid)) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

struct Started {
    pid_t pcscd = -1;
    pid_t serve = -1;
    std::string dir;
};

Started readPids(const std::string& log, bench::ChildProcess& holder) {
    Started s;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && holder.running()) {
        std::ifstream in(log);
        std::string word, value;
        while (in >> word >> value) {
            if (word == "pcscd") s.pcscd = std::stoi(value);
            if (word == "serve") s.serve = std::stoi(value);
            if (word == "dir") s.dir = value;
        }
        if (s.pcscd > 0 && s.serve > 0 && !s.dir.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return s;
}

class BenchLifecycle : public ::testing::TestWithParam<int> {};

TEST_P(BenchLifecycle, StartedProcessesEndWithTheBenchProcess) {
    if (!bench::Bench::toolsAvailable()) GTEST_SKIP() << "cardsim or libifdzentrik.so was not built";
    std::string log = (std::filesystem::temp_directory_path() /
                       ("zentrik-holder-" + std::to_string(::getpid()) + "-" + std::to_string(GetParam()) + ".log"))
                          .string();
    std::filesystem::remove(log);
    bench::ChildProcess holder({ZENTRIK_BENCH_HOLDER}, log);
    Started started = readPids(log, holder);
    ASSERT_GT(started.pcscd, 0) << "holder did not start its bench; see " << log;
    ASSERT_GT(started.serve, 0);
    EXPECT_TRUE(alive(started.pcscd));
    EXPECT_TRUE(alive(started.serve));

    ::kill(holder.pid(), GetParam());
    EXPECT_TRUE(endsWithin(started.pcscd, std::chrono::seconds(10))) << "pcscd " << started.pcscd;
    EXPECT_TRUE(endsWithin(started.serve, std::chrono::seconds(10))) << "cardsim serve " << started.serve;
    holder.stop();
    std::filesystem::remove(log);
    // A process killed by a signal leaves its bench directory behind.
    if (std::filesystem::path(started.dir).filename().string().rfind("zentrik-bench-", 0) == 0)
        std::filesystem::remove_all(started.dir);
}

INSTANTIATE_TEST_SUITE_P(Signals, BenchLifecycle, ::testing::Values(SIGTERM, SIGINT, SIGKILL),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == SIGTERM ? std::string("SIGTERM")
                                    : info.param == SIGINT ? std::string("SIGINT")
                                                           : std::string("SIGKILL");
                         });

}  // namespace
