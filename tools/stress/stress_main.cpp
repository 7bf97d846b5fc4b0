// zentrik-stress [--processes P] [--threads T] [--rounds R]
//
// P processes (this program started again with --worker), each loading the
// module and calling C_Initialize on its own, each with T threads that have a
// session of their own, work on one simulated card behind the bench's pcscd
// for R rounds: create a data object and a certificate, read them back,
// rename the data object, sign with the card's RSA key and verify with
// OpenSSL, destroy the previous round's objects. After every round each
// thread checks that what it created is on the card with the value written,
// that what it destroyed is gone, and that a listing holds exactly its live
// data objects. Prints the totals; exits non-zero unless errors, stale reads
// and lost objects are all zero.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "stressworker.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* READER = "Zentrik Virtual 00 00";
constexpr const char* PIN = "7310";
constexpr const char* KEY_LABEL = "stress signing key";

struct Options {
    int processes = 4;
    int threads = 2;
    int rounds = 5;
    int worker = -1;     // >= 0: this is worker process number `worker`
    int reportFd = -1;   // where a worker writes its figures
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (name == "--processes") options.processes = std::clamp(value, 1, 32);
        else if (name == "--threads") options.threads = std::clamp(value, 1, 16);
        else if (name == "--rounds") options.rounds = std::clamp(value, 1, 1000000);
        else if (name == "--worker") options.worker = value;
        else if (name == "--report-fd") options.reportFd = value;
        else throw std::invalid_argument("unknown option " + name);
    }
    return options;
}

int runAsWorker(const Options& options) {
    stress::WorkerOptions worker{options.worker, options.threads, options.rounds, PIN, KEY_LABEL};
    const stress::Figures f = stress::runWorker(worker);
    const std::string line = std::to_string(f.operations) + " " + std::to_string(f.errors) + " " +
                             std::to_string(f.staleReads) + " " + std::to_string(f.lostObjects) + "\n";
    if (::write(options.reportFd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
    ::close(options.reportFd);
    return 0;
}

struct Worker {
    pid_t pid = -1;
    int reportFd = -1;
};

// fork + exec of this program; the child dies with its parent.
Worker startWorker(int number, const Options& options) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args = {"/proc/self/exe",        "--worker", std::to_string(number),
                                     "--threads",             std::to_string(options.threads),
                                     "--rounds",              std::to_string(options.rounds),
                                     "--report-fd",           std::to_string(fds[1])};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        ::close(fds[0]);
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    return Worker{pid, fds[0]};
}

bool collect(const Worker& worker, stress::Figures& total) {
    std::string text;
    char buffer[256];
    for (;;) {
        const ssize_t n = ::read(worker.reportFd, buffer, sizeof buffer);
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR) continue;
        else break;
    }
    ::close(worker.reportFd);
    int status = 0;
    while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
    }
    unsigned long long ops = 0, errors = 0, stale = 0, lost = 0;
    if (std::sscanf(text.c_str(), "%llu %llu %llu %llu", &ops, &errors, &stale, &lost) != 4 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "zentrik-stress: worker %d ended without figures (status %d)\n",
                     static_cast<int>(worker.pid), status);
        return false;
    }
    total.operations += ops;
    total.errors += errors;
    total.staleReads += stale;
    total.lostObjects += lost;
    return true;
}

int runStress(const Options& options) {
    const fs::path work = fs::temp_directory_path() / ("zentrik-stress-" + std::to_string(::getpid()));
    fs::create_directories(work / "cache");
    // Every process shares one cache directory, as the processes of one user do.
    std::ofstream(work / "zentrik.txt") << "cache = " << (work / "cache").string() << "\n";
    ::setenv("ZENTRIK_CONF", (work / "zentrik.txt").c_str(), 1);
    int failures = 0;
    stress::Figures total;
    {
        bench::Bench bench;
        const std::string image =
            bench.personalise("stress.img", {"--user-pin", PIN, "--memory-blocks", "4096", "--key-slots", "1024:2"});
        bench.insert(bench.reader(READER).name, image);
        if (!stress::prepareKey(PIN, KEY_LABEL)) return 1;

        const auto start = std::chrono::steady_clock::now();
        std::vector<Worker> workers;
        for (int p = 0; p < options.processes; ++p) workers.push_back(startWorker(p, options));
        for (const Worker& worker : workers)
            if (!collect(worker, total)) ++failures;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("zentrik-stress: %d processes x %d threads x %d rounds in %.1f s\n", options.processes,
                    options.threads, options.rounds, seconds);
    }
    std::printf("operations %llu\nerrors %llu\nstale reads %llu\nlost objects %llu\nfailed processes %d\n",
                static_cast<unsigned long long>(total.operations), static_cast<unsigned long long>(total.errors),
                static_cast<unsigned long long>(total.staleReads),
                static_cast<unsigned long long>(total.lostObjects), failures);
    std::error_code ignored;
    fs::remove_all(work, ignored);
    const bool clean = failures == 0 && total.errors == 0 && total.staleReads == 0 && total.lostObjects == 0;
    std::printf("%s\n", clean ? "PASS" : "FAIL");
    return clean ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse(argc, argv);
        return options.worker >= 0 ? runAsWorker(options) : runStress(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zentrik-stress: %s\n", e.what());
        return 1;
    }
}
