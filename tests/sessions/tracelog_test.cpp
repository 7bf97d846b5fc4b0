// After logins, PIN changes and restored logins through the real pcscd, the
// trace log holds neither the PINs nor the session PIN, in any spelling.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "sessionbench.h"

namespace sessiontest {
namespace {

std::string hex(const std::string& bytes, bool upper) {
    std::string text;
    for (unsigned char byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", byte);
        text += pair;
    }
    return text;
}

class TraceLog : public SessionBench {};

TEST_F(TraceLog, HoldsNoPinAndNoSessionPin) {
    insertFreshCard(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    const std::string changed = "Tq90817";
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    std::string oldPin = USER_PIN, newPin = changed;
    ASSERT_EQ(CKR_OK, p11()->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR_PTR>(oldPin.data()), oldPin.size(),
                                      reinterpret_cast<CK_UTF8CHAR_PTR>(newPin.data()), newPin.size()));
    // The login stayed in force: restoring it uses the new session PIN.
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, changed));
    const std::vector<std::uint8_t> sessionPin = currentSessionPin(PLAIN_SLOT, changed);
    ASSERT_EQ(8u, sessionPin.size());
    ASSERT_EQ(CKR_OK, login(session, CKU_SO, SO_PIN));

    const std::string log = traceLog();
    ASSERT_NE(std::string::npos, log.find("C_SetPIN"));
    const std::string sessionPinBytes(sessionPin.begin(), sessionPin.end());
    for (const std::string& secret : {std::string(USER_PIN), changed, std::string(SO_PIN)}) {
        SCOPED_TRACE(secret);
        EXPECT_EQ(std::string::npos, log.find(secret));
        EXPECT_EQ(std::string::npos, log.find(hex(secret, true)));
        EXPECT_EQ(std::string::npos, log.find(hex(secret, false)));
    }
    EXPECT_EQ(std::string::npos, log.find(hex(sessionPinBytes, true)));
    EXPECT_EQ(std::string::npos, log.find(hex(sessionPinBytes, false)));
}

}  // namespace
}  // namespace sessiontest
