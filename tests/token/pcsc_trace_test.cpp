// The secret-handling run through the real pcscd with the trace log on: the
// simulated card on a vpcd reader of the bench, reached through the card
// terminal layer's PC/SC connection, whose own trace lines (the APDUs as
// sent to the service) must keep the secrets out as well.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "amwferrix/token.h"
#include "bench/bench.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "ctl/widetext.h"
#include "tracescenario.h"

namespace {

using namespace tokentest;

TEST(PcscTraceLog, FullRunLeavesNoPinSessionPinOrPrivateKeyComponentInTheLog) {
    if (!bench::Bench::toolsAvailable()) GTEST_SKIP() << "cardsim or the reader driver was not built";
    bench::BenchConfig config;
    config.readers.clear();
    bench::Bench bench(config);
    std::string reader;
    for (const auto& candidate : bench.readers()) {
        if (candidate.name.rfind(config.vpcdName, 0) == 0) {
            reader = candidate.name;
            break;
        }
    }
    ASSERT_FALSE(reader.empty());
    const CardOptions options;
    const std::string image = bench.personalise(
        "trace.img", {"--user-pin", options.userPin, "--so-pin", options.soPin, "--memory-blocks",
                      std::to_string(options.blockCount), "--force"});
    bench.insert(reader, image);
    {
        ctl::LockablePcScCardConnection connection(ctl::PcScReader(ctl::WideText::fromUtf8(reader)),
                                                   ctl::CardConnection::MODE_SHARED,
                                                   ctl::CardConnection::PROTOCOL_T0_OR_T1);
        connection.lock();
        {
            amwferrix::Token token(connection);
            token.selectApplet();
            secretsStayOutOfTheTraceLog(token, options);
        }
        connection.unlock(ctl::CardConnection::LEAVE_CARD);
    }
    bench.remove(reader);
}

}  // namespace
