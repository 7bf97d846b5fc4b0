#include "signers.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/pcscclient.h"

extern char** environ;

namespace perf {

namespace {

constexpr const char* PIN = "1234";

long long wallMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Child {
    pid_t pid = -1;
    int output = -1;
};

Child spawnSigner(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Child child;
    const int rc = ::posix_spawn(&child.pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        throw std::runtime_error("cannot start a signer process");
    }
    child.output = fds[0];
    return child;
}

std::string readAll(int fd) {
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

}  // namespace

SignerResult runSigners(int processes, const std::string& reader, const Bytes& keyId, double seconds) {
    // Room for every process to load the module and log in before the start.
    const long long start = wallMillis() + 1500 + 500LL * processes;
    std::vector<Child> children;
    for (int i = 0; i < processes; ++i) {
        children.push_back(spawnSigner({"zentrik-perf", "--signer", reader, bench::toHex(keyId),
                                        std::to_string(start), std::to_string(seconds)}));
    }
    SignerResult result;
    result.processes = processes;
    result.seconds = seconds;
    for (Child& child : children) {
        const std::string text = readAll(child.output);
        int status = 0;
        ::waitpid(child.pid, &status, 0);
        long signatures = 0, errors = 0, unverified = 0;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
            std::sscanf(text.c_str(), "%ld %ld %ld", &signatures, &errors, &unverified) != 3) {
            ++result.errors;
            continue;
        }
        result.signatures += signatures;
        result.errors += errors;
        result.unverified += unverified;
    }
    return result;
}

int signerMain(const std::string& reader, const std::string& keyIdHex, long long startMs, double seconds) {
    try {
        CK_FUNCTION_LIST_PTR p11 = loadModule();
        check(p11->C_Initialize(nullptr), "C_Initialize");
        const CK_SESSION_HANDLE session = openLoggedIn(p11, slotOfReader(p11, reader), PIN);
        Bytes id = bench::fromHex(keyIdHex);
        CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY, publicClass = CKO_PUBLIC_KEY;
        const auto privateKeys = find(p11, session, {{CKA_CLASS, &privateClass, sizeof privateClass},
                                                     {CKA_ID, id.data(), id.size()}});
        const auto publicKeys = find(p11, session, {{CKA_CLASS, &publicClass, sizeof publicClass},
                                                    {CKA_ID, id.data(), id.size()}});
        if (privateKeys.size() != 1 || publicKeys.size() != 1) throw std::runtime_error("the key pair is missing");
        const PublicKey publicKey(attribute(p11, session, publicKeys[0], CKA_MODULUS),
                                  attribute(p11, session, publicKeys[0], CKA_PUBLIC_EXPONENT));
        const long long now = wallMillis();
        if (startMs > now) std::this_thread::sleep_for(std::chrono::milliseconds(startMs - now));
        const long long end = startMs + static_cast<long long>(seconds * 1000);
        long signatures = 0, errors = 0, unverified = 0;
        for (int i = 0; wallMillis() < end; ++i) {
            const Bytes data = digestInfo("message " + std::to_string(::getpid()) + " " + std::to_string(i));
            try {
                const Bytes signature = sign(p11, session, privateKeys[0], data);
                ++signatures;
                if (!publicKey.verifies(data, signature)) ++unverified;
            } catch (const std::exception& e) {
                std::fprintf(stderr, "signer %d: %s\n", static_cast<int>(::getpid()), e.what());
                ++errors;
            }
        }
        p11->C_Finalize(nullptr);
        std::printf("%ld %ld %ld\n", signatures, errors, unverified);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "signer %d: %s\n", static_cast<int>(::getpid()), e.what());
        return 1;
    }
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace perf
