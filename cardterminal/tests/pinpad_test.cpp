#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "ctl/ctlexception.h"
#include "ctl/lockablepcsccardconnection.h"
#include "fakepcscapi.h"
#include "logcapture.h"

namespace ctl {
namespace {

using testing::Bytes;
using testing::ControlAnswer;
using testing::FakePcScApi;
using testing::LogCapture;

const Bytes FEATURES = {0x06, 4, 0x42, 0x33, 0x00, 0x06, 0x07, 4, 0x42, 0x33, 0x00, 0x07};

std::unique_ptr<LockablePcScCardConnection> connectTo(FakePcScApi& api) {
    return std::make_unique<LockablePcScCardConnection>(
        PcScReader(L"Pin pad"), CardConnection::MODE_SHARED, CardConnection::PROTOCOL_T0_OR_T1, api);
}

std::unique_ptr<LockablePcScCardConnection> connectToPinPad(FakePcScApi& api) {
    api.controlAnswers.push_back(ControlAnswer{0, {}, static_cast<std::uint32_t>(FEATURES.size())});
    api.controlAnswers.push_back(ControlAnswer{0, FEATURES});
    return connectTo(api);
}

std::uint32_t errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CtlException& e) {
        return e.error;
    }
    return 0;
}

TEST(PinPadSupport, FeatureListWithBothCodesMakesThePinPadAvailable) {
    FakePcScApi api;
    LogCapture log;
    auto c = connectToPinPad(api);
    EXPECT_TRUE(c->isPinPadAvailable());
    EXPECT_EQ(0x42330006u, c->getPinPadVerifyPinDirectCode());
    EXPECT_EQ(0x42330007u, c->getPinPadModifyPinDirectCode());
    ASSERT_EQ(2u, api.controls.size());
    EXPECT_EQ(FakePcScApi::FEATURE_REQUEST, api.controls[0].code);
    EXPECT_EQ(0u, api.controls[0].outputCapacity);
    EXPECT_EQ(FEATURES.size(), api.controls[1].outputCapacity);
    EXPECT_TRUE(log.contains("pinPadAvailable = true")) << log.text();
    EXPECT_TRUE(log.contains("SCardControl() returned 06 04 42 33 00 06")) << log.text();
}

TEST(PinPadSupport, ReaderWithoutFeatureRequestHasNoPinPad) {
    FakePcScApi api;  // every control call is refused
    auto c = connectTo(api);
    EXPECT_FALSE(c->isPinPadAvailable());
    EXPECT_EQ(1u, api.controls.size());
}

TEST(PinPadSupport, VerifyFeatureAloneIsNotEnough) {
    FakePcScApi api;
    const Bytes list = {0x06, 4, 0x42, 0x33, 0x00, 0x06};
    api.controlAnswers.push_back(ControlAnswer{0, {}, 6});
    api.controlAnswers.push_back(ControlAnswer{0, list});
    auto c = connectTo(api);
    EXPECT_FALSE(c->isPinPadAvailable());
}

TEST(PinPadSupport, SizeQueryRefusedForLackOfBufferStillReadsTheList) {
    // pcsc-lite hands the size query to the driver, which may refuse an empty
    // buffer instead of reporting the size.
    FakePcScApi api;
    api.controlAnswers.push_back(ControlAnswer{PcScResult::INSUFFICIENT_BUFFER, {}, 0});
    api.controlAnswers.push_back(ControlAnswer{0, FEATURES});
    auto c = connectTo(api);
    EXPECT_TRUE(c->isPinPadAvailable());
    EXPECT_EQ(256u, api.controls.at(1).outputCapacity);
}

TEST(PinPadSupport, SizeQueryAnsweringZeroBytesIsFollowedByAZeroByteQuery) {
    FakePcScApi api;
    api.controlAnswers.push_back(ControlAnswer{0, {}, 0});
    api.controlAnswers.push_back(ControlAnswer{0, FEATURES});
    auto c = connectTo(api);
    ASSERT_EQ(2u, api.controls.size());
    EXPECT_EQ(0u, api.controls[1].outputCapacity);
    EXPECT_EQ(false, c->isPinPadAvailable());
}

TEST(PinPadSupport, AbsurdSizeFromTheDriverIsCappedAndTheListStillRead) {
    FakePcScApi api;
    api.controlAnswers.push_back(ControlAnswer{0, {}, 0xFFFFFFF0u});
    api.controlAnswers.push_back(ControlAnswer{0, FEATURES});
    auto c = connectTo(api);
    EXPECT_TRUE(c->isPinPadAvailable());
    ASSERT_EQ(2u, api.controls.size());
    EXPECT_EQ(65536u, api.controls[1].outputCapacity);
}

TEST(PinPadSupport, FailedSecondQueryLeavesThePinPadUnavailable) {
    FakePcScApi api;
    api.controlAnswers.push_back(ControlAnswer{0, {}, 12});
    api.controlAnswers.push_back(ControlAnswer{0x80100016, {}});
    LogCapture log;
    auto c = connectTo(api);
    EXPECT_FALSE(c->isPinPadAvailable());
    EXPECT_TRUE(log.contains("pinPadAvailable = false"));
}

TEST(PinPadVerify, WithoutThePinPadIsUnsupported) {
    FakePcScApi api;
    auto c = connectTo(api);
    const Bytes apdu = {0x00, 0x20, 0x00, 0x01, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0x80100022u, errorOf([&] { c->pinPadVerify(5, apdu.data(), 13); }));
    EXPECT_EQ(0x80100022u, errorOf([&] { c->pinPadModify(true, true, 5, 13, apdu.data(), 13); }));
}

TEST(PinPadVerify, SendsTheStructureAndReturnsTheStatusWord) {
    FakePcScApi api;
    auto c = connectToPinPad(api);
    api.controlAnswers.push_back(ControlAnswer{0, {0x63, 0xC2}});
    const Bytes apdu = {0x00, 0x20, 0x00, 0x01, 0x08, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0x63C2, c->pinPadVerify(5, apdu.data(), 13));
    const auto& call = api.controls.back();
    EXPECT_EQ(0x42330006u, call.code);
    EXPECT_EQ(299u, call.input.size());
    EXPECT_EQ(1024u, call.outputCapacity);
    EXPECT_EQ(0x82, call.input[2]);
    EXPECT_EQ(apdu, Bytes(call.input.begin() + 19, call.input.begin() + 32));
}

TEST(PinPadVerify, TemplateOf280BytesIsAcceptedAnd281Refused) {
    FakePcScApi api;
    auto c = connectToPinPad(api);
    const Bytes apdu(281, 0x00);
    api.controlAnswers.push_back(ControlAnswer{0, {0x90, 0x00}});
    EXPECT_EQ(0x9000, c->pinPadVerify(5, apdu.data(), 280));
    EXPECT_EQ(0x80100004u, errorOf([&] { c->pinPadVerify(5, apdu.data(), 281); }));
    EXPECT_EQ(0x80100004u, errorOf([&] { c->pinPadModify(false, false, 5, 5, apdu.data(), 281); }));
}

TEST(PinPadVerify, ReplyThatIsNotAStatusWordIsAnInternalError) {
    FakePcScApi api;
    auto c = connectToPinPad(api);
    api.controlAnswers.push_back(ControlAnswer{0, {0x90, 0x00, 0x00}});
    const Bytes apdu = {0x00, 0x20, 0x00, 0x01, 0x00};
    try {
        c->pinPadVerify(5, apdu.data(), 5);
        FAIL() << "no exception";
    } catch (const InternalErrorException& e) {
        EXPECT_STREQ(
            "INTERNAL ERROR pinPadVerify(): Unexpected number of bytes returned from SCardControl(): 3",
            e.what());
    }
    api.controlAnswers.push_back(ControlAnswer{0, {}});
    try {
        c->pinPadModify(true, false, 5, 13, apdu.data(), 5);
        FAIL() << "no exception";
    } catch (const InternalErrorException& e) {
        EXPECT_STREQ(
            "INTERNAL ERROR pinPadModify(): Unexpected number of bytes returned from SCardControl(): 0",
            e.what());
    }
}

TEST(PinPadModify, SendsTheModifyStructureWithTheModifyCode) {
    FakePcScApi api;
    auto c = connectToPinPad(api);
    api.controlAnswers.push_back(ControlAnswer{0, {0x64, 0x01}});
    const Bytes apdu = {0x00, 0x24, 0x00, 0x01, 0x10};
    EXPECT_EQ(0x6401, c->pinPadModify(true, true, 5, 13, apdu.data(), 5));
    const auto& call = api.controls.back();
    EXPECT_EQ(0x42330007u, call.code);
    EXPECT_EQ(304u, call.input.size());
    EXPECT_EQ(0x03, call.input[9]);
}

TEST(PinPadOperations, LogTheirParameters) {
    FakePcScApi api;
    auto c = connectToPinPad(api);
    // A key that unblocks a PIN travels in the template.
    const Bytes apdu = {0x00, 0x2C, 0x00, 0x01, 0x08, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x17, 0x28};
    api.controlAnswers.push_back(ControlAnswer{0, {0x90, 0x00}});
    api.controlAnswers.push_back(ControlAnswer{0, {0x90, 0x00}});
    testing::LogCapture log;
    EXPECT_EQ(0x9000, c->pinPadVerify(5, apdu.data(), 13));
    EXPECT_EQ(0x9000, c->pinPadModify(true, false, 5, 13, apdu.data(), 13));
    const std::string text = log.text();
    EXPECT_EQ(std::string::npos, text.find("A1 B2")) << text;
    for (const char* expected : {" pinOffset = 5", "apduLength = 13", "apdu = 00 2C 00 01 ******",
                                 "askForCurrentPin = true", "confirmNewPin = false",
                                 "currentPinOffset = 5", "newPinOffset = 13"}) {
        EXPECT_NE(std::string::npos, text.find(expected)) << expected << "\n" << text;
    }
}

TEST(PinPadVerify, ServiceFailureBecomesCtlException) {
    FakePcScApi api;
    auto c = connectToPinPad(api);
    api.controlAnswers.push_back(ControlAnswer{0x80100069, {}});
    const Bytes apdu = {0x00, 0x20, 0x00, 0x01, 0x00};
    EXPECT_EQ(0x80100069u, errorOf([&] { c->pinPadVerify(5, apdu.data(), 5); }));
}

}  // namespace
}  // namespace ctl
