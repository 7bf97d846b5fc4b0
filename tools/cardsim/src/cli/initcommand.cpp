// cardsim init IMAGE [options]: writes a personalised card image.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "cardsim/cardimage.h"
#include "cardsim/personalisation.h"
#include "cli/commands.h"

namespace cardsim::cli {
namespace {

const char* const HELP =
    "usage: cardsim init IMAGE [options]\n"
    "  --serial HEX16          serial number, 8 bytes (default random)\n"
    "  --card-id HEX32         card id, 16 bytes (default random)\n"
    "  --version M.m           applet version (default 3.1)\n"
    "  --user-pin PIN          user PIN, role 1 (default 1234)\n"
    "  --so-pin PIN            security officer PIN, role 2 (default 12345678)\n"
    "  --pin-tries N           tries of every authentication object (default 3)\n"
    "  --user-pin-policy HEX18 9-byte PIN policy of the user PIN\n"
    "  --so-pin-policy HEX18   9-byte PIN policy of the SO PIN\n"
    "  --key-ao ROLE:HEX48     a 24-byte key authentication object for role 3..7\n"
    "  --memory-blocks N       number of memory blocks (default 512)\n"
    "  --block-size N          bytes per block (default 256)\n"
    "  --key-slots LIST        SIZE:COUNT,... with SIZE 1024, 2048 or 0 for any\n"
    "                          (default 1024:2,2048:6)\n"
    "  --not-activated         leave the card personalised but not activated\n"
    "  --force                 overwrite an existing image\n";

Bytes parseHex(const std::string& text, std::size_t length, const char* what) {
    if (text.size() != 2 * length) {
        throw std::invalid_argument(std::string(what) + " must be " + std::to_string(length) +
                                    " bytes of hex");
    }
    if (text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        throw std::invalid_argument(std::string(what) + " is not hex");
    }
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

unsigned long parseNumber(const std::string& text, unsigned long max, const char* what) {
    std::size_t pos = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &pos, 10);
    } catch (const std::exception&) {
        pos = 0;
    }
    if (pos == 0 || pos != text.size() || value > max) {
        throw std::invalid_argument(std::string(what) + " must be a number up to " +
                                    std::to_string(max));
    }
    return value;
}

std::array<std::uint8_t, 9> parsePolicy(const std::string& text) {
    auto bytes = parseHex(text, 9, "a PIN policy");
    std::array<std::uint8_t, 9> policy{};
    std::copy(bytes.begin(), bytes.end(), policy.begin());
    return policy;
}

std::vector<std::pair<std::uint16_t, std::uint16_t>> parseKeySlots(const std::string& text) {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> slots;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find(',', start);
        auto item = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        auto colon = item.find(':');
        if (colon == std::string::npos) throw std::invalid_argument("key slots are SIZE:COUNT");
        auto size = parseNumber(item.substr(0, colon), 2048, "a key slot size");
        auto count = parseNumber(item.substr(colon + 1), 64, "a key slot count");
        slots.emplace_back(static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(count));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return slots;
}

void applyOption(Personalisation& options, const std::string& name, const std::string& value) {
    if (name == "--serial") {
        options.serial = parseHex(value, 8, "the serial number");
    } else if (name == "--card-id") {
        options.cardId = parseHex(value, 16, "the card id");
    } else if (name == "--version") {
        auto dot = value.find('.');
        if (dot == std::string::npos) throw std::invalid_argument("the version is MAJOR.MINOR");
        options.versionMajor = static_cast<std::uint8_t>(parseNumber(value.substr(0, dot), 255, "major"));
        options.versionMinor = static_cast<std::uint8_t>(parseNumber(value.substr(dot + 1), 255, "minor"));
    } else if (name == "--user-pin") {
        options.userPin = value;
    } else if (name == "--so-pin") {
        options.soPin = value;
    } else if (name == "--pin-tries") {
        options.pinTries = static_cast<std::uint8_t>(parseNumber(value, 15, "the PIN tries"));
    } else if (name == "--user-pin-policy") {
        options.userPinPolicy = parsePolicy(value);
    } else if (name == "--so-pin-policy") {
        options.soPinPolicy = parsePolicy(value);
    } else if (name == "--key-ao") {
        auto colon = value.find(':');
        if (colon == std::string::npos) throw std::invalid_argument("--key-ao is ROLE:HEX48");
        auto role = static_cast<std::uint8_t>(parseNumber(value.substr(0, colon), 7, "the role"));
        options.keyAuthObjects.emplace_back(role, parseHex(value.substr(colon + 1), 24, "the key"));
    } else if (name == "--memory-blocks") {
        options.blockCount = static_cast<std::uint16_t>(parseNumber(value, 0xFFFF, "the block count"));
    } else if (name == "--block-size") {
        options.blockSize = static_cast<std::uint16_t>(parseNumber(value, 0xFFFF, "the block size"));
    } else if (name == "--key-slots") {
        options.keySlots = parseKeySlots(value);
    } else {
        throw std::invalid_argument("unknown option " + name);
    }
}

bool fileExists(const std::string& path) {
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
        return true;
    }
    return false;
}

}  // namespace

int initCommand(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(HELP, stdout);
        return 0;
    }
    if (argc < 2 || argv[1][0] == '-') {
        std::fputs(HELP, stderr);
        return 2;
    }
    const std::string image = argv[1];
    Personalisation options;
    bool force = false;
    try {
        for (int i = 2; i < argc; ++i) {
            const std::string name = argv[i];
            if (name == "--not-activated") {
                options.activated = false;
            } else if (name == "--force") {
                force = true;
            } else if (i + 1 < argc) {
                applyOption(options, name, argv[++i]);
            } else {
                throw std::invalid_argument("option " + name + " needs a value");
            }
        }
        if (!force && fileExists(image)) {
            std::fprintf(stderr, "cardsim init: %s exists (use --force to overwrite)\n", image.c_str());
            return 1;
        }
        saveCardImage(image, personalise(options));
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "cardsim init: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cardsim init: %s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace cardsim::cli
