// The Logger and the Configuration are process singletons that read the
// configuration file on first use. Each CTest registration of this program
// runs it with its own ZENTRIK_CONF path, HOME and ZENTRIK_TEST_LOGGER_MODE;
// main() writes the configuration file for that mode before anything touches
// the singletons, then runs the tests that belong to the mode.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "logger_test_support.h"

namespace fs = std::filesystem;

namespace loggertest {

std::string logDirectory() {
    const char* conf = std::getenv("ZENTRIK_CONF");
    return (fs::path(conf != nullptr ? conf : ".").parent_path() / "logs").string();
}

std::string mode() {
    const char* m = std::getenv("ZENTRIK_TEST_LOGGER_MODE");
    return m != nullptr ? m : "";
}

}  // namespace loggertest

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* conf = std::getenv("ZENTRIK_CONF");
    const std::string mode = loggertest::mode();
    if (conf == nullptr || conf[0] == '\0' || mode.empty()) {
        std::cerr << "run through CTest: ZENTRIK_CONF and ZENTRIK_TEST_LOGGER_MODE must be set\n";
        return 1;
    }
    const fs::path confPath(conf);
    fs::remove_all(confPath.parent_path());
    fs::create_directories(confPath.parent_path());
    const std::string logs = loggertest::logDirectory();
    fs::create_directories(logs);

    // The log directory is written without a trailing separator on purpose:
    // the configuration adds it.
    std::ofstream file(confPath, std::ios::binary);
    if (mode == "on") {
        file << "loglevel = 1 \n" << "logpath=" << logs << "\r\n" << "pkcs11.slots = 3\n";
        ::testing::GTEST_FLAG(filter) = "LoggerOn*:ConfigurationSingleton*";
    } else if (mode == "absent") {
        file << "logpath=" << logs << "\n";
        ::testing::GTEST_FLAG(filter) = "LoggerOff*";
    } else if (mode == "zero") {
        file << "loglevel=1\n" << "logpath=" << logs << "\n" << "loglevel=0\n";
        ::testing::GTEST_FLAG(filter) = "LoggerOff*";
    } else {
        std::cerr << "unknown ZENTRIK_TEST_LOGGER_MODE " << mode << "\n";
        return 1;
    }
    file.close();
    return RUN_ALL_TESTS();
}
