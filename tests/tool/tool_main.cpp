// The tool suite's process: a configuration of its own (trace log on, cache
// in the run's directory) written before the module is first loaded, here
// or in a child; children inherit ZENTRIK_CONF and the bench's socket.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "sessionbench.h"

namespace fs = std::filesystem;

namespace sessiontest {
namespace {

std::string& storedDirectory() {
    static std::string directory;
    return directory;
}

bool prepareConfiguration() {
    char pattern[] = "/tmp/zentrik-tool-tests-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::cerr << "cannot create a directory for the configuration\n";
        return false;
    }
    const fs::path directory(pattern);
    fs::create_directories(directory / "log");
    std::ofstream config(directory / "zentrik.txt");
    config << "loglevel = 1\nlogpath = " << (directory / "log").string() << "\n"
           << "cache = " << (directory / "cache").string() << "\n";
    setenv("ZENTRIK_CONF", (directory / "zentrik.txt").c_str(), 1);
    setenv("HOME", directory.c_str(), 1);
    storedDirectory() = directory.string();
    return true;
}

}  // namespace

const std::string& variant() {
    static const std::string none;
    return none;
}

const std::string& workDirectory() { return storedDirectory(); }

}  // namespace sessiontest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!sessiontest::prepareConfiguration()) return 1;
    const int result = RUN_ALL_TESTS();
    sessiontest::SessionBench::shutDown();
    std::error_code ignored;
    fs::remove_all(sessiontest::workDirectory(), ignored);
    return result;
}
