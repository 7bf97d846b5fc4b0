#pragma once

#include <string>

namespace loggertest {

// Directory named in the configuration file as the log path.
std::string logDirectory();
// "on", "absent" or "zero": which configuration file main() wrote.
std::string mode();

}  // namespace loggertest
