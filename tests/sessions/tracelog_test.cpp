// After logins, PIN changes and restored logins through the real pcscd, the
// trace log holds neither the PINs nor the session PIN, in any spelling.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "objecthelpers.h"

namespace sessiontest {
namespace {

std::string hex(const std::string& bytes, bool upper, const char* separator = "") {
    std::string text;
    for (unsigned char byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", byte);
        if (!text.empty()) text += separator;
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

// Applications keep secrets in private data objects: creating, changing and
// reading one (from the card, without a cache file) shows its value in no
// template dump and no card command; a public object's value still shows.
TEST_F(TraceLog, HoldsNoValueOfAPrivateDataObject) {
    insertFreshCard(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    const std::string created = "Kept-Secret-Created-0451";
    const std::string replaced = "Kept-Secret-Replaced-0452";
    const std::string open = "Open-Value-0453";
    Template secret;
    secret.addUlong(CKA_CLASS, CKO_DATA).addBool(CKA_PRIVATE, true).add(CKA_LABEL, "secret").add(CKA_VALUE, created);
    CK_OBJECT_HANDLE handle = 0;
    ASSERT_EQ(CKR_OK, createObject(session, secret, handle));
    Template publicObject;
    publicObject.addUlong(CKA_CLASS, CKO_DATA).addBool(CKA_PRIVATE, false).add(CKA_LABEL, "open").add(CKA_VALUE, open);
    CK_OBJECT_HANDLE openHandle = 0;
    ASSERT_EQ(CKR_OK, createObject(session, publicObject, openHandle));
    Template change;
    change.add(CKA_VALUE, replaced);
    ASSERT_EQ(CKR_OK, p11()->C_SetAttributeValue(session, handle, change.data(), change.size()));
    ASSERT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
    std::filesystem::remove_all(cacheDirectory());
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE again = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(again, CKU_USER, USER_PIN));
    Template byLabel;
    byLabel.add(CKA_LABEL, "secret");
    const auto found = findAll(again, byLabel);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(bytesOf(replaced), attribute(again, found[0], CKA_VALUE));
    Template byValue;
    byValue.add(CKA_VALUE, replaced);
    EXPECT_EQ(found, findAll(again, byValue)) << "a search by the secret finds its object";

    const std::string log = traceLog();
    ASSERT_NE(std::string::npos, log.find("C_SetAttributeValue"));
    EXPECT_NE(std::string::npos, log.find(hex(open, true))) << "a public value is traced";
    // Hex dumps of commands wrap their lines: the first eight bytes, which
    // both secrets share, are what a dump of either would show whole.
    const std::string prefix = created.substr(0, 8);
    for (const char* separator : {"", " "}) {
        EXPECT_EQ(std::string::npos, log.find(hex(prefix, true, separator))) << "'" << separator << "'";
        EXPECT_EQ(std::string::npos, log.find(hex(prefix, false, separator))) << "'" << separator << "'";
    }
    EXPECT_EQ(std::string::npos, log.find(prefix));
}

}  // namespace
}  // namespace sessiontest
