// Runs in its own process: the configuration, read once per process, turns
// the pin pad off here.
#include <gtest/gtest.h>

#include "configuration.h"
#include "ctl/lockablepcsccardconnection.h"
#include "../fakepcscapi.h"
#include "../logcapture.h"

namespace ctl {
namespace {

using testing::ControlAnswer;
using testing::FakePcScApi;
using testing::LogCapture;

TEST(DisabledPinPad, NoControlCallIsMadeAndTheLogSaysWhy) {
    ASSERT_TRUE(Configuration::instance().disablePinPad);
    FakePcScApi api;
    const testing::Bytes features = {0x06, 4, 0x42, 0x33, 0x00, 0x06, 0x07, 4, 0x42, 0x33, 0x00, 0x07};
    api.controlAnswers.push_back(ControlAnswer{0, features});
    api.controlAnswers.push_back(ControlAnswer{0, features});
    LogCapture log;
    LockablePcScCardConnection c(PcScReader(L"Pin pad"), CardConnection::MODE_SHARED,
                                 CardConnection::PROTOCOL_T0_OR_T1, api);
    EXPECT_FALSE(c.isPinPadAvailable());
    EXPECT_TRUE(api.controls.empty());
    EXPECT_TRUE(log.contains("PINPAD explicitly DISABLED")) << log.text();
}

}  // namespace
}  // namespace ctl
