// zentrik-tool: card information, PIN management, the default certificate
// and the object list of a Ferrix card, through the Zentrik PKCS#11 module.
#include <iostream>

#include "commands.h"
#include "rvtext.h"

namespace zentriktool {
namespace {

constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;

void runCommand(Options& options) {
    const CardModule module(options.modulePath.empty() ? defaultModulePath() : options.modulePath);
    switch (options.command) {
        case Command::INFO: runInfo(module, options); break;
        case Command::CHANGE_PIN: runChangePin(module, options); break;
        case Command::UNBLOCK_PIN: runUnblockPin(module, options); break;
        case Command::DEFAULT_CERT: runDefaultCert(module, options); break;
        case Command::LIST: runList(module, options); break;
        case Command::HELP: break;
    }
}

void printError(const CryptokiError& error) {
    std::cerr << "zentrik-tool: " << error.action() << " failed: " << rvName(error.rv()) << '\n'
              << "  " << rvAdvice(error.rv()) << '\n';
    if (!error.detail.empty()) std::cerr << "  " << error.detail << '\n';
}

}  // namespace
}  // namespace zentriktool

int main(int argc, char** argv) {
    using namespace zentriktool;
    try {
        Options options;
        parseArguments(argc, argv, options);
        if (options.command == Command::HELP) {
            std::cout << usageText();
            return 0;
        }
        runCommand(options);
        return 0;
    } catch (const UsageError& error) {
        std::cerr << "zentrik-tool: " << error.what() << "\nTry 'zentrik-tool --help'.\n";
        return EXIT_USAGE;
    } catch (const CryptokiError& error) {
        printError(error);
    } catch (const std::exception& error) {
        std::cerr << "zentrik-tool: " << error.what() << '\n';
    }
    return EXIT_REFUSED;
}
