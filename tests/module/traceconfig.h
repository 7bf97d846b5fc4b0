// Where the trace run of the module tests keeps its configuration and log.
#pragma once

#include <string>

namespace traceconfig {

void setDirectory(const std::string& directory);
const std::string& directory();
// The text of the one log file the module wrote in this process.
std::string logText();

}  // namespace traceconfig
