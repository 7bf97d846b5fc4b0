// Sessions and the login model: session states, PIN counting, the rules
// between read-only sessions and the security officer, closing sessions and
// changing PINs.
#include "sessionbench.h"

namespace sessiontest {
namespace {

constexpr CK_FLAGS RO = CKF_SERIAL_SESSION;
constexpr CK_FLAGS RW = CKF_SERIAL_SESSION | CKF_RW_SESSION;

class Login : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        insertFreshCard(PLAIN_SLOT);
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    }
    // Another application changes the user PIN to the same value through a
    // second PC/SC client: the card ends the session PIN that the module's
    // login rests on.
    void endSessionPinElsewhere() {
        bench::PcscClient client;
        bench::PcscCard card = client.connect(readerOfSlot(PLAIN_SLOT));
        ASSERT_EQ(0x9000, card.transmitSw(bench::fromHex("00A4040009F056584652010000 41")));
        const std::string pin = USER_PIN;
        bench::Bytes field(16, 0);
        std::copy(pin.begin(), pin.end(), field.begin());
        bench::Bytes verify = bench::fromHex("8020010010");
        verify.insert(verify.end(), field.begin(), field.end());
        ASSERT_EQ(0x9000, card.transmitSw(verify));
        bench::Bytes change = bench::fromHex("8026000110");
        change.insert(change.end(), field.begin(), field.end());
        ASSERT_EQ(0x9000, card.transmitSw(change));
        card.transmitSw(bench::fromHex("8022010000"));
    }
    CK_RV setPin(CK_SESSION_HANDLE session, std::string oldPin, std::string newPin) {
        return p11()->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR_PTR>(oldPin.data()), oldPin.size(),
                               reinterpret_cast<CK_UTF8CHAR_PTR>(newPin.data()), newPin.size());
    }
};

TEST_F(Login, SessionStateFollowsSessionKindAndLogin) {
    const CK_SESSION_HANDLE ro = openSession(PLAIN_SLOT, RO);
    const CK_SESSION_HANDLE rw = openSession(PLAIN_SLOT, RW);
    EXPECT_EQ(CKS_RO_PUBLIC_SESSION, sessionState(ro));
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(rw));

    ASSERT_EQ(CKR_OK, login(ro, CKU_USER, USER_PIN));
    EXPECT_EQ(CKS_RO_USER_FUNCTIONS, sessionState(ro));
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, sessionState(rw));

    CK_SESSION_INFO info{};
    ASSERT_EQ(CKR_OK, p11()->C_GetSessionInfo(rw, &info));
    EXPECT_EQ(PLAIN_SLOT, info.slotID);
    EXPECT_EQ(CKF_SERIAL_SESSION | CKF_RW_SESSION, info.flags);
    EXPECT_EQ(0u, info.ulDeviceError);
    ASSERT_EQ(CKR_OK, p11()->C_GetSessionInfo(ro, &info));
    EXPECT_EQ(CKF_SERIAL_SESSION, info.flags);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetSessionInfo(ro, nullptr));

    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(ro));
    ASSERT_EQ(CKR_OK, login(rw, CKU_SO, SO_PIN));
    EXPECT_EQ(CKS_RW_SO_FUNCTIONS, sessionState(rw));
    ASSERT_EQ(CKR_OK, p11()->C_Logout(rw));
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(rw));
    EXPECT_EQ(CKR_OK, p11()->C_Logout(rw));
}

TEST_F(Login, OpenSessionRefusals) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(CKR_SESSION_PARALLEL_NOT_SUPPORTED, p11()->C_OpenSession(999, CKF_RW_SESSION, nullptr, nullptr, &session));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_OpenSession(PLAIN_SLOT, RW, nullptr, nullptr, nullptr));
    EXPECT_EQ(CKR_SLOT_ID_INVALID, p11()->C_OpenSession(999, RW, nullptr, nullptr, &session));
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11()->C_OpenSession(SECOND_PLAIN_SLOT, RW, nullptr, nullptr, &session));
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11()->C_OpenSession(SLOT_WITHOUT_READER, RW, nullptr, nullptr, &session));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_CloseSession(0));
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11()->C_CloseAllSessions(SECOND_PLAIN_SLOT));
}

TEST_F(Login, HandlesAreDistinctNonZeroAndNeverReused) {
    std::vector<CK_SESSION_HANDLE> seen;
    for (int i = 0; i < 5; ++i) {
        const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
        EXPECT_NE(0u, session);
        EXPECT_EQ(seen.end(), std::find(seen.begin(), seen.end(), session));
        seen.push_back(session);
        ASSERT_EQ(CKR_OK, p11()->C_CloseSession(session));
    }
    ASSERT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE after = openSession(PLAIN_SLOT);
    EXPECT_EQ(seen.end(), std::find(seen.begin(), seen.end(), after));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_CloseSession(seen.front()));
}

TEST_F(Login, WrongPinsCountDownToLocked) {
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    EXPECT_EQ(CKR_PIN_INCORRECT, login(session, CKU_USER, "0000"));
    EXPECT_EQ(CKR_PIN_INCORRECT, login(session, CKU_USER, "0000"));
    EXPECT_EQ(CKR_PIN_LOCKED, login(session, CKU_USER, "0000"));
    EXPECT_EQ(CKR_PIN_LOCKED, login(session, CKU_USER, USER_PIN));
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(session));
}

TEST_F(Login, ArgumentsAndRepeatedLogins) {
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, login(session, CKU_CONTEXT_SPECIFIC, USER_PIN));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_Login(session, CKU_USER, nullptr, 0));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, login(session + 1000, CKU_USER, USER_PIN));
    // Too long for the card's field: an incorrect PIN, never a locked one.
    EXPECT_EQ(CKR_PIN_INCORRECT, login(session, CKU_USER, std::string(17, '1')));
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    // A failed login leaves the one in force.
    EXPECT_EQ(CKR_PIN_INCORRECT, login(session, CKU_SO, "wrong-so"));
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, sessionState(session));
}

// A login the card no longer accepts is replaced by a successful C_Login; a
// failed one leaves every session's state as it was.
TEST_F(Login, AFailedLoginLeavesAStaleLoginInPlace) {
    const CK_SESSION_HANDLE ro = openSession(PLAIN_SLOT, RO);
    const CK_SESSION_HANDLE rw = openSession(PLAIN_SLOT, RW);
    ASSERT_EQ(CKR_OK, login(rw, CKU_USER, USER_PIN));
    endSessionPinElsewhere();
    EXPECT_EQ(CKR_PIN_INCORRECT, login(rw, CKU_USER, "0000"));
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, sessionState(rw));
    EXPECT_EQ(CKR_SESSION_READ_ONLY_EXISTS, login(rw, CKU_SO, SO_PIN));
    EXPECT_EQ(CKS_RO_USER_FUNCTIONS, sessionState(ro));
    // The stale login itself is refused by the next card call.
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, setPin(rw, USER_PIN, USER_PIN));
    ASSERT_EQ(CKR_OK, login(rw, CKU_USER, USER_PIN));
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, sessionState(rw));
    EXPECT_EQ(CKR_OK, setPin(rw, USER_PIN, USER_PIN));
}

TEST_F(Login, SecurityOfficerAndReadOnlySessionsExcludeEachOther) {
    const CK_SESSION_HANDLE ro = openSession(PLAIN_SLOT, RO);
    const CK_SESSION_HANDLE rw = openSession(PLAIN_SLOT, RW);
    EXPECT_EQ(CKR_SESSION_READ_ONLY_EXISTS, login(rw, CKU_SO, SO_PIN));
    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(ro));
    ASSERT_EQ(CKR_OK, login(rw, CKU_SO, SO_PIN));
    CK_SESSION_HANDLE refused = 0;
    EXPECT_EQ(CKR_SESSION_READ_WRITE_SO_EXISTS, p11()->C_OpenSession(PLAIN_SLOT, RO, nullptr, nullptr, &refused));
    EXPECT_EQ(CKS_RW_SO_FUNCTIONS, sessionState(openSession(PLAIN_SLOT, RW)));
}

TEST_F(Login, LoginSurvivesClosingEverySessionOneByOne) {
    const CK_SESSION_HANDLE first = openSession(PLAIN_SLOT);
    const CK_SESSION_HANDLE second = openSession(PLAIN_SLOT, RO);
    ASSERT_EQ(CKR_OK, login(first, CKU_USER, USER_PIN));
    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(first));
    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(second));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_CloseSession(second));
    // Nothing left to invalidate: the login stays.
    EXPECT_EQ(CKR_OK, p11()->C_CloseAllSessions(PLAIN_SLOT));
    EXPECT_EQ(CKS_RO_USER_FUNCTIONS, sessionState(openSession(PLAIN_SLOT, RO)));
}

TEST_F(Login, CloseAllSessionsInvalidatesEveryHandleAndTheLogin) {
    const CK_SESSION_HANDLE first = openSession(PLAIN_SLOT);
    const CK_SESSION_HANDLE second = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(first, CKU_USER, USER_PIN));
    ASSERT_EQ(CKR_OK, p11()->C_CloseAllSessions(PLAIN_SLOT));
    CK_SESSION_INFO info{};
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_GetSessionInfo(first, &info));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_CloseSession(second));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_CloseSession(second));
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(openSession(PLAIN_SLOT)));
}

TEST_F(Login, SetPinChangesThePinAndBack) {
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, setPin(session, USER_PIN, "Nw5522"));
    EXPECT_EQ(CKR_PIN_INCORRECT, login(session, CKU_USER, USER_PIN));
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, "Nw5522"));
    ASSERT_EQ(CKR_OK, setPin(session, "Nw5522", USER_PIN));
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
}

TEST_F(Login, SetPinRefusals) {
    const CK_SESSION_HANDLE ro = openSession(PLAIN_SLOT, RO);
    EXPECT_EQ(CKR_SESSION_READ_ONLY, setPin(ro, USER_PIN, "Nw5522"));
    const CK_SESSION_HANDLE rw = openSession(PLAIN_SLOT, RW);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_SetPIN(rw, nullptr, 0, nullptr, 0));
    EXPECT_EQ(CKR_PIN_INVALID, setPin(rw, USER_PIN, "12"));
    EXPECT_EQ(CKR_PIN_INCORRECT, setPin(rw, "wrong1", "Nw5522"));
    // The refused change left the card deauthenticated and the PIN as it was.
    EXPECT_EQ(CKR_OK, login(rw, CKU_USER, USER_PIN));
}

TEST_F(Login, SecurityOfficerSessionChangesTheSecurityOfficerPin) {
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(session, CKU_SO, SO_PIN));
    ASSERT_EQ(CKR_OK, setPin(session, SO_PIN, "NewSo#77"));
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    EXPECT_EQ(CKR_OK, login(session, CKU_SO, "NewSo#77"));
}

}  // namespace
}  // namespace sessiontest
