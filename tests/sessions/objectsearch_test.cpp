// Searches: what is visible to whom, how templates select, and how handles
// behave across searches, sessions and deletions elsewhere.
#include <algorithm>

#include "objecthelpers.h"

namespace sessiontest {
namespace {

// Search results come in the token's list order, which differs between a
// list read from the card and one read from a cache file: compare as sets.
std::vector<CK_OBJECT_HANDLE> sorted(std::vector<CK_OBJECT_HANDLE> handles) {
    std::sort(handles.begin(), handles.end());
    return handles;
}

class ObjectSearch : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        insertFreshCard(PLAIN_SLOT);
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        session = openSession(PLAIN_SLOT);
        ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
        publicObject = create("public", false);
        privateObject = create("private", true);
    }
    CK_OBJECT_HANDLE create(const std::string& label, bool isPrivate) {
        Template t;
        t.addUlong(CKA_CLASS, CKO_DATA).add(CKA_LABEL, label).add(CKA_VALUE, label).addBool(CKA_PRIVATE, isPrivate);
        CK_OBJECT_HANDLE handle = 0;
        EXPECT_EQ(CKR_OK, createObject(session, t, handle));
        return handle;
    }
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE publicObject = 0;
    CK_OBJECT_HANDLE privateObject = 0;
};

TEST_F(ObjectSearch, PrivateObjectsAreHiddenWhileNobodyIsLoggedIn) {
    EXPECT_EQ(sorted({publicObject, privateObject}), sorted(findAll(session)));
    ASSERT_EQ(CKR_OK, p11()->C_Logout(session));
    Template askForPrivate;
    askForPrivate.addBool(CKA_PRIVATE, true);
    EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{publicObject}, findAll(session));
    EXPECT_TRUE(findAll(session, askForPrivate).empty());
}

TEST_F(ObjectSearch, TemplatesSelectByClassAndValue) {
    Template byLabel;
    byLabel.add(CKA_LABEL, "private");
    EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{privateObject}, findAll(session, byLabel));
    Template byClass;
    byClass.addUlong(CKA_CLASS, CKO_DATA);
    EXPECT_EQ(2u, findAll(session, byClass).size());
    Template certificates;
    certificates.addUlong(CKA_CLASS, CKO_CERTIFICATE);
    EXPECT_TRUE(findAll(session, certificates).empty());
    // NSS asks for its trust objects: an unknown class finds nothing.
    Template trust;
    trust.addUlong(CKA_CLASS, 0xCE534353UL);
    EXPECT_TRUE(findAll(session, trust).empty());
    Template unsupported;
    unsupported.addUlong(CKA_VALUE_LEN, 5);
    EXPECT_TRUE(findAll(session, unsupported).empty());
    Template allowed;
    allowed.add(CKA_ALLOWED_MECHANISMS, ulongBytes(CKM_RSA_PKCS));
    EXPECT_TRUE(findAll(session, allowed).empty());

    Template wrongSize;
    wrongSize.add(CKA_CLASS, Bytes(sizeof(CK_ULONG) + 4, 0));
    EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, p11()->C_FindObjectsInit(session, wrongSize.data(), 1));
    EXPECT_EQ(CKR_OK, p11()->C_FindObjectsInit(session, nullptr, 0));
}

TEST_F(ObjectSearch, FindObjectsWalksTheResultInSteps) {
    ASSERT_EQ(CKR_OK, p11()->C_FindObjectsInit(session, nullptr, 0));
    CK_OBJECT_HANDLE handles[4] = {};
    CK_ULONG count = 99;
    EXPECT_EQ(CKR_OK, p11()->C_FindObjects(session, handles, 0, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(CKR_OK, p11()->C_FindObjects(session, handles, 1, &count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(CKR_OK, p11()->C_FindObjects(session, handles + 1, 4, &count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(CKR_OK, p11()->C_FindObjects(session, handles, 4, &count));
    EXPECT_EQ(0u, count);
    // A new search replaces the active one.
    ASSERT_EQ(CKR_OK, p11()->C_FindObjectsInit(session, nullptr, 0));
    EXPECT_EQ(CKR_OK, p11()->C_FindObjects(session, handles, 4, &count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(CKR_OK, p11()->C_FindObjectsFinal(session));
}

TEST_F(ObjectSearch, AnObjectKeepsOneHandleAcrossSearchesAndSessions) {
    const std::vector<CK_OBJECT_HANDLE> first = sorted(findAll(session));
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(first, sorted(findAll(session)));
    }
    const CK_SESSION_HANDLE other = openSession(PLAIN_SLOT, CKF_SERIAL_SESSION);
    EXPECT_EQ(first, sorted(findAll(other)));
    EXPECT_EQ(bytesOf("public"), attribute(other, publicObject, CKA_LABEL));
}

TEST_F(ObjectSearch, ObjectDestroyedElsewhereMakesItsHandleInvalid) {
    const CK_SESSION_HANDLE other = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_DestroyObject(other, publicObject));
    CK_ATTRIBUTE query{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, p11()->C_GetAttributeValue(session, publicObject, &query, 1));
    EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{privateObject}, findAll(session));
}

}  // namespace
}  // namespace sessiontest
