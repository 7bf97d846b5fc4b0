// Login and PIN change on the pin-pad reader with the scripted keypad.
#include <chrono>
#include <future>

#include "sessionbench.h"

namespace sessiontest {
namespace {

class PinPad : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        insertFreshCard(PINPAD_SLOT, {}, KEYPAD_PIN);
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        session = openSession(PINPAD_SLOT);
    }
    CK_SESSION_HANDLE session = 0;
};

TEST_F(PinPad, NullPinIsTypedOnTheKeypad) {
    control(PINPAD_SLOT).keypad(std::string("pin:") + KEYPAD_PIN);
    EXPECT_EQ(CKR_OK, p11()->C_Login(session, CKU_USER, nullptr, 0));
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, sessionState(session));
}

// An application shows its "use the keypad" prompt and logs in on another
// thread; the person types after the verification has started.
TEST_F(PinPad, PinTypedAfterTheLoginStartedLogsIn) {
    auto pending = std::async(std::launch::async, [&] { return p11()->C_Login(session, CKU_USER, nullptr, 0); });
    EXPECT_EQ(std::future_status::timeout, pending.wait_for(std::chrono::milliseconds(300)))
        << "the login ended before anything was typed";
    control(PINPAD_SLOT).keypad(std::string("pin:") + KEYPAD_PIN);
    EXPECT_EQ(CKR_OK, pending.get());
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, sessionState(session));
}

TEST_F(PinPad, CancelAndTimeoutAreCanceledCalls) {
    for (const char* entry : {"cancel", "timeout"}) {
        SCOPED_TRACE(entry);
        control(PINPAD_SLOT).keypad(entry);
        EXPECT_EQ(CKR_FUNCTION_CANCELED, p11()->C_Login(session, CKU_USER, nullptr, 0));
        EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(session));
    }
}

TEST_F(PinPad, PinIsChangedOnTheKeypadAndBack) {
    const bench::CardControl keypad = control(PINPAD_SLOT);
    keypad.keypad(std::string("pin:") + KEYPAD_PIN);
    keypad.keypad("pin:902817:902817");
    ASSERT_EQ(CKR_OK, p11()->C_SetPIN(session, nullptr, 0, nullptr, 0));
    keypad.keypad("pin:902817");
    EXPECT_EQ(CKR_OK, p11()->C_Login(session, CKU_USER, nullptr, 0));
    keypad.keypad("pin:902817");
    keypad.keypad(std::string("pin:") + KEYPAD_PIN + ":" + KEYPAD_PIN);
    ASSERT_EQ(CKR_OK, p11()->C_SetPIN(session, nullptr, 0, nullptr, 0));
    keypad.keypad(std::string("pin:") + KEYPAD_PIN);
    EXPECT_EQ(CKR_OK, p11()->C_Login(session, CKU_USER, nullptr, 0));
}

// Runs in the process whose configuration turns the pin pad off.
class NoPinPad : public SessionBench {};

TEST_F(NoPinPad, NullPinIsRefusedAndTheReaderIsPlain) {
    insertFreshCard(PINPAD_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(PINPAD_SLOT);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_Login(session, CKU_USER, nullptr, 0));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_SetPIN(session, nullptr, 0, nullptr, 0));
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    CK_TOKEN_INFO info{};
    ASSERT_EQ(CKR_OK, p11()->C_GetTokenInfo(PINPAD_SLOT, &info));
    EXPECT_EQ(0x42Du, info.flags);
}

}  // namespace
}  // namespace sessiontest
