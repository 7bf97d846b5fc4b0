// Certificates: their attribute table over a real certificate, the fields
// cut out of the DER encoding (and what malformed encodings give), creation
// and the choice of the key container a new certificate belongs to.
#include "internal/cmapfile.h"
#include "internal/p11objects/p11classes.h"
#include "objectstestsupport.h"
#include "p11exceptions.h"
#include "testcertificate.h"
#include "vxexception.h"

namespace {

using namespace objectstest;
namespace tc = testcertificate;

constexpr CK_ULONG MAX_CONTENT = 65535;

class Certificates : public CardFixture {
protected:
    StaticBuffer<128> create(std::vector<CK_ATTRIBUTE> attributes) {
        auto call = beginCall();
        return P11X509Certificate::createObject(*call, attributes.data(),
                                                static_cast<CK_ULONG>(attributes.size()));
    }

    std::unique_ptr<P11X509Certificate> view(amw::CachedToken& call, const StaticBuffer<128>& id) {
        amw::X509Certificate* certificate = call.findCertificate(id);
        EXPECT_NE(nullptr, certificate);
        return std::make_unique<P11X509Certificate>(certificate);
    }

    // The container index and key kind (signature or exchange) a certificate got on the card.
    std::pair<int, std::uint32_t> containerOf(const StaticBuffer<128>& id) {
        auto call = beginCall();
        const amw::X509Certificate* certificate = call->findCertificate(id);
        EXPECT_NE(nullptr, certificate);
        return {certificate->getContainerIndex(), certificate->getKeySpec()};
    }
};

Bytes read(P11Object& object, CK_ATTRIBUTE_TYPE type) {
    CK_ULONG length = 0;
    object.getAttributeValue(type, nullptr, &length);
    Bytes value(length);
    object.getAttributeValue(type, value.data(), &length);
    value.resize(length);
    return value;
}

std::string invalidTypeOnRead(P11Object& object, CK_ATTRIBUTE_TYPE type, CK_ULONG& length) {
    return messageOf<AttributeTypeInvalidException>(
        [&] { object.getAttributeValue(type, nullptr, &length); });
}

TEST_F(Certificates, EveryAttributeOfACardCertificateReadsAsTheTableSays) {
    const Bytes label = textBytes("holder"), id = {0x0A, 0xFF};
    const CK_BBOOL trusted = CK_TRUE;
    const StaticBuffer<128> stored =
        create({attribute(CKA_LABEL, label), attribute(CKA_ID, id), attribute(CKA_VALUE, tc::DER),
                CK_ATTRIBUTE{CKA_TRUSTED, const_cast<CK_BBOOL*>(&trusted), 1}});
    struct Row {
        CK_ATTRIBUTE_TYPE type;
        Bytes expected;
    };
    const Row rows[] = {
        {CKA_CLASS, ulongBytes(CKO_CERTIFICATE)},
        {CKA_TOKEN, {1}},
        {CKA_PRIVATE, {0}},
        {CKA_MODIFIABLE, {1}},
        {CKA_LABEL, label},
        {CKA_ID, id},
        {CKA_VALUE, tc::DER},
        {CKA_CERTIFICATE_TYPE, ulongBytes(CKC_X_509)},
        {CKA_JAVA_MIDP_SECURITY_DOMAIN, ulongBytes(0)},
        {CKA_TRUSTED, {1}},
        {CKA_CERTIFICATE_CATEGORY, ulongBytes(2)},
        {CKA_URL, {}},
        {CKA_SERIAL_NUMBER, tc::SERIAL_NUMBER},
        {CKA_ISSUER, tc::ISSUER},
        {CKA_SUBJECT, tc::SUBJECT},
    };
    auto call = beginCall();
    auto certificate = view(*call, stored);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        EXPECT_TRUE(P11X509Certificate::supportsAttributeType(row.type));
        CK_ULONG length = 777;
        certificate->getAttributeValue(row.type, nullptr, &length);
        EXPECT_EQ(row.expected.size(), length);
        EXPECT_EQ(row.expected, read(*certificate, row.type));
        if (row.expected.empty()) continue;
        Bytes shortBuffer(row.expected.size());
        length = static_cast<CK_ULONG>(row.expected.size() - 1);
        const std::string expectedMessage =
            AttributeBufferTooSmallException(length, length + 1).what();
        EXPECT_EQ(expectedMessage, messageOf<AttributeBufferTooSmallException>([&] {
                      certificate->getAttributeValue(row.type, shortBuffer.data(), &length);
                  }));
        EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, length);
    }
}

TEST_F(Certificates, UnansweredTypesAreInvalidWhetherListedOrNot) {
    const StaticBuffer<128> id =
        create({attribute(CKA_ID, textBytes("c")), attribute(CKA_VALUE, tc::DER)});
    auto call = beginCall();
    auto certificate = view(*call, id);
    struct Row {
        CK_ATTRIBUTE_TYPE type;
        bool listed;
    };
    const Row rows[] = {{CKA_HASH_OF_SUBJECT_PUBLIC_KEY, true},
                        {CKA_HASH_OF_ISSUER_PUBLIC_KEY, true},
                        {CKA_CHECK_VALUE, true},
                        {CKA_START_DATE, true},
                        {CKA_END_DATE, true},
                        {CKA_APPLICATION, false},
                        {CKA_KEY_TYPE, false},
                        {CKA_MODULUS, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        EXPECT_EQ(row.listed, P11X509Certificate::supportsAttributeType(row.type));
        CK_ULONG length = 5;
        EXPECT_EQ(AttributeTypeInvalidException(row.type).what(),
                  invalidTypeOnRead(*certificate, row.type, length));
        EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, length);
    }
}

TEST_F(Certificates, OnlyLabelAndValueAreWritableAndNewValueChangesTheParsedFields) {
    const StaticBuffer<128> id = create({attribute(CKA_ID, textBytes("c"))});
    const CardSnapshot before = snapshot();
    auto call = beginCall();
    auto certificate = view(*call, id);
    const Bytes tooLong(MAX_CONTENT + 1, 0);
    for (CK_ATTRIBUTE_TYPE type : {CKA_CLASS, CKA_ID, CKA_TRUSTED, CKA_SUBJECT, CKA_ISSUER,
                                   CKA_CERTIFICATE_CATEGORY, CKA_URL, CKA_START_DATE}) {
        EXPECT_EQ(AttributeReadOnlyException(type).what(),
                  messageOf<AttributeReadOnlyException>(
                      [&] { certificate->setAttributeValue(type, tooLong.data(), 1); }));
    }
    EXPECT_EQ("Size of attribute value is too big [type=17, actual=65536, maximum=65535]",
              messageOf<AttributValueInvalidException>([&] {
                  certificate->setAttributeValue(CKA_VALUE, tooLong.data(), MAX_CONTENT + 1);
              }));
    EXPECT_EQ("Size of attribute value is too big [type=3, actual=129, maximum=128]",
              messageOf<AttributValueInvalidException>(
                  [&] { certificate->setAttributeValue(CKA_LABEL, tooLong.data(), 129); }));

    CK_ULONG length = 0;
    EXPECT_EQ(AttributeTypeInvalidException(CKA_SUBJECT).what(),
              invalidTypeOnRead(*certificate, CKA_SUBJECT, length));
    certificate->setAttributeValue(CKA_VALUE, tc::DER.data(),
                                   static_cast<CK_ULONG>(tc::DER.size()));
    certificate->setAttributeValue(CKA_LABEL, "new", 3);
    EXPECT_EQ(tc::SUBJECT, read(*certificate, CKA_SUBJECT));
    EXPECT_EQ(before, snapshot());

    certificate->commitChanges(*call);
    auto later = beginCall();
    auto again = view(*later, id);
    EXPECT_EQ(tc::DER, read(*again, CKA_VALUE));
    EXPECT_EQ(textBytes("new"), read(*again, CKA_LABEL));
    EXPECT_EQ(tc::ISSUER, read(*again, CKA_ISSUER));
}

TEST_F(Certificates, ParsingCutsWholeElementsAndRefusesEveryTruncation) {
    auto out = std::make_unique<StaticBuffer<65536>>();
    const std::pair<int, Bytes> fields[] = {
        {P11X509Certificate::FIELD_SERIAL_NUMBER, tc::SERIAL_NUMBER},
        {P11X509Certificate::FIELD_ISSUER, tc::ISSUER},
        {P11X509Certificate::FIELD_SUBJECT, tc::SUBJECT}};
    for (const auto& [field, expected] : fields) {
        ASSERT_TRUE(
            P11X509Certificate::parseCertificate(tc::DER.data(), tc::DER.size(), field, *out));
        EXPECT_EQ(expected, bytesOf(*out));
    }
    // The outer element announces more than a truncated encoding holds.
    for (std::size_t length = 0; length < tc::DER.size(); ++length) {
        for (const auto& [field, expected] : fields) {
            out->assign("keep", 4);
            EXPECT_FALSE(P11X509Certificate::parseCertificate(tc::DER.data(), length, field, *out))
                << "length " << length;
            EXPECT_EQ(textBytes("keep"), bytesOf(*out));
        }
    }
}

TEST_F(Certificates, MalformedEncodingsGiveNoField) {
    auto withByte = [](std::size_t offset, std::uint8_t value) {
        Bytes der = tc::DER;
        der[offset] = value;
        return der;
    };
    // The version element removed, the lengths around it left as they were:
    // 30 82 01 80 | 30 82 01 27 | A0 03 02 01 02 | ...
    Bytes versionCut = tc::DER;
    versionCut.erase(versionCut.begin() + 8, versionCut.begin() + 13);
    struct Case {
        const char* name;
        Bytes der;
    };
    const Case cases[] = {
        {"empty", {}},
        {"one byte", {0x30}},
        {"not a sequence", withByte(0, 0x31)},
        {"nine length bytes", {0x30, 0x89, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"length beyond any buffer", {0x30, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"inner length too long", withByte(7, 0xFF)},
        {"serial not an integer", withByte(13, 0x04)},
        {"version cut out, lengths kept", versionCut},
        {"version with an unreadable length", withByte(9, 0xFF)},
        {"version longer than the to-be-signed part", withByte(9, 0x7F)},
        {"garbage", pattern(500, 0x30)},
        {"zeros", Bytes(70000, 0)},
    };
    auto out = std::make_unique<StaticBuffer<65536>>();
    for (const Case& c : cases) {
        for (int field = 0; field < 3; ++field) {
            EXPECT_FALSE(
                P11X509Certificate::parseCertificate(c.der.data(), c.der.size(), field, *out))
                << c.name << " field " << field;
        }
    }
    for (int field : {-1, 3, 100}) {
        EXPECT_FALSE(
            P11X509Certificate::parseCertificate(tc::DER.data(), tc::DER.size(), field, *out));
    }
    EXPECT_FALSE(P11X509Certificate::parseCertificate(nullptr, 10, 0, *out));
}

// The version element is optional (DEFAULT v1): without it the serial number
// comes first, and every field is the same whole element.
TEST_F(Certificates, VersionOneCertificatesWithoutTheVersionElementParse) {
    // 30 82 01 80 | 30 82 01 27 | A0 03 02 01 02 | 02 04 12 34 AB CD ...
    Bytes versionOne = tc::DER;
    versionOne.erase(versionOne.begin() + 8, versionOne.begin() + 13);
    versionOne[3] = 0x80 - 5;
    versionOne[7] = 0x27 - 5;
    const std::pair<int, Bytes> fields[] = {
        {P11X509Certificate::FIELD_SERIAL_NUMBER, tc::SERIAL_NUMBER},
        {P11X509Certificate::FIELD_ISSUER, tc::ISSUER},
        {P11X509Certificate::FIELD_SUBJECT, tc::SUBJECT}};
    auto out = std::make_unique<StaticBuffer<65536>>();
    for (const auto& [field, expected] : fields) {
        ASSERT_TRUE(P11X509Certificate::parseCertificate(versionOne.data(), versionOne.size(), field, *out))
            << "field " << field;
        EXPECT_EQ(expected, bytesOf(*out));
    }
    // Through the object, as an application reads it.
    const StaticBuffer<128> id =
        create({attribute(CKA_ID, textBytes("v1")), attribute(CKA_VALUE, versionOne)});
    auto call = beginCall();
    auto certificate = view(*call, id);
    EXPECT_EQ(tc::SUBJECT, read(*certificate, CKA_SUBJECT));
    EXPECT_EQ(tc::ISSUER, read(*certificate, CKA_ISSUER));
    EXPECT_EQ(tc::SERIAL_NUMBER, read(*certificate, CKA_SERIAL_NUMBER));
}

TEST_F(Certificates, FieldsAreNeverTakenFromOutsideTheToBeSignedPart) {
    // An empty to-be-signed part followed by what looks like its fields.
    const Bytes emptyThenFields = {0x30, 0x02, 0x30, 0x00, 0xA0, 0x00, 0x02, 0x01, 0x05,
                                   0x30, 0x00, 0x30, 0x00};
    // A to-be-signed part that claims more than the certificate holds.
    Bytes longerThanCertificate = tc::DER;
    longerThanCertificate[1] = 0x04;  // 30 04 | 30 82 01 27 ...
    auto out = std::make_unique<StaticBuffer<65536>>();
    for (const Bytes* der : std::initializer_list<const Bytes*>{&emptyThenFields, &longerThanCertificate}) {
        for (int field = 0; field < 3; ++field) {
            EXPECT_FALSE(P11X509Certificate::parseCertificate(der->data(), der->size(), field, *out))
                << "field " << field;
        }
    }
}

TEST_F(Certificates, StoredGarbageIsKeptAndItsFieldsReadAsInvalid) {
    const Bytes garbage = pattern(64, 3);
    const StaticBuffer<128> id =
        create({attribute(CKA_ID, textBytes("g")), attribute(CKA_VALUE, garbage)});
    auto call = beginCall();
    auto certificate = view(*call, id);
    EXPECT_EQ(garbage, read(*certificate, CKA_VALUE));
    for (CK_ATTRIBUTE_TYPE type : {CKA_SERIAL_NUMBER, CKA_ISSUER, CKA_SUBJECT}) {
        CK_ULONG length = 0;
        EXPECT_EQ(AttributeTypeInvalidException(type).what(),
                  invalidTypeOnRead(*certificate, type, length));
        EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, length);
    }
}

TEST_F(Certificates, CategoryFollowsTrustAndLabelDefaultsToTheIdentifierInHex) {
    const Bytes id = {0x0A, 0xFF};
    const StaticBuffer<128> stored = create({attribute(CKA_ID, id)});
    auto call = beginCall();
    auto certificate = view(*call, stored);
    EXPECT_EQ(textBytes("0AFF"), read(*certificate, CKA_LABEL));
    EXPECT_EQ(Bytes{0}, read(*certificate, CKA_TRUSTED));
    EXPECT_EQ(ulongBytes(1), read(*certificate, CKA_CERTIFICATE_CATEGORY));
    EXPECT_EQ(Bytes(), read(*certificate, CKA_VALUE));
}

TEST_F(Certificates, TemplateNeedsAnIdentifierAndIsCheckedBeforeTheCard) {
    const Bytes id = textBytes("c"), tooLong(MAX_CONTENT + 1, 0), twoBytes = {1, 1};
    struct Case {
        const char* name;
        std::vector<CK_ATTRIBUTE> attributes;
        std::string message;
    };
    const Case cases[] = {
        {"no identifier",
         {attribute(CKA_VALUE, tc::DER)},
         "Template is incomplete. Missing attribute type [type=0x102]"},
        {"repeated identifier",
         {attribute(CKA_ID, id), attribute(CKA_ID, id)},
         "Template is inconsistent. Multiple occurence of attribute [type=258]"},
        {"value too big",
         {attribute(CKA_ID, id), attribute(CKA_VALUE, tooLong)},
         "Size of attribute value is too big [type=17, actual=65536, maximum=65535]"},
        {"identifier too big",
         {attribute(CKA_ID, Bytes(129, 1))},
         "Size of attribute value is too big [type=258, actual=129, maximum=128]"},
        {"trusted of two bytes",
         {attribute(CKA_ID, id), attribute(CKA_TRUSTED, twoBytes)},
         "Size of attribute value is too big [type=134, actual=2, maximum=1]"},
    };
    const CardSnapshot before = snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto call = beginCall();
        EXPECT_EQ(c.message, messageOf<VxException>([&] {
                      P11X509Certificate::createObject(*call, c.attributes.data(),
                                                       static_cast<CK_ULONG>(c.attributes.size()));
                  }));
        EXPECT_EQ(0u, connection->sentCommands().size());
    }
    EXPECT_EQ(before, snapshot());
}

TEST_F(Certificates, LongestValueIsStoredWhole) {
    const Bytes value = pattern(MAX_CONTENT, 4);
    const StaticBuffer<128> id =
        create({attribute(CKA_ID, textBytes("big")), attribute(CKA_VALUE, value)});
    auto call = beginCall();
    EXPECT_EQ(value, read(*view(*call, id), CKA_VALUE));
}

TEST_F(Certificates, CompleteKeyPairGivesItsContainerOtherwiseTheFirstFreeUnclaimedRecord) {
    {
        auto setup = beginCall();
        setup->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
        setup
            ->generateKeyPair(buf<128>("pub"), buf<128>("priv"), 1024, 5,
                              amw::KeyPair::SIGNATURE_KEY, buf<128>("pair"), amw::KEY_USAGE_SIGN,
                              DEFAULT_PUBLIC_EXPONENT)
            ->commitCreationOrMetadataChanges();
        amw::KeyPair* half = setup->generateKeyPair(buf<128>("pub"), buf<128>("priv"), 1024, 6,
                                                    amw::KeyPair::SIGNATURE_KEY, buf<128>("half"),
                                                    amw::KEY_USAGE_SIGN, DEFAULT_PUBLIC_EXPONENT);
        half->commitCreationOrMetadataChanges();
        setup->amendKeyPairRemovePrivateKey(half);
        half->commitCreationOrMetadataChanges();
        addCertificate(*setup, "claims-1", 1);
    }
    Bytes map(86 * 3, 0);
    map[80] = cmapfile::FLAG_VALID;
    setFileOnCard(CMAPFILE_BLOCK, map);

    const StaticBuffer<128> paired = create({attribute(CKA_ID, textBytes("pair"))});
    EXPECT_EQ(std::make_pair(5, std::uint32_t(amw::KeyPair::SIGNATURE_KEY)), containerOf(paired));
    // Record 0 is valid, record 1 is claimed by a certificate.
    const StaticBuffer<128> incomplete = create({attribute(CKA_ID, textBytes("half"))});
    EXPECT_EQ(std::make_pair(2, std::uint32_t(amw::KeyPair::KEY_EXCHANGE_KEY)),
              containerOf(incomplete));
    // Now record 2 is claimed too: none is free, so one past the next record.
    const StaticBuffer<128> alone = create({attribute(CKA_ID, textBytes("alone"))});
    EXPECT_EQ(std::make_pair(4, std::uint32_t(amw::KeyPair::KEY_EXCHANGE_KEY)), containerOf(alone));
    // No record of the map is written for a certificate.
    EXPECT_EQ(map, fileOnCard(CMAPFILE_BLOCK));
}

TEST_F(Certificates, ContainerChoiceRefusesNullOutputs) {
    auto call = beginCall();
    std::uint8_t index = 0;
    std::uint32_t keySpec = 0;
    EXPECT_EQ(0u, messageOf<InvalidArgumentException>([&] {
                      P11X509Certificate::getKeySpecContainerIndexForNewCertificate(
                          *call, buf<128>("x"), nullptr, &keySpec);
                  }).find("Null pointer exception <containerIndex>"));
    EXPECT_EQ(0u, messageOf<InvalidArgumentException>([&] {
                      P11X509Certificate::getKeySpecContainerIndexForNewCertificate(
                          *call, buf<128>("x"), &index, nullptr);
                  }).find("Null pointer exception <keySpec>"));
}

TEST_F(Certificates, DestroyLeavesTheContainerMapAlone) {
    const StaticBuffer<128> id =
        create({attribute(CKA_ID, textBytes("c")), attribute(CKA_VALUE, tc::DER)});
    const Bytes mapBefore = fileOnCard(CMAPFILE_BLOCK);
    auto call = beginCall();
    auto certificate = view(*call, id);
    EXPECT_EQ(0u, messageOf<InvalidArgumentException>([&] {
                      certificate->destroyObjectFromCard(nullptr);
                  }).find("Null pointer exception <token>"));
    certificate->destroyObjectFromCard(call.get());
    EXPECT_EQ(nullptr, beginCall()->findCertificate(id));
    EXPECT_EQ(mapBefore, fileOnCard(CMAPFILE_BLOCK));
}

}  // namespace
