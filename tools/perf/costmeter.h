// Measures one Cryptoki operation many times on the bench: the APDUs and
// bytes the simulated card saw, the wall time through the module, and the
// wall time of a raw PC/SC client replaying the identical commands through
// the same pcscd (the floor the module cannot go below).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bench/bench.h"

namespace perf {

// How the raw client reproduces what the module does around the commands.
enum class Floor {
    TRANSACTION,  // one transaction on a connected card, as a card call scope
    CONNECT,      // connect, transaction, disconnect: a slot's first session
    OWN_CONNECTION,  // context, connect, transaction, disconnect, release:
                     // C_GetTokenInfo connects on its own
    CONTEXT       // establish a context and list the readers: C_Initialize
};

struct Operation {
    std::string name;
    Floor floor = Floor::TRANSACTION;
    std::function<void()> prepare = [] {};  // untimed, before each run
    std::function<void()> run;              // timed
    std::function<void()> cleanup = [] {};  // untimed, after the replay
};

struct CostRow {
    std::string name;
    double apdus = 0, lists = 0, bytes = 0;
    std::vector<double> moduleMillis, rawMillis;
    std::vector<double> moduleCpuMillis;  // this thread's user + system time in the module's call
    std::vector<std::uint8_t> firstRunInstructions;  // INS of every command of the first run
};

double percentile(std::vector<double> values, double p);

class CostMeter {
public:
    CostMeter(const bench::CardControl& card, std::string reader, int runs);
    CostRow measure(const Operation& operation);

private:
    static void waitForTheCardHoldToEnd();
    double replay(Floor floor, const std::vector<bench::Bytes>& commands);

    const bench::CardControl& card_;
    std::string reader_;
    int runs_;
    bench::PcscClient client_;
    bench::PcscCard raw_;
};

}  // namespace perf
