// The configuration file: the input is written to a file and read both as
// properties and as the module's configuration. Whatever the file holds,
// reading it ends normally and leaves settings inside their documented
// ranges.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "configuration.h"
#include "fuzzenvironment.h"
#include "properties.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

std::string path;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    path = fuzz::prepareEnvironment() + "/fuzzed.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!fuzz::writeFile(path, data, size)) return 0;

    Properties properties;
    require(properties.load(path));
    static const char* const keys[] = {"loglevel", "logpath", "locale", "disablepinpad",
                                       "disablepinpaddlg", "pkcs11.slots", "cache", ""};
    for (const char* key : keys) {
        std::string text;
        long number = 0;
        const bool hasText = properties.getString(key, text);
        const bool hasNumber = properties.getInt(key, number);
        require(hasText == hasNumber);
        require(hasText || (text.empty() && number == 0));
        // Values are trimmed and never empty.
        require(!hasText || (!text.empty() && !isBlank(text.front()) && !isBlank(text.back())));
        properties.isGivenEmpty(key);
    }

    const Configuration configuration(path);
    require(configuration.slotCount >= 1 && configuration.slotCount <= Configuration::MAX_SLOT_COUNT);
    require(configuration.logPath.empty() || configuration.logPath.back() == '/');
    require(configuration.cacheDirectory.empty() || configuration.cacheDirectory.back() == '/');
    return 0;
}
