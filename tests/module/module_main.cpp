// One program, two CTest registrations. Without ZENTRIK_MODULE_TEST_TRACE the
// module runs with its built-in configuration (no trace log) and the
// behaviour suites run. With it, main() first writes a configuration that
// turns the log on into a fresh directory and points ZENTRIK_CONF at it; the
// module reads its configuration once per process, so this has to happen
// before the module is first called, and only the trace suites run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#ifdef ZENTRIK_MODULE_TEST_BENCH
#include "bench/bench.h"
#endif
#include "exitchild.h"
#include "traceconfig.h"

namespace fs = std::filesystem;

namespace {

bool prepareTraceConfiguration() {
    char pattern[] = "/tmp/zentrik-module-trace-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::cerr << "cannot create a directory for the trace log\n";
        return false;
    }
    fs::path directory(pattern);
    fs::create_directories(directory / "log");
    std::ofstream(directory / "zentrik.txt") << "loglevel = 1\nlogpath = " << (directory / "log").string()
                                             << "\n";
    setenv("ZENTRIK_CONF", (directory / "zentrik.txt").c_str(), 1);
    setenv("HOME", directory.c_str(), 1);
    traceconfig::setDirectory(directory.string());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // A child started by the exit suites (exit_test.cpp) plays its role only.
    const char* exitChild = std::getenv(exitchild::ENVIRONMENT_VARIABLE);
    if (exitChild != nullptr && exitChild[0] != '\0') {
        return exitchild::run(exitChild);
    }
    ::testing::InitGoogleTest(&argc, argv);
    const char* trace = std::getenv("ZENTRIK_MODULE_TEST_TRACE");
    bool traceRun = trace != nullptr && trace[0] == '1';
    if (traceRun) {
        if (!prepareTraceConfiguration()) {
            return 1;
        }
        ::testing::GTEST_FLAG(filter) = "ModuleTrace*";
    } else {
        // Never pick up a configuration from the developer's environment.
        unsetenv("ZENTRIK_CONF");
        ::testing::GTEST_FLAG(filter) = "-ModuleTrace*";
    }
#ifdef ZENTRIK_MODULE_TEST_BENCH
    // C_Initialize lists the PC/SC readers, so it needs the service: a
    // private pcscd with the bench's readers (no cards) serves the whole run.
    std::unique_ptr<bench::Bench> pcsc;
    if (bench::Bench::toolsAvailable()) {
        try {
            pcsc = std::make_unique<bench::Bench>();
        } catch (const std::exception& e) {
            std::cerr << "no private pcscd: " << e.what() << "\n";
        }
    }
#endif
    int result = RUN_ALL_TESTS();
    if (traceRun) {
        std::error_code ignored;
        fs::remove_all(traceconfig::directory(), ignored);
    }
    return result;
}
