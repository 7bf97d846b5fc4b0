// One program, several CTest registrations. Each run writes a configuration
// of its own before the module is first called (the module reads it once per
// process): the trace log on, the cache in the run's directory, and with
// ZENTRIK_SESSIONS_VARIANT "nocache" an empty cache setting or with
// "nopinpad" the pin pad turned off ("faults" too: its card sits in the
// pin-pad reader for quick removals). "nohold" says "cardhold = 0" and runs
// the suites whose card traffic depends on the card hold with one card
// transaction per call. Each variant runs only its own suites.
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
    char pattern[] = "/tmp/zentrik-sessions-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::cerr << "cannot create a directory for the configuration\n";
        return false;
    }
    const fs::path directory(pattern);
    fs::create_directories(directory / "log");
    std::ofstream config(directory / "zentrik.txt");
    config << "loglevel = 1\nlogpath = " << (directory / "log").string() << "\n";
    if (variant() == "nocache") {
        config << "cache =\n";
    } else {
        config << "cache = " << (directory / "cache").string() << "\n";
    }
    if (variant() == "nopinpad" || variant() == "faults") config << "disablepinpad = 1\n";
    if (variant() == "nohold") config << "cardhold = 0\n";
    setenv("ZENTRIK_CONF", (directory / "zentrik.txt").c_str(), 1);
    setenv("HOME", directory.c_str(), 1);
    storedDirectory() = directory.string();
    return true;
}

}  // namespace

const std::string& variant() {
    static const std::string value = [] {
        const char* text = std::getenv("ZENTRIK_SESSIONS_VARIANT");
        return std::string(text != nullptr ? text : "");
    }();
    return value;
}

const std::string& workDirectory() { return storedDirectory(); }

}  // namespace sessiontest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!sessiontest::prepareConfiguration()) return 1;
    if (::testing::GTEST_FLAG(filter) == "*") {
        const std::string& variant = sessiontest::variant();
        ::testing::GTEST_FLAG(filter) = variant == "nocache"    ? "NoCache.*"
                                        : variant == "nopinpad" ? "NoPinPad.*"
                                        : variant == "faults"   ? "Faults.*"
                                        : variant == "nohold"   ? "Cache.*:CallCost.*:Login.*:ObjectClients.*"
                                                                : "-NoCache.*:NoPinPad.*:Faults.*";
    }
    const int result = RUN_ALL_TESTS();
    sessiontest::SessionBench::shutDown();
    std::error_code ignored;
    fs::remove_all(sessiontest::workDirectory(), ignored);
    return result;
}
