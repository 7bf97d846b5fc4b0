#include "costmeter.h"

#include <chrono>
#include <thread>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace perf {

namespace {

constexpr std::uint8_t INS_LIST_HEADS = 0x0A;

using Clock = std::chrono::steady_clock;

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void transmitAll(bench::PcscCard& card, const std::vector<bench::Bytes>& commands) {
    if (commands.empty()) return;
    card.beginTransaction();
    for (const bench::Bytes& command : commands) card.transmit(command);
    card.endTransaction();
}

double threadCpuMillis() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    const auto millis = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return millis(usage.ru_utime) + millis(usage.ru_stime);
}

}  // namespace

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

CostMeter::CostMeter(const bench::CardControl& card, std::string reader, int runs)
    : card_(card), reader_(std::move(reader)), runs_(runs), raw_(client_.connect(reader_)) {
    card_.setCapture(true);
}

double CostMeter::replay(Floor floor, const std::vector<bench::Bytes>& commands) {
    const auto start = Clock::now();
    switch (floor) {
        case Floor::TRANSACTION:
            transmitAll(raw_, commands);
            break;
        case Floor::CONNECT: {
            bench::PcscCard fresh = client_.connect(reader_);
            transmitAll(fresh, commands);
            fresh.disconnect(0);
            break;
        }
        case Floor::OWN_CONNECTION: {
            bench::PcscClient context;
            bench::PcscCard fresh = context.connect(reader_);
            transmitAll(fresh, commands);
            fresh.disconnect(0);
            break;
        }
        case Floor::CONTEXT: {
            bench::PcscClient context;
            if (context.readers().empty()) throw std::runtime_error("the service lists no reader");
            if (!commands.empty()) {
                bench::PcscCard fresh = context.connect(reader_);
                transmitAll(fresh, commands);
            }
            break;
        }
    }
    return millisSince(start);
}

// Longer than the module's default idle time of a card hold (50 ms) and the
// release timer's reaction.
void CostMeter::waitForTheCardHoldToEnd() { std::this_thread::sleep_for(std::chrono::milliseconds(150)); }

CostRow CostMeter::measure(const Operation& operation) {
    CostRow row;
    row.name = operation.name;
    for (int run = 0; run < runs_; ++run) {
        operation.prepare();
        // Each run is a call between card holds: it starts a hold, and the
        // hold ends (deauthenticating the card) before the trace is read and
        // before the raw client, which would wait for it, replays.
        waitForTheCardHoldToEnd();
        card_.clearStatistics();
        const double cpuStart = threadCpuMillis();
        const auto start = Clock::now();
        operation.run();
        row.moduleMillis.push_back(millisSince(start));
        row.moduleCpuMillis.push_back(threadCpuMillis() - cpuStart);
        waitForTheCardHoldToEnd();

        const std::vector<bench::TraceEntry> trace = card_.trace();
        const std::vector<bench::Bytes> commands = card_.commands();
        double bytes = 0, lists = 0;
        for (const bench::TraceEntry& entry : trace) {
            bytes += static_cast<double>(entry.commandLength + entry.responseLength + 2);
            if (entry.ins == INS_LIST_HEADS) ++lists;
        }
        if (run == 0) {
            for (const bench::TraceEntry& entry : trace) row.firstRunInstructions.push_back(entry.ins);
        }
        row.apdus += static_cast<double>(trace.size()) / runs_;
        row.bytes += bytes / runs_;
        row.lists += lists / runs_;

        row.rawMillis.push_back(replay(operation.floor, commands));
        operation.cleanup();
    }
    return row;
}

}  // namespace perf
