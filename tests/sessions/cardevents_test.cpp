// What sessions see of card events between calls: a reset by another
// application, a removal, another card, and a failing PC/SC service.
#include <filesystem>

#include "sessionbench.h"

namespace fs = std::filesystem;

namespace sessiontest {
namespace {

class CardEvents : public SessionBench {};

TEST_F(CardEvents, ResetByAnotherApplicationClosesTheSessionsOfTheSlot) {
    insertFreshCard(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE first = openSession(PLAIN_SLOT);
    const CK_SESSION_HANDLE second = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(first, CKU_USER, USER_PIN));
    theBench().resetCard(readerOfSlot(PLAIN_SLOT));

    EXPECT_EQ(CKR_SESSION_CLOSED, login(first, CKU_USER, USER_PIN));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, login(second, CKU_USER, USER_PIN));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_CloseSession(first));
    // A new session starts logged out on the same card and works.
    const CK_SESSION_HANDLE fresh = openSession(PLAIN_SLOT);
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(fresh));
    EXPECT_EQ(CKR_OK, login(fresh, CKU_USER, USER_PIN));
}

TEST_F(CardEvents, RemovedCardReportsTokenNotPresentThenInvalidHandles) {
    insertFreshCard(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE first = openSession(PLAIN_SLOT);
    const CK_SESSION_HANDLE second = openSession(PLAIN_SLOT);
    removeCard(PLAIN_SLOT);
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, login(first, CKU_USER, USER_PIN));
    CK_SESSION_INFO info{};
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_GetSessionInfo(second, &info));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_GetSessionInfo(second, &info));
    CK_SESSION_HANDLE none = 0;
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11()->C_OpenSession(PLAIN_SLOT, CKF_SERIAL_SESSION, nullptr, nullptr, &none));
}

TEST_F(CardEvents, AnotherCardGetsANewConnectionLoggedOut) {
    const std::string firstId = "000102030405060708090A0B0C0D0E0F";
    const std::string secondId = "F0E0D0C0B0A090807060504030201000";
    insertFreshCard(PLAIN_SLOT, {"--card-id", firstId});
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE old = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(old, CKU_USER, USER_PIN));

    insertFreshCard(PLAIN_SLOT, {"--card-id", secondId});
    const CK_SESSION_HANDLE fresh = openSession(PLAIN_SLOT);
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(fresh));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_CloseSession(old));
    ASSERT_EQ(CKR_OK, login(fresh, CKU_USER, USER_PIN));
    if (variant().empty()) {
        // The cache of each card lives under its own identifier.
        EXPECT_TRUE(fs::is_directory(fs::path(cacheDirectory()) / firstId));
        EXPECT_TRUE(fs::is_directory(fs::path(cacheDirectory()) / secondId));
    }
}

TEST_F(CardEvents, ServiceFailureIsADeviceErrorAndKeepsTheSessions) {
    insertFreshCard(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    theBench().stopPcscd();
    EXPECT_EQ(CKR_DEVICE_ERROR, login(session, CKU_USER, USER_PIN));
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(session));
    theBench().startPcscd();
    ASSERT_TRUE(theBench().waitForCard(readerOfSlot(PLAIN_SLOT), true));
}

}  // namespace
}  // namespace sessiontest
