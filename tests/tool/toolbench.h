// The tool suites' fixture: the session bench's pcscd and cards, and
// zentrik-tool run as a child process with its exit status and both
// output streams. Every run checks that no PIN it was given, on the command
// line or on standard input, appears in what it printed.
#pragma once

#include <string>
#include <vector>

#include "objecthelpers.h"

namespace tooltest {

using namespace sessiontest;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

class ToolBench : public SessionBench {
protected:
    // zentrik-tool --module <built module> args...; `input` is its standard
    // input (not a terminal).
    ToolRun runTool(const std::vector<std::string>& args, const std::string& input = "");

    // Through the module in this process: a 1024-bit key pair and a
    // certificate labelled "Tool Certificate", all under CERT_ID, and a
    // public data object labelled "Tool Data".
    void storeKeyPairAndCertificate(CK_SLOT_ID slot);
    // Whether the user PIN logs in, tried through the module in this process.
    bool userPinWorks(CK_SLOT_ID slot, const std::string& pin);

    static const Bytes CERT_ID;
};

bool contains(const std::string& text, const std::string& part);

}  // namespace tooltest
