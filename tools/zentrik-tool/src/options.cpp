#include "options.h"

#include <cstring>
#include <map>

namespace zentriktool {
namespace {

const char* const USAGE =
    "usage: zentrik-tool COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  info                 readers, slots and the card: ATR, card identifier,\n"
    "                       applet version, key slots, PIN state, memory\n"
    "  change-pin           change the user PIN (asks for the current and the new PIN)\n"
    "  unblock-pin          set a new user PIN with the security officer's PIN\n"
    "  default-cert         show the identifier of the default certificate\n"
    "  default-cert --set ID\n"
    "                       make the certificate with this identifier (hex) the\n"
    "                       default one (asks for the user PIN)\n"
    "  list                 objects on the card: class, label, identifier, key size\n"
    "                       (with --login or --pin, private objects too)\n"
    "\n"
    "Options:\n"
    "  --module PATH        the PKCS#11 module to load\n"
    "  --slot N             the slot to work on (default: the first with a card)\n"
    "  --pin PIN            the user PIN\n"
    "  --new-pin PIN        the new user PIN (change-pin, unblock-pin)\n"
    "  --so-pin PIN         the security officer's PIN (unblock-pin)\n"
    "  --login              list: log in (asks for the PIN) to see private objects\n"
    "  --help               this text\n"
    "\n"
    "PINs that are not given are asked for without echo; when standard input\n"
    "is not a terminal, each is read as one line. On a reader with a pin pad,\n"
    "PINs that are not given are typed on the reader's keypad.\n"
    "Exit status: 0 on success, 1 when the card or module refuses, 2 for a\n"
    "command line that cannot be understood.\n";

const std::map<std::string, Command> COMMANDS = {
    {"info", Command::INFO},
    {"change-pin", Command::CHANGE_PIN},
    {"unblock-pin", Command::UNBLOCK_PIN},
    {"default-cert", Command::DEFAULT_CERT},
    {"list", Command::LIST},
};

unsigned long parseSlot(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9) {
        throw UsageError("--slot needs a slot number");
    }
    return std::stoul(text);
}

void checkHexIdentifier(const std::string& text) {
    if (text.empty() || text.size() % 2 != 0 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw UsageError("--set needs a certificate identifier in hex (an even number of digits)");
    }
}

// Takes the value of the option at argv[index]; the value is consumed.
char* optionValue(int argc, char** argv, int& index, const std::string& name) {
    if (index + 1 >= argc) throw UsageError("option " + name + " needs a value");
    return argv[++index];
}

void takeSecret(Secret& secret, bool& given, char* value) {
    secret.takeFrom(value);
    given = true;
}

void parseOption(Options& options, int argc, char** argv, int& index) {
    const std::string name = argv[index];
    if (name == "--help" || name == "-h") {
        options.help = true;
    } else if (name == "--module") {
        options.modulePath = optionValue(argc, argv, index, name);
    } else if (name == "--slot") {
        options.slot = parseSlot(optionValue(argc, argv, index, name));
    } else if (name == "--pin") {
        takeSecret(options.pin, options.pinGiven, optionValue(argc, argv, index, name));
    } else if (name == "--new-pin") {
        takeSecret(options.newPin, options.newPinGiven, optionValue(argc, argv, index, name));
    } else if (name == "--so-pin") {
        takeSecret(options.soPin, options.soPinGiven, optionValue(argc, argv, index, name));
    } else if (name == "--login") {
        options.login = true;
    } else if (name == "--set") {
        const std::string id = optionValue(argc, argv, index, name);
        checkHexIdentifier(id);
        options.defaultCertId = id;
    } else if (name.starts_with("--pin=") || name.starts_with("--new-pin=") ||
               name.starts_with("--so-pin=")) {
        // Said without the value: it is a PIN.
        throw UsageError("write the PIN options as two words, for example --pin PIN");
    } else {
        // A stray word may be a PIN whose option was mistyped, so only words
        // that look like option names are repeated.
        const bool optionName = name.starts_with("--") && name.size() > 2 &&
                                name.find_first_not_of("-abcdefghijklmnopqrstuvwxyz") == std::string::npos;
        throw UsageError(optionName ? "unknown option " + name
                                    : name.starts_with("-") ? "unknown option" : "unexpected argument");
    }
}

void checkCombination(const Options& options) {
    if (options.defaultCertId && options.command != Command::DEFAULT_CERT) {
        throw UsageError("--set belongs to default-cert");
    }
    if (options.login && options.command != Command::LIST) {
        throw UsageError("--login belongs to list");
    }
}

}  // namespace

const char* usageText() { return USAGE; }

void parseArguments(int argc, char** argv, Options& options) {
    bool commandSeen = false;
    for (int index = 1; index < argc; ++index) {
        const char* word = argv[index];
        if (!commandSeen && word[0] != '-') {
            const auto command = COMMANDS.find(word);
            if (command == COMMANDS.end()) throw UsageError("unknown command");
            options.command = command->second;
            commandSeen = true;
            continue;
        }
        parseOption(options, argc, argv, index);
    }
    if (options.help) {
        options.command = Command::HELP;
        return;
    }
    if (!commandSeen) throw UsageError("no command given");
    checkCombination(options);
}

}  // namespace zentriktool
