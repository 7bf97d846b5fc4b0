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

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// With its sessions closed a slot keeps its connection. The next session
// asks that connection, not the service, whether the card is still there,
// and so must see on it every event since the last one.
TEST_F(CardEvents, TheNextSessionOnAKeptConnectionSeesEveryEventSince) {
    const char* const presenceQuery = "ctl::PcScReader::isCardPresent";
    insertFreshCard(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(session));
    const std::size_t asked = occurrences(traceLog(), presenceQuery);
    session = openSession(PLAIN_SLOT);
    EXPECT_EQ(asked, occurrences(traceLog(), presenceQuery)) << "nothing happened, yet the service was asked";
    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(session));

    theBench().resetCard(readerOfSlot(PLAIN_SLOT));
    session = openSession(PLAIN_SLOT);
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(session));
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN)) << "after a reset";
    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(session));

    removeCard(PLAIN_SLOT);
    CK_SESSION_HANDLE none = 0;
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11()->C_OpenSession(PLAIN_SLOT, CKF_SERIAL_SESSION, nullptr, nullptr, &none));

    const std::string otherId = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF";
    insertFreshCard(PLAIN_SLOT, {"--card-id", otherId});
    session = openSession(PLAIN_SLOT);
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN)) << "on another card";
    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(session));

    theBench().stopPcscd();
    EXPECT_EQ(CKR_DEVICE_ERROR, p11()->C_OpenSession(PLAIN_SLOT, CKF_SERIAL_SESSION, nullptr, nullptr, &none));
    theBench().startPcscd();
    ASSERT_TRUE(theBench().waitForCard(readerOfSlot(PLAIN_SLOT), true));
    session = openSession(PLAIN_SLOT);
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN)) << "after the service came back";
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
