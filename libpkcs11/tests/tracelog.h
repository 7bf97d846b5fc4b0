// Reading this process's trace log in tests. The test program runs with a
// configuration that turns the log on (see libpkcs11/CMakeLists.txt); where
// the platform offers no way to point the module at that configuration, the
// log-reading tests skip themselves.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "logger.h"

namespace tracelog {

inline std::string contents() {
    std::ifstream file(Logger::instance().getFileName(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    // The log is a text file: on Windows its lines end in CR LF.
    std::string lines = text.str();
    lines.erase(std::remove(lines.begin(), lines.end(), '\r'), lines.end());
    return lines;
}

// The log's length now; text written later starts at this offset.
inline std::size_t mark() { return contents().size(); }

inline std::string since(std::size_t offset) {
    std::string all = contents();
    return offset < all.size() ? all.substr(offset) : std::string();
}

}  // namespace tracelog

// Tests that read the log derive from this fixture; they are skipped when
// the log is off.
class TraceLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Logger::instance().isEnabled()) {
            GTEST_SKIP() << "the trace log is not enabled for this test program";
        }
        start = tracelog::mark();
    }
    // What the code under test wrote since the test began.
    std::string written() const { return tracelog::since(start); }

    std::size_t start = 0;
};
