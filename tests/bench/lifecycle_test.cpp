// Whatever ends a process that runs a bench, the pcscd and card processes it
// started end too.
#include <bench/bench.h>
#include <bench/childprocess.h>
#include <bench/pcscclient.h>

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


// Two benches in two processes at the same time: each client sees only its
// own pcscd and readers, and ending one bench leaves the other working.
TEST(BenchIsolation, BenchesInTwoProcessesNeverMeet) {
    if (!bench::Bench::toolsAvailable()) GTEST_SKIP() << "cardsim or libifdzentrik.so was not built";
    std::string probeLog = (std::filesystem::temp_directory_path() /
                            ("zentrik-unshare-probe-" + std::to_string(::getpid()) + ".log"))
                               .string();
    const bool isolated = bench::runCommand({"/usr/bin/unshare", "-m", "/bin/true"}, probeLog,
                                            std::chrono::seconds(10)) == 0;
    std::filesystem::remove(probeLog);
    if (!isolated) GTEST_SKIP() << "without unshare benches take turns instead of running side by side";

    std::string log = (std::filesystem::temp_directory_path() /
                       ("zentrik-holder-" + std::to_string(::getpid()) + "-isolation.log"))
                          .string();
    std::filesystem::remove(log);
    bench::ChildProcess holder({ZENTRIK_BENCH_HOLDER}, log);
    Started other = readPids(log, holder);
    ASSERT_GT(other.pcscd, 0) << "holder did not start its bench; see " << log;

    bench::BenchConfig config;
    config.readers = {{"Isolation Plain", bench::ReaderSpec::Kind::PLAIN}};
    bench::Bench mine(config);
    EXPECT_NE(other.pcscd, mine.pcscdPid());
    EXPECT_NE(other.dir, mine.directory());
    auto listed = [] {
        bench::PcscClient client;
        return client.readers();
    };
    auto names = listed();
    EXPECT_EQ(3u, names.size());
    for (const auto& name : names) {
        EXPECT_EQ(std::string::npos, name.find("Holder")) << "the other bench's reader is visible: " << name;
    }

    holder.stop();
    EXPECT_TRUE(endsWithin(other.pcscd, std::chrono::seconds(10)));
    std::filesystem::remove(log);
    if (std::filesystem::path(other.dir).filename().string().rfind("zentrik-bench-", 0) == 0)
        std::filesystem::remove_all(other.dir);

    EXPECT_EQ(names, listed());
    std::string image = mine.personalise("isolation.img");
    mine.insert("Isolation Plain", image);
    bench::PcscClient client;
    auto card = client.connect(mine.reader("Isolation Plain").name);
    bench::Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x09, 0xF0, 0x56, 0x58, 0x46, 0x52, 0x01, 0x00, 0x00, 0x41};
    EXPECT_EQ(0x9000, bench::PcscCard::statusWord(card.transmit(select)));
}

}  // namespace
