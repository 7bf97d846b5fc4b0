// A real client: OpenSC's pkcs11-tool sees the token, logs in and changes
// the PIN through the module.
#include <sys/wait.h>

#include <cstdio>

#include "sessionbench.h"

namespace sessiontest {
namespace {

#if defined(ZENTRIK_PKCS11_TOOL) && !defined(ZENTRIK_SANITIZED_BUILD)

// Runs pkcs11-tool with the module and `arguments`; the exit status goes to
// `status`, the output (both streams) is returned.
std::string pkcs11Tool(const std::string& arguments, int& status) {
    const std::string command = std::string(ZENTRIK_PKCS11_TOOL) + " --module '" +
                                LoadedModule::instance().path() + "' " + arguments + " 2>&1";
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return output;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    const int raw = ::pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

class Pkcs11ToolSessions : public SessionBench {};

TEST_F(Pkcs11ToolSessions, ListsTheTokenLogsInAndChangesThePin) {
    insertFreshCard(PLAIN_SLOT, {"--serial", "0011223344556677"});
    int status = 0;
    for (const char* listing : {"--list-slots", "--list-token-slots"}) {
        const std::string output = pkcs11Tool(listing, status);
        EXPECT_EQ(0, status) << output;
        EXPECT_NE(std::string::npos, output.find("Zentrik 3.1 Ferrix")) << output;
        EXPECT_NE(std::string::npos, output.find("0011223344556677")) << output;
        EXPECT_EQ(std::string::npos, output.find("failed")) << output;
    }
    const std::string slot = "--slot " + std::to_string(PLAIN_SLOT) + " ";
    std::string output = pkcs11Tool(slot + "--login --pin " + USER_PIN + " --show-info", status);
    EXPECT_EQ(0, status) << output;
    EXPECT_EQ(std::string::npos, output.find("error")) << output;

    output = pkcs11Tool(slot + "--login --pin " + USER_PIN + " --change-pin --new-pin Rk30405", status);
    EXPECT_EQ(0, status) << output;
    EXPECT_NE(std::string::npos, output.find("PIN successfully changed")) << output;
    output = pkcs11Tool(slot + "--login --pin Rk30405 --change-pin --new-pin " + USER_PIN, status);
    EXPECT_EQ(0, status) << output;
    output = pkcs11Tool(slot + "--login --pin Rk30405 --show-info", status);
    EXPECT_NE(0, status) << output;
    EXPECT_NE(std::string::npos, output.find("CKR_PIN_INCORRECT")) << output;
}

#endif

}  // namespace
}  // namespace sessiontest
