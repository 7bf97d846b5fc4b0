// Objects through the module's function list on a simulated card behind the
// real pcscd: every class created, read, changed and destroyed, and the
// per-attribute rules of C_GetAttributeValue.
#include "objecthelpers.h"
#include "rsatestkeys.h"

namespace sessiontest {
namespace {

const Bytes KEY_ID = {0x4B, 0x01};

class Objects : public LoggedInBench {
protected:
    CK_OBJECT_HANDLE create(Template object) {
        CK_OBJECT_HANDLE handle = 0;
        EXPECT_EQ(CKR_OK, createObject(session, object, handle));
        EXPECT_NE(0u, handle);
        return handle;
    }
};

Template dataObject(const std::string& label, const std::string& value, bool isPrivate) {
    Template t;
    t.addUlong(CKA_CLASS, CKO_DATA).add(CKA_LABEL, label).add(CKA_VALUE, value)
        .add(CKA_APPLICATION, "zentrik-tests").addBool(CKA_PRIVATE, isPrivate);
    return t;
}

TEST_F(Objects, DataObjectIsCreatedReadChangedAndDestroyed) {
    const CK_OBJECT_HANDLE object = create(dataObject("notes", "first value", false));
    EXPECT_EQ(ulongBytes(CKO_DATA), attribute(session, object, CKA_CLASS));
    EXPECT_EQ(bytesOf("notes"), attribute(session, object, CKA_LABEL));
    EXPECT_EQ(bytesOf("first value"), attribute(session, object, CKA_VALUE));
    EXPECT_EQ(bytesOf("zentrik-tests"), attribute(session, object, CKA_APPLICATION));
    EXPECT_EQ(Bytes{CK_FALSE}, attribute(session, object, CKA_PRIVATE));

    Template change;
    change.add(CKA_LABEL, "renamed").add(CKA_VALUE, std::string(3000, 'v'));
    ASSERT_EQ(CKR_OK, p11()->C_SetAttributeValue(session, object, change.data(), change.size()));
    EXPECT_EQ(bytesOf("renamed"), attribute(session, object, CKA_LABEL));
    EXPECT_EQ(Bytes(3000, 'v'), attribute(session, object, CKA_VALUE));
    Template readOnly;
    readOnly.addBool(CKA_PRIVATE, true);
    EXPECT_EQ(CKR_ATTRIBUTE_READ_ONLY, p11()->C_SetAttributeValue(session, object, readOnly.data(), 1));

    ASSERT_EQ(CKR_OK, p11()->C_DestroyObject(session, object));
    CK_ATTRIBUTE query{CKA_LABEL, nullptr, 0};
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, p11()->C_GetAttributeValue(session, object, &query, 1));
    EXPECT_EQ(CKR_OBJECT_HANDLE_INVALID, p11()->C_DestroyObject(session, object));
}

TEST_F(Objects, ValuesLongerThanTheCardStoresAreRefusedBeforeAnyWrite) {
    EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, [&] {
        CK_OBJECT_HANDLE handle = 0;
        return createObject(session, dataObject("big", std::string(65536, 'x'), false), handle);
    }());
    EXPECT_TRUE(findAll(session).empty());
    const CK_OBJECT_HANDLE object = create(dataObject("max", std::string(65535, 'x'), false));
    EXPECT_EQ(65535u, attribute(session, object, CKA_VALUE).size());
}

TEST_F(Objects, CertificateAttributesComeFromItsDer) {
    const Bytes der = makeCertificate("Zentrik Object Test");
    Template cert;
    cert.addUlong(CKA_CLASS, CKO_CERTIFICATE).addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .add(CKA_ID, KEY_ID).add(CKA_LABEL, "").add(CKA_VALUE, der);
    const CK_OBJECT_HANDLE object = create(cert);
    EXPECT_EQ(der, attribute(session, object, CKA_VALUE));
    EXPECT_EQ(bytesOf("4B01"), attribute(session, object, CKA_LABEL));
    EXPECT_EQ(KEY_ID, attribute(session, object, CKA_ID));
    EXPECT_EQ(ulongBytes(1), attribute(session, object, CKA_CERTIFICATE_CATEGORY));
    const Bytes subject = attribute(session, object, CKA_SUBJECT);
    ASSERT_FALSE(subject.empty());
    EXPECT_EQ(0x30, subject[0]);
    const std::string text(subject.begin(), subject.end());
    EXPECT_NE(std::string::npos, text.find("Zentrik Object Test"));
    EXPECT_EQ(subject, attribute(session, object, CKA_ISSUER));
    const Bytes serial = attribute(session, object, CKA_SERIAL_NUMBER);
    ASSERT_FALSE(serial.empty());
    EXPECT_EQ(0x02, serial[0]);
}

TEST_F(Objects, KeyHalvesAreImportedAndRemovedOneByOne) {
    const tokentest::RsaKey key = tokentest::generateRsaKey(1024);
    Template privateKey;
    privateKey.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, KEY_ID)
        .addBool(CKA_SIGN, true).add(CKA_MODULUS, key.n).add(CKA_PUBLIC_EXPONENT, key.e)
        .add(CKA_PRIME_1, key.p).add(CKA_PRIME_2, key.q).add(CKA_EXPONENT_1, key.dp)
        .add(CKA_EXPONENT_2, key.dq).add(CKA_COEFFICIENT, key.qinv);
    const CK_OBJECT_HANDLE priv = create(privateKey);
    Template publicKey;
    publicKey.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, KEY_ID)
        .addBool(CKA_VERIFY, true).add(CKA_MODULUS, key.n).add(CKA_PUBLIC_EXPONENT, key.e);
    const CK_OBJECT_HANDLE pub = create(publicKey);

    EXPECT_EQ(key.n, attribute(session, pub, CKA_MODULUS));
    EXPECT_EQ(key.n, attribute(session, priv, CKA_MODULUS));
    EXPECT_EQ(ulongBytes(1024), attribute(session, pub, CKA_MODULUS_BITS));
    CK_ATTRIBUTE secret{CKA_PRIME_1, nullptr, 0};
    EXPECT_EQ(CKR_ATTRIBUTE_SENSITIVE, p11()->C_GetAttributeValue(session, priv, &secret, 1));

    ASSERT_EQ(CKR_OK, p11()->C_DestroyObject(session, pub));
    EXPECT_EQ(std::vector<CK_OBJECT_HANDLE>{priv}, findAll(session));
    EXPECT_EQ(key.n, attribute(session, priv, CKA_MODULUS)) << "the private key keeps the pair's modulus";
    ASSERT_EQ(CKR_OK, p11()->C_DestroyObject(session, priv));
    EXPECT_TRUE(findAll(session).empty());
}

TEST_F(Objects, GetAttributeValueFillsWhatItCanAndReportsTheLastFailure) {
    const CK_OBJECT_HANDLE object = create(dataObject("label", "value", false));
    char label[5];
    char small[2];
    CK_ATTRIBUTE mixed[] = {{CKA_LABEL, label, sizeof label}, {0x80001234UL, nullptr, 0}};
    EXPECT_EQ(CKR_ATTRIBUTE_TYPE_INVALID, p11()->C_GetAttributeValue(session, object, mixed, 2));
    EXPECT_EQ("label", std::string(label, 5));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, mixed[1].ulValueLen);

    CK_ATTRIBUTE lastWins[] = {{0x80001234UL, nullptr, 0}, {CKA_VALUE, small, sizeof small}};
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11()->C_GetAttributeValue(session, object, lastWins, 2));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, lastWins[1].ulValueLen);

    CK_ATTRIBUTE lengths[] = {{CKA_LABEL, nullptr, 0}, {CKA_VALUE, nullptr, 0}, {CKA_CLASS, nullptr, 0}};
    EXPECT_EQ(CKR_OK, p11()->C_GetAttributeValue(session, object, lengths, 3));
    EXPECT_EQ(5u, lengths[0].ulValueLen);
    EXPECT_EQ(5u, lengths[1].ulValueLen);
    EXPECT_EQ(sizeof(CK_ULONG), lengths[2].ulValueLen);
}

TEST_F(Objects, NullTemplatesWithACountAreRefused) {
    CK_OBJECT_HANDLE handle = 0;
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_CreateObject(session, nullptr, 2, &handle));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_CreateObject(session, nullptr, 0, nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_FindObjectsInit(session, nullptr, 2));
    const CK_OBJECT_HANDLE object = create(dataObject("label", "value", false));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_SetAttributeValue(session, object, nullptr, 1));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetAttributeValue(session, object, nullptr, 1));
    CK_ULONG count = 0;
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_FindObjects(session, nullptr, 1, &count));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, p11()->C_FindObjects(session, &handle, 1, &count));
    EXPECT_EQ(CKR_OPERATION_NOT_INITIALIZED, p11()->C_FindObjectsFinal(session));
    Template noClass;
    noClass.add(CKA_LABEL, "x");
    EXPECT_EQ(CKR_TEMPLATE_INCOMPLETE, createObject(session, noClass, handle));
    Template twice = dataObject("a", "b", false);
    twice.add(CKA_LABEL, "again");
    EXPECT_EQ(CKR_TEMPLATE_INCONSISTENT, createObject(session, twice, handle));
}

TEST_F(Objects, FullCardIsDeviceMemory) {
    constexpr std::uint8_t INS_WRITE_DATA = 0x12;
    control(PLAIN_SLOT).injectStatusWord(INS_WRITE_DATA, 1, 0x6F09);
    CK_OBJECT_HANDLE handle = 0;
    EXPECT_EQ(CKR_DEVICE_MEMORY, createObject(session, dataObject("full", "value", false), handle));
}

TEST_F(Objects, ReadOnlySessionCannotChangeObjects) {
    const CK_OBJECT_HANDLE object = create(dataObject("label", "value", false));
    const CK_SESSION_HANDLE readOnly = openSession(PLAIN_SLOT, CKF_SERIAL_SESSION);
    Template change;
    change.add(CKA_LABEL, "x");
    EXPECT_EQ(CKR_SESSION_READ_ONLY, p11()->C_SetAttributeValue(readOnly, object, change.data(), 1));
    EXPECT_EQ(CKR_SESSION_READ_ONLY, p11()->C_SetAttributeValue(readOnly, 0xDEAD, change.data(), 1));
}

}  // namespace
}  // namespace sessiontest
