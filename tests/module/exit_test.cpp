// The module at process exit. Applications (and libraries such as OpenSSL's
// PKCS#11 engines) often finalise from an exit handler registered before the
// module was loaded; that handler runs after the module's static destructors.
// Others never finalise, so the module's own static destructors meet an
// initialised slot table. Either way the process must end normally and
// promptly. Each case runs in a child process of this program.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "exitchild.h"
#include "loadedmodule.h"

extern char** environ;

namespace exitchild {

namespace {

CK_FUNCTION_LIST_PTR savedList = nullptr;

void finalizeAtExit() {
    const CK_RV rv = savedList->C_Finalize(nullptr);
    std::printf("C_Finalize at exit %lu\n", static_cast<unsigned long>(rv));
    std::fflush(stdout);
}

}  // namespace

int run(const char* mode) {
    const std::string role(mode);
    const bool finalizeLater = role != INITIALIZED_NO_FINALIZE;
    // Registered before the module is loaded, so it runs after the module's
    // static destructors.
    if (finalizeLater && std::atexit(finalizeAtExit) != 0) {
        return 3;
    }
    savedList = LoadedModule::instance().list();
    if (role != UNINITIALIZED_FINALIZE_AT_EXIT) {
        const CK_RV rv = savedList->C_Initialize(nullptr);
        std::printf("C_Initialize %lu\n", static_cast<unsigned long>(rv));
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace exitchild

namespace {

struct ChildResult {
    bool finished = false;
    int exitCode = -1;
    std::string output;
};

// Runs this program in the child role `mode`; a child that has not ended
// after `limit` is killed (by its process id) and reported unfinished. With
// `keepLeakCheck` false a sanitizer build does not count memory still held at
// exit (a process that never finalises leaves its PC/SC context to the system).
ChildResult runChild(const char* mode, std::chrono::seconds limit, bool keepLeakCheck = true) {
    ChildResult result;
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return result;
    }
    std::vector<std::string> environment;
    const std::string asanOptions = "ASAN_OPTIONS=";
    std::string sanitizer = asanOptions;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, asanOptions.c_str(), asanOptions.size()) == 0) {
            sanitizer = *entry;
        } else if (std::strncmp(*entry, exitchild::ENVIRONMENT_VARIABLE,
                                std::strlen(exitchild::ENVIRONMENT_VARIABLE)) != 0) {
            environment.emplace_back(*entry);
        }
    }
    if (!keepLeakCheck) {
        sanitizer += sanitizer.size() > asanOptions.size() ? ":detect_leaks=0" : "detect_leaks=0";
    }
    if (sanitizer.size() > asanOptions.size()) {
        environment.push_back(sanitizer);
    }
    environment.push_back(std::string(exitchild::ENVIRONMENT_VARIABLE) + "=" + mode);
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    char* argv[] = {self.data(), nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        return result;
    }

    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (ended == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else {
        result.finished = true;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    char chunk[256];
    ssize_t got;
    while ((got = read(pipeEnds[0], chunk, sizeof chunk)) > 0) {
        result.output.append(chunk, static_cast<std::size_t>(got));
    }
    close(pipeEnds[0]);
    return result;
}

std::string line(const char* text, CK_RV rv) { return text + std::to_string(rv) + "\n"; }

constexpr std::chrono::seconds CHILD_LIMIT{15};

TEST(ModuleAtExit, FinalizeFromAnExitHandlerBeforeInitializeIsNotInitialized) {
    const ChildResult child = runChild(exitchild::UNINITIALIZED_FINALIZE_AT_EXIT, CHILD_LIMIT);
    ASSERT_TRUE(child.finished) << "the child hung at exit; output:\n" << child.output;
    EXPECT_EQ(0, child.exitCode) << child.output;
    EXPECT_EQ(line("C_Finalize at exit ", CKR_CRYPTOKI_NOT_INITIALIZED), child.output);
}

TEST(ModuleAtExit, FinalizeFromAnExitHandlerReleasesTheSlotTable) {
    const ChildResult child = runChild(exitchild::INITIALIZED_FINALIZE_AT_EXIT, CHILD_LIMIT);
    ASSERT_TRUE(child.finished) << "the child hung at exit; output:\n" << child.output;
    EXPECT_EQ(0, child.exitCode) << child.output;
    EXPECT_EQ(line("C_Initialize ", CKR_OK) + line("C_Finalize at exit ", CKR_OK), child.output);
}

TEST(ModuleAtExit, ExitWithoutFinalizeEndsNormally) {
    const ChildResult child = runChild(exitchild::INITIALIZED_NO_FINALIZE, CHILD_LIMIT, false);
    ASSERT_TRUE(child.finished) << "the child hung at exit; output:\n" << child.output;
    EXPECT_EQ(0, child.exitCode) << child.output;
    EXPECT_EQ(line("C_Initialize ", CKR_OK), child.output);
}

}  // namespace
