#include "traceconfig.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace traceconfig {

namespace {
std::string& storedDirectory() {
    static std::string value;
    return value;
}
}  // namespace

void setDirectory(const std::string& directory) { storedDirectory() = directory; }

const std::string& directory() { return storedDirectory(); }

std::string logText() {
    std::stringstream all;
    for (const auto& entry : fs::directory_iterator(fs::path(directory()) / "log")) {
        std::ifstream file(entry.path(), std::ios::binary);
        all << file.rdbuf();
    }
    return all.str();
}

}  // namespace traceconfig
