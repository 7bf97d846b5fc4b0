#include "bench/bench.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <winscard.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace bench {

namespace fs = std::filesystem;

namespace {

constexpr const char* VPCD_DRIVER = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
constexpr const char* FALLBACK_LOCK = "/tmp/zentrik-bench.lock";
constexpr auto READERS_WAIT = std::chrono::seconds(15);

// The directory of this process's benches (see bench.h: pcsc-lite keeps the
// first socket path it sees).
std::string processDirectory() {
    static std::string dir = [] {
        std::string pattern = (fs::temp_directory_path() / "zentrik-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error(std::string("cannot create the bench directory: ") + std::strerror(errno));
        static std::string forCleanup;
        forCleanup = pattern;
        std::atexit([] {
            std::error_code ignored;
            fs::remove_all(forCleanup, ignored);
        });
        return pattern;
    }();
    fs::create_directories(dir);
    return dir;
}

bool unshareWorks(const std::string& dir) {
    static int works = -1;
    if (works < 0) {
        int rc = runCommand({"/usr/bin/unshare", "-m", "/bin/true"}, dir + "/unshare-probe.log",
                            std::chrono::seconds(10));
        works = rc == 0 ? 1 : 0;
    }
    return works == 1;
}

bool portFree(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// A port the kernel considers free now; with `pair`, the next one is free too
// (vpcd listens on PORT and PORT+1).
std::uint16_t pickPort(bool pair, const std::map<std::string, std::uint16_t>& taken) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof addr;
        if (fd < 0) break;
        bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
        ::close(fd);
        if (!bound) continue;
        std::uint16_t port = ntohs(addr.sin_port);
        if (port >= 65535) continue;
        bool clash = false;
        for (auto& [name, p] : taken) clash = clash || p == port || p == port + 1 || port == p + 1;
        if (clash || (pair && !portFree(static_cast<std::uint16_t>(port + 1)))) continue;
        return port;
    }
    throw std::runtime_error("no free TCP port for a reader");
}

}  // namespace

std::string Bench::cardsimPath() { return ZENTRIK_BENCH_CARDSIM; }
std::string Bench::driverPath() { return ZENTRIK_BENCH_DRIVER; }

bool Bench::toolsAvailable() {
    return !cardsimPath().empty() && ::access(cardsimPath().c_str(), X_OK) == 0 && !driverPath().empty() &&
           ::access(driverPath().c_str(), R_OK) == 0;
}

Bench::Bench(BenchConfig config) : config_(std::move(config)), dir_(processDirectory()) {
    isolated_ = unshareWorks(dir_);
    if (isolated_) {
        ::setenv("PCSCLITE_CSOCK_NAME", socketPath().c_str(), 1);
    } else {
        lockFd_ = ::open(FALLBACK_LOCK, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX) != 0)
            throw std::runtime_error(std::string("cannot lock ") + FALLBACK_LOCK);
    }
    try {
        assignPorts();
        startPcscd();
    } catch (...) {
        pcscd_.reset();
        if (lockFd_ >= 0) ::close(lockFd_);
        throw;
    }
}

Bench::~Bench() {
    cards_.clear();  // each ChildProcess stops its serve process
    pcscd_.reset();
    std::error_code ignored;
    fs::remove_all(fs::path(dir_) / "conf", ignored);
    for (const auto& entry : fs::directory_iterator(dir_, ignored)) {
        if (entry.path().filename() != "pcscd.comm") fs::remove_all(entry.path(), ignored);
    }
    if (lockFd_ >= 0) ::close(lockFd_);
}

std::string Bench::socketPath() const { return isolated_ ? dir_ + "/pcscd.comm" : "/run/pcscd/pcscd.comm"; }

std::string Bench::logPath(const std::string& name) const { return dir_ + "/" + name + ".log"; }

void Bench::assignPorts() {
    std::map<std::string, std::uint16_t> kept;
    if (config_.vpcd) {
        auto it = ports_.find("vpcd:" + config_.vpcdName);
        kept["vpcd:" + config_.vpcdName] = it != ports_.end() ? it->second : pickPort(true, ports_);
    }
    for (const auto& r : config_.readers) {
        auto it = ports_.find(r.name);
        std::uint16_t port = it != ports_.end() ? it->second : 0;
        if (port == 0) {
            auto all = ports_;
            all.insert(kept.begin(), kept.end());
            port = pickPort(false, all);
        }
        kept[r.name] = port;
    }
    for (auto& [name, port] : kept) ports_[name] = port;
}

void Bench::writeConfiguration() const {
    fs::path conf = fs::path(dir_) / "conf";
    fs::remove_all(conf);
    fs::create_directories(conf);
    if (config_.vpcd) {
        std::uint16_t port = ports_.at("vpcd:" + config_.vpcdName);
        std::ofstream out(conf / "vpcd.conf");
        out << "FRIENDLYNAME \"" << config_.vpcdName << "\"\nDEVICENAME /dev/null:" << port << "\nLIBPATH "
            << VPCD_DRIVER << "\nCHANNELID " << port << "\n";
    }
    if (!config_.readers.empty()) {
        std::ofstream out(conf / "zentrik.conf");
        for (const auto& r : config_.readers) {
            out << "FRIENDLYNAME \"" << r.name << "\"\nDEVICENAME "
                << (r.kind == ReaderSpec::Kind::PINPAD ? "pinpad:" : "plain:") << ports_.at(r.name) << "\nLIBPATH "
                << driverPath() << "\n\n";
        }
    }
}

void Bench::startPcscd() {
    if (pcscd_) return;
    writeConfiguration();
    std::string conf = dir_ + "/conf";
    if (isolated_) {
        ::mkdir("/run/pcscd", 0755);
        // unshare and sh exec their successors, so the PID is pcscd's own.
        pcscd_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                                     "mount --make-rprivate / && mount --bind \"$0\" /run/pcscd && exec pcscd -f -c \"$1\"",
                                     dir_, conf},
            logPath("pcscd"));
    } else {
        pcscd_ = std::make_unique<ChildProcess>(std::vector<std::string>{"/usr/sbin/pcscd", "-f", "-c", conf},
                                                logPath("pcscd"));
    }
    waitForReaders();
}

void Bench::stopPcscd() {
    if (!pcscd_) return;
    pcscd_->stop();
    pcscd_.reset();
    readers_.clear();
}

void Bench::restart(BenchConfig config) {
    stopPcscd();
    config_ = std::move(config);
    assignPorts();
    startPcscd();
}

// pcscd names a reader "<FRIENDLYNAME> <instance> <slot>", the instance being
// counted per driver library; the bench matches readers by their prefix.
void Bench::waitForReaders() {
    std::size_t expected = (config_.vpcd ? 2 : 0) + config_.readers.size();
    auto deadline = std::chrono::steady_clock::now() + READERS_WAIT;
    std::vector<std::string> names;
    for (;;) {
        if (pcscd_ && !pcscd_->running())
            throw std::runtime_error("pcscd ended during start-up; see " + logPath("pcscd"));
        try {
            PcscClient client(std::chrono::milliseconds(200));
            names = client.readers();
        } catch (const PcscError&) {
            names.clear();
        }
        if (names.size() >= expected) break;
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("pcscd did not list its readers; see " + logPath("pcscd"));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    readers_.clear();
    for (const auto& n : names) {
        if (config_.vpcd && n.rfind(config_.vpcdName + " ", 0) == 0) {
            std::uint16_t base = ports_.at("vpcd:" + config_.vpcdName);
            bool second = n.size() >= 2 && n.compare(n.size() - 2, 2, "01") == 0;
            readers_.push_back({n, static_cast<std::uint16_t>(base + (second ? 1 : 0)), false});
            continue;
        }
        for (const auto& r : config_.readers) {
            if (n.rfind(r.name + " ", 0) == 0)
                readers_.push_back({n, ports_.at(r.name), r.kind == ReaderSpec::Kind::PINPAD});
        }
    }
}

const Reader& Bench::reader(const std::string& name) const {
    const Reader* found = nullptr;
    for (const auto& r : readers_) {
        if (r.name == name) return r;
        if (r.name.rfind(name, 0) == 0) {
            if (found) throw std::runtime_error("reader name \"" + name + "\" is ambiguous");
            found = &r;
        }
    }
    if (!found) throw std::runtime_error("no reader \"" + name + "\" on the bench");
    return *found;
}

std::string Bench::personalise(const std::string& fileName, const std::vector<std::string>& initArgs) {
    std::string image = dir_ + "/" + fileName;
    std::vector<std::string> argv{cardsimPath(), "init", image, "--force"};
    argv.insert(argv.end(), initArgs.begin(), initArgs.end());
    int rc = runCommand(argv, logPath("cardsim-init"));
    if (rc != 0) throw std::runtime_error("cardsim init failed; see " + logPath("cardsim-init"));
    return image;
}

CardControl Bench::insert(const std::string& readerName, const std::string& imagePath) {
    const Reader& r = reader(readerName);
    if (cards_.count(r.name)) throw std::runtime_error("a card is already in " + r.name);
    std::string control = dir_ + "/card-" + std::to_string(r.port) + ".sock";
    Card card;
    card.controlPath = control;
    card.process = std::make_unique<ChildProcess>(
        std::vector<std::string>{cardsimPath(), "serve", imagePath, "--port", std::to_string(r.port), "--control",
                                 control},
        logPath("serve-" + std::to_string(r.port)));
    cards_[r.name] = std::move(card);
    if (!waitForCard(r.name, true)) {
        cards_.erase(r.name);
        throw std::runtime_error("pcscd did not see the card in " + r.name + "; see " +
                                 logPath("serve-" + std::to_string(r.port)));
    }
    return CardControl(control);
}

void Bench::remove(const std::string& readerName) {
    const Reader& r = reader(readerName);
    auto it = cards_.find(r.name);
    if (it == cards_.end()) return;
    cards_.erase(it);
    if (!waitForCard(r.name, false)) throw std::runtime_error("pcscd still reports a card in " + r.name);
}

CardControl Bench::control(const std::string& readerName) const {
    const Reader& r = reader(readerName);
    auto it = cards_.find(r.name);
    if (it == cards_.end()) throw std::runtime_error("no card in " + r.name);
    return CardControl(it->second.controlPath);
}

pid_t Bench::cardPid(const std::string& readerName) const {
    auto it = cards_.find(reader(readerName).name);
    return it == cards_.end() ? -1 : it->second.process->pid();
}

void Bench::resetCard(const std::string& readerName) {
    PcscClient second;
    PcscCard card = second.connect(reader(readerName).name);
    std::uint32_t rv = card.disconnect(SCARD_RESET_CARD);
    if (rv != SCARD_S_SUCCESS) throw PcscError("SCardDisconnect(SCARD_RESET_CARD)", rv);
}

bool Bench::waitForCard(const std::string& readerName, bool present, std::chrono::milliseconds timeout) {
    PcscClient client;
    auto name = reader(readerName).name;
    if (present) {
        // The card must also be reachable over its control socket.
        auto it = cards_.find(name);
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (it != cards_.end() && ::access(it->second.controlPath.c_str(), F_OK) != 0) {
            if (!it->second.process->running() || std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return client.waitForCard(name, present, timeout);
}

}  // namespace bench
