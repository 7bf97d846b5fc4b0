// A real client: OpenSC's pkcs11-tool lists the module's slots.
#include <sys/wait.h>

#include <cstdio>

#include "slotbench.h"

namespace slottest {
namespace {

#if defined(ZENTRIK_PKCS11_TOOL) && !defined(ZENTRIK_SANITIZED_BUILD)

std::string run(const std::string& command, int& status) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return output;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    status = ::pclose(pipe);
    return output;
}

class Pkcs11Tool : public SlotBench {};

TEST_F(Pkcs11Tool, ListSlotsShowsEveryReaderAndTheEmptySlots) {
    int status = 0;
    // PCSCLITE_CSOCK_NAME, set by the bench, points the tool at its pcscd.
    const std::string output =
        run(std::string(ZENTRIK_PKCS11_TOOL) + " --module '" + LoadedModule::instance().path() + "' --list-slots 2>&1",
            status);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(0, WEXITSTATUS(status)) << output;
    for (const std::string& reader : listedReaders()) {
        EXPECT_NE(std::string::npos, output.find(reader)) << output;
    }
    EXPECT_NE(std::string::npos, output.find("Available slots:")) << output;
    // Slots 3 to 5 have no reader.
    for (const char* empty : {"Slot 3 (0x3): empty", "Slot 4 (0x4): empty", "Slot 5 (0x5): empty"}) {
        EXPECT_NE(std::string::npos, output.find(empty)) << output;
    }
}

#endif

}  // namespace
}  // namespace slottest
