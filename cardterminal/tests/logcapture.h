// Reads what the trace log gained since the capture began. The test
// executable runs with a configuration that turns the log on (see
// cardterminal/CMakeLists.txt).
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include "logger.h"

namespace ctl::testing {

class LogCapture {
public:
    LogCapture() : start(fileSize()) {}

    std::string text() const {
        std::ifstream in(Logger::instance().getFileName(), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        const std::string s = all.str();
        return start < s.size() ? s.substr(start) : std::string();
    }

    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

private:
    static std::size_t fileSize() {
        std::ifstream in(Logger::instance().getFileName(), std::ios::binary | std::ios::ate);
        return in ? static_cast<std::size_t>(in.tellg()) : 0;
    }
    std::size_t start;
};

}  // namespace ctl::testing
