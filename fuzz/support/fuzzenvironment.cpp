#include "fuzzenvironment.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fuzz {

namespace {

std::string directory;

void removeDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
}

}  // namespace

const std::string& prepareEnvironment() {
    if (!directory.empty()) {
        return directory;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "zentrik-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    directory = pattern;
    std::atexit(removeDirectory);

    const std::string home = directory + "/home";
    std::filesystem::create_directories(home);
    std::string configuration = "cache = " + directory + "/cache\n";
    if (const char* logDir = std::getenv("ZENTRIK_FUZZ_LOG"); logDir != nullptr && *logDir != 0) {
        configuration += "loglevel = 1\nlogpath = " + std::string(logDir) + "\n";
    }
    const std::string configurationPath = directory + "/zentrik.txt";
    writeFile(configurationPath, configuration.data(), configuration.size());
    setenv("HOME", home.c_str(), 1);
    setenv("ZENTRIK_CONF", configurationPath.c_str(), 1);
    return directory;
}

bool writeFile(const std::string& path, const void* bytes, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    return static_cast<bool>(out.flush());
}

}  // namespace fuzz
