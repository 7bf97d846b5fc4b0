// One program, several CTest registrations. Each run gets a configuration of
// its own, written before the module is first called (the module reads it
// once per process), with the trace log on. With ZENTRIK_SLOTS_SETTING the
// run writes that value as pkcs11.slots and runs only the slot count suite;
// without it, every other suite runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "slotbench.h"

namespace fs = std::filesystem;

namespace slottest {
namespace {

std::string& storedDirectory() {
    static std::string directory;
    return directory;
}

const char* settingText() {
    const char* text = std::getenv("ZENTRIK_SLOTS_SETTING");
    return text != nullptr && text[0] != '\0' ? text : nullptr;
}

bool prepareConfiguration() {
    char pattern[] = "/tmp/zentrik-slots-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::cerr << "cannot create a directory for the configuration\n";
        return false;
    }
    const fs::path directory(pattern);
    fs::create_directories(directory / "log");
    std::ofstream config(directory / "zentrik.txt");
    config << "loglevel = 1\nlogpath = " << (directory / "log").string() << "\n";
    if (settingText() != nullptr) config << "pkcs11.slots = " << settingText() << "\n";
    setenv("ZENTRIK_CONF", (directory / "zentrik.txt").c_str(), 1);
    setenv("HOME", directory.c_str(), 1);
    storedDirectory() = directory.string();
    return true;
}

}  // namespace

bool slotSettingGiven() { return settingText() != nullptr; }
long slotSetting() { return settingText() != nullptr ? std::strtol(settingText(), nullptr, 10) : 0; }
const std::string& workDirectory() { return storedDirectory(); }

}  // namespace slottest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!slottest::prepareConfiguration()) return 1;
    if (::testing::GTEST_FLAG(filter) == "*") {
        ::testing::GTEST_FLAG(filter) =
            slottest::slotSettingGiven() ? "SlotCountSetting.*" : "-SlotCountSetting.*";
    }
    const int result = RUN_ALL_TESTS();
    slottest::SlotBench::shutDown();
    std::error_code ignored;
    fs::remove_all(slottest::workDirectory(), ignored);
    return result;
}
