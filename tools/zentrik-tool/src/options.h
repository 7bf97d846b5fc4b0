// The command line of zentrik-tool: one command and its options.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "secret.h"

namespace zentriktool {

enum class Command { HELP, INFO, CHANGE_PIN, UNBLOCK_PIN, DEFAULT_CERT, LIST };

struct Options {
    Command command = Command::HELP;
    std::string modulePath;                  // empty: the default module
    std::optional<unsigned long> slot;       // empty: the first slot with a token
    std::optional<std::string> defaultCertId;  // hex, for default-cert --set
    bool login = false;                      // list: log in first
    bool help = false;
    Secret pin;
    Secret newPin;
    Secret soPin;
    bool pinGiven = false;
    bool newPinGiven = false;
    bool soPinGiven = false;
};

// A command line that cannot be understood. Its message never contains an
// argument's value, which could be a PIN.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Fills `options`; PIN values are taken out of argv (and wiped there).
void parseArguments(int argc, char** argv, Options& options);
const char* usageText();

}  // namespace zentriktool
