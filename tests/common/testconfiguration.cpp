// Test programs of the Windows build whose CTest entry names a configuration
// file in ZENTRIK_CONF, as the Linux tests do. The Windows module reads no
// environment variable for it (an elevated process inherits its user's), so
// the file is handed to the platform layer here, before main and so before
// the first trace line reads the configuration.
#include <cstdlib>

#include "platform.h"

namespace {

const bool configurationNamed = [] {
    const char* file = std::getenv("ZENTRIK_CONF");
    if (file == nullptr || file[0] == '\0') return false;
    platform::useConfigurationFileForTests(file);
    return true;
}();

}  // namespace
