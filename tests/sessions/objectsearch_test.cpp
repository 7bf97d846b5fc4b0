// Searches: what is visible to whom, how templates select, and how handles
// behave across searches, sessions and deletions elsewhere.
#include <algorithm>
#include <utility>

#include "cryptohelpers.h"
#include "objecthelpers.h"

namespace sessiontest {
namespace {

// Search results come in the token's list order, which differs between a
// list read from the card and one read from a cache file: compare as sets.
std::vector<CK_OBJECT_HANDLE> sorted(std::vector<CK_OBJECT_HANDLE> handles) {
    std::sort(handles.begin(), handles.end());
    return handles;
}

class ObjectSearch : public LoggedInBench {
protected:
    void SetUp() override {
        LoggedInBench::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
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

// An old or guessed handle reaches no more than a search does: while nobody
// is logged in a private object's handle names nothing; after a login it
// works again.
TEST_F(ObjectSearch, PrivateObjectHandlesAreOutOfReachWhileNobodyIsLoggedIn) {
    ASSERT_EQ(CKR_OK, p11()->C_Logout(session));
    for (CK_ATTRIBUTE_TYPE type : {CKA_LABEL, CKA_APPLICATION, CKA_OBJECT_ID, CKA_CLASS}) {
        CK_ATTRIBUTE field{type, nullptr, 0};
        EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, p11()->C_GetAttributeValue(session, privateObject, &field, 1))
            << type;
    }
    Template rename;
    rename.add(CKA_LABEL, "renamed");
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, p11()->C_SetAttributeValue(session, privateObject, rename.data(), rename.size()));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, p11()->C_DestroyObject(session, privateObject));
    EXPECT_EQ(bytesOf("public"), attribute(session, publicObject, CKA_LABEL));

    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    EXPECT_EQ(bytesOf("private"), attribute(session, privateObject, CKA_LABEL));
    EXPECT_EQ(CKR_OK, p11()->C_DestroyObject(session, privateObject));
}

// Without an active search the count is 0 before the call fails.
TEST_F(ObjectSearch, FindObjectsWithoutASearchAnswersACountOfZero) {
    for (CK_ULONG maximum : {CK_ULONG{0}, CK_ULONG{1}}) {
        CK_OBJECT_HANDLE handle = 0;
        CK_ULONG count = 7;
        EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, p11()->C_FindObjects(session, &handle, maximum, &count));
        EXPECT_EQ(0u, count) << "maximum " << maximum;
    }
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

// Certificates other software wrote: one without a parsable value must not
// break the searches for the others, and one without the version element
// (X.509 version 1, as old CA roots are) is read and found like any other.
TEST_F(ObjectSearch, CertificatesAreFoundByTheirFieldsBesideAnUnparsableOne) {
    const Bytes versionThree = makeCertificate("search v3");
    const Bytes versionOne = makeVersionOneCertificate("search v1");
    const auto createCertificate = [&](const std::string& label, const Bytes& value) {
        Template t;
        t.addUlong(CKA_CLASS, CKO_CERTIFICATE).addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509).add(CKA_LABEL, label)
            .add(CKA_ID, label).add(CKA_VALUE, value);
        CK_OBJECT_HANDLE handle = 0;
        EXPECT_EQ(CKR_OK, createObject(session, t, handle)) << label;
        return handle;
    };
    const CK_OBJECT_HANDLE broken = createCertificate("broken", Bytes{0x30, 0x03, 0x02, 0x01, 0x07});
    const CK_OBJECT_HANDLE three = createCertificate("three", versionThree);
    const CK_OBJECT_HANDLE one = createCertificate("one", versionOne);

    // The broken one still answers as before.
    CK_ATTRIBUTE subjectOfBroken{CKA_SUBJECT, nullptr, 0};
    EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, p11()->C_GetAttributeValue(session, broken, &subjectOfBroken, 1));

    for (const auto& [name, handle] : {std::pair<const char*, CK_OBJECT_HANDLE>{"version 3", three}, {"version 1", one}}) {
        for (CK_ATTRIBUTE_TYPE type : {CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER}) {
            CK_ATTRIBUTE field{type, nullptr, 0};
            ASSERT_EQ(CKR_OK, p11()->C_GetAttributeValue(session, handle, &field, 1)) << name << " " << type;
            const Bytes value = attribute(session, handle, type);
            Template search;
            search.addUlong(CKA_CLASS, CKO_CERTIFICATE).add(type, value);
            ASSERT_EQ(CKR_OK, p11()->C_FindObjectsInit(session, search.data(), search.size())) << name << " " << type;
            CK_OBJECT_HANDLE found[4] = {};
            CK_ULONG count = 0;
            EXPECT_EQ(CKR_OK, p11()->C_FindObjects(session, found, 4, &count));
            EXPECT_EQ(1u, count) << name << " " << type;
            EXPECT_EQ(handle, found[0]) << name << " " << type;
            EXPECT_EQ(CKR_OK, p11()->C_FindObjectsFinal(session));
        }
    }
}

// A card with a certificate and a key pair; the private half answers no
// subject and no dates, the certificate no dates.
class SearchFailure : public ObjectSearch {
protected:
    void SetUp() override {
        ObjectSearch::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        Template t;
        t.addUlong(CKA_CLASS, CKO_CERTIFICATE).addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
            .add(CKA_ID, "pair").add(CKA_VALUE, makeCertificate("search failure"));
        ASSERT_EQ(CKR_OK, createObject(session, t, certificate));
        GenerationRequest request;
        request.id = bytesOf("pair");
        generateOnCard(session, request);
    }
    // C_FindObjects after the start: its result and the count it gives.
    std::pair<CK_RV, CK_ULONG> findAfterwards() {
        CK_OBJECT_HANDLE found[8] = {};
        CK_ULONG count = 99;
        const CK_RV rv = p11()->C_FindObjects(session, found, 8, &count);
        return {rv, count};
    }
    CK_OBJECT_HANDLE certificate = 0;
};

// The certificate matches before the private key fails: the start fails and
// no search is left, neither the new one nor the one it replaced.
TEST_F(SearchFailure, AFailedStartLeavesNoSearchBehind) {
    Template bySubject;
    bySubject.add(CKA_SUBJECT, attribute(session, certificate, CKA_SUBJECT));
    for (const bool searchBefore : {false, true}) {
        if (searchBefore) {
            ASSERT_EQ(CKR_OK, p11()->C_FindObjectsInit(session, nullptr, 0));
        }
        EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID,
                  p11()->C_FindObjectsInit(session, bySubject.data(), bySubject.size()));
        EXPECT_EQ(std::make_pair(CK_RV{CKR_OPERATION_NOT_INITIALIZED}, CK_ULONG{0}), findAfterwards())
            << "search before: " << searchBefore;
        EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, p11()->C_FindObjectsFinal(session));
    }
}

// A type the certificate does not answer ends the search as it does for a
// private key, whoever is logged in; only an unparsable value of a parsed
// field (subject, issuer, serial number) counts as no match.
TEST_F(SearchFailure, AnUnansweredTypeEndsTheSearchLoggedInAndOut) {
    Template byDate;
    byDate.add(CKA_START_DATE, bytesOf("20260101"));
    EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, p11()->C_FindObjectsInit(session, byDate.data(), byDate.size()));
    ASSERT_EQ(CKR_OK, p11()->C_Logout(session));
    EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, p11()->C_FindObjectsInit(session, byDate.data(), byDate.size()));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, findAfterwards().first);
}

}  // namespace
}  // namespace sessiontest
