// Behaviour of the model objects: identity ordering, key-pair part rules,
// lazily read content and the records that go into cache files.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "amw/amwtypes.h"
#include "amw/authenticationobject.h"
#include "amw/freshnessrecord.h"
#include "testobjects.h"
#include "vxexception.h"

namespace {

using namespace amwtest;
using Bytes = std::vector<std::uint8_t>;

int sign(std::int32_t value) { return (value > 0) - (value < 0); }

Bytes recordOf(const SerializableEntity& entity) {
    std::ostringstream out(std::ios::binary);
    entity.writeStream(out);
    std::string s = out.str();
    return Bytes(s.begin(), s.end());
}

template <class T>
void readRecord(T& entity, const Bytes& bytes) {
    std::istringstream in(std::string(bytes.begin(), bytes.end()), std::ios::binary);
    entity.readStream(in);
    EXPECT_EQ(std::char_traits<char>::eof(), in.peek()) << "record not consumed whole";
}

TEST(KeyPairCompare, OrdersByPkcs11IdShorterFirstThenBytewise) {
    struct Case {
        StaticBuffer<128> left;
        StaticBuffer<128> right;
        int expected;
    };
    const Case cases[] = {
        {buffer<128>({0x01, 0x02}), buffer<128>({0x01, 0x02, 0x03}), -1},
        {buffer<128>({0x01, 0x03}), buffer<128>({0x01, 0x02}), 1},
        {buffer<128>({0x01, 0x02}), buffer<128>({0x01, 0x02}), 0},
        {buffer<128>({0xFF}), buffer<128>({0x00, 0x00}), -1},
        {buffer<128>({0x80}), buffer<128>({0x7F}), 1},
    };
    for (const Case& c : cases) {
        TestKeyPair left(2048), right(1024);
        left.setPkcs11Id(c.left);
        right.setPkcs11Id(c.right);
        EXPECT_EQ(c.expected, sign(left.compare(right)));
        EXPECT_EQ(-c.expected, sign(right.compare(left)));
    }
}

TEST(ObjectCompare, CertificatesAndDataObjectsOrderByPkcs11Id) {
    TestCertificate a(buffer<128>({0x01}), false, text<128>("zzz"), 0, 0);
    TestCertificate b(buffer<128>({0x02}), true, text<128>("aaa"), 0, 0);
    EXPECT_EQ(-1, sign(a.compare(b)));
    EXPECT_EQ(1, sign(b.compare(a)));

    TestDataObject c(buffer<128>({0x05, 0x00}), text<128>("a"), {}, {});
    TestDataObject d(buffer<128>({0x05}), text<128>("b"), {}, {});
    EXPECT_EQ(1, sign(c.compare(d)));
    EXPECT_EQ(0, sign(c.compare(c)));
}

TEST(ObjectCompare, FilesOrderByDirectoryThenName) {
    struct Case {
        const char* leftDir;
        const char* leftName;
        const char* rightDir;
        const char* rightName;
        int expected;
    };
    const Case cases[] = {
        {"mscp", "cmapfile", "mscp", "cmapfile", 0},
        {"mscp", "aaa", "mscq", "aaa", -1},
        {"mscp", "zzz", "mscq", "aaa", -1},
        {"mscp", "b", "mscp", "a", 1},
        {"ms", "zzzzzzzz", "mscp", "a", -1},
    };
    for (const Case& c : cases) {
        TestFile left(text<8>(c.leftName), text<8>(c.leftDir), 0, 0, 0);
        TestFile right(text<8>(c.rightName), text<8>(c.rightDir), 0, 0, 0);
        EXPECT_EQ(c.expected, sign(left.compare(right))) << c.leftDir << "/" << c.leftName;
    }
}

TEST(ObjectCompare, DirectoriesOrderByName) {
    TestDirectory a(text<8>("abc")), b(text<8>("abd")), c(text<8>("ab"));
    EXPECT_EQ(-1, sign(a.compare(b)));
    EXPECT_EQ(1, sign(a.compare(c)));
    EXPECT_EQ(0, sign(a.compare(a)));
}

TEST(ObjectCompare, AuthenticationObjectsCompareByRoleDifference) {
    amw::AuthenticationObject user(amw::AMWROLE_USER, amw::AuthenticationObject::PIN, 5, 0, 0, false);
    amw::AuthenticationObject admin(amw::AMWROLE_ADMIN, amw::AuthenticationObject::PIN, 5, 0, 0, true);
    amw::AuthenticationObject user6(amw::AMWROLE_USER6, amw::AuthenticationObject::KEY, 5, 0, 0, false);
    EXPECT_EQ(-1, user.compare(admin));
    EXPECT_EQ(6, user6.compare(user));
    EXPECT_EQ(0, admin.compare(admin));
}

TEST(ObjectCompare, AnotherKindIsAnInternalError) {
    TestKeyPair keyPair;
    TestCertificate certificate;
    EXPECT_THROW(keyPair.compare(certificate), InternalErrorException);
}

amw::KeyPair::PublicPart publicPart() {
    amw::KeyPair::PublicPart part;
    part.modulus = buffer<256>({0xC0, 0x01});
    part.publicExponent = buffer<256>({0x01, 0x00, 0x01});
    part.label = text<128>("public");
    return part;
}

amw::KeyPair::PrivatePart privatePart() {
    amw::KeyPair::PrivatePart part;
    part.label = text<128>("private");
    return part;
}

TEST(KeyPairParts, AddingPartsMergesTheirUsageBitsOnly) {
    TestKeyPair keyPair(2048);
    EXPECT_FALSE(keyPair.isComplete());
    keyPair.addPublicKey(publicPart(), 3, amw::KeyPair::KEY_EXCHANGE_KEY, 0xFFFF);
    EXPECT_TRUE(keyPair.hasPublicKey());
    EXPECT_FALSE(keyPair.hasPrivateKey());
    EXPECT_EQ(0x6C, keyPair.getKeyUsage());
    EXPECT_EQ(3, keyPair.getContainerIndex());
    EXPECT_EQ(amw::KeyPair::KEY_EXCHANGE_KEY, keyPair.getKeySpec());

    keyPair.addPrivateKey(privatePart(), 4, amw::KeyPair::SIGNATURE_KEY,
                          amw::KEY_USAGE_SIGN | amw::KEY_USAGE_DECRYPT | 0x04);
    EXPECT_TRUE(keyPair.isComplete());
    EXPECT_EQ(0x6C | 0x03, keyPair.getKeyUsage());
    EXPECT_EQ(4, keyPair.getContainerIndex());
    EXPECT_TRUE(keyPair.getPrivatePart().label == text<128>("private"));
}

TEST(KeyPairParts, AddingAPresentPartFailsAndChangesNothing) {
    TestKeyPair keyPair;
    keyPair.addPublicKey(publicPart(), 1, 0, 0x04);
    keyPair.addPrivateKey(privatePart(), 1, 0, amw::KEY_USAGE_UNWRAP);
    try {
        keyPair.addPublicKey(amw::KeyPair::PublicPart(), 9, 1, 0xFFFF);
        FAIL() << "no exception";
    } catch (const InternalErrorException& e) {
        EXPECT_STREQ("INTERNAL ERROR keypair has already public key", e.what());
    }
    try {
        keyPair.addPrivateKey(amw::KeyPair::PrivatePart(), 9, 1, 0xFFFF);
        FAIL() << "no exception";
    } catch (const InternalErrorException& e) {
        EXPECT_STREQ("INTERNAL ERROR keypair has already private key", e.what());
    }
    EXPECT_EQ(0x04 | amw::KEY_USAGE_UNWRAP, keyPair.getKeyUsage());
    EXPECT_EQ(1, keyPair.getContainerIndex());
    EXPECT_TRUE(keyPair.getPublicPart().modulus == buffer<256>({0xC0, 0x01}));
}

TEST(KeyPairParts, RemovingAPartKeepsTheOtherPartsUsage) {
    TestKeyPair keyPair;
    keyPair.addPublicKey(publicPart(), 0, 0, 0xFF);
    keyPair.addPrivateKey(privatePart(), 0, 0, 0xFF);
    ASSERT_EQ(0xFF, keyPair.getKeyUsage());
    keyPair.removePublicKey();
    EXPECT_FALSE(keyPair.hasPublicKey());
    EXPECT_EQ(0x93, keyPair.getKeyUsage());
    EXPECT_TRUE(keyPair.getModulus() == buffer<256>({0xC0, 0x01})) << "the private key keeps the public values";
    EXPECT_TRUE(keyPair.getPublicExponent() == buffer<256>({0x01, 0x00, 0x01}));

    TestKeyPair other;
    other.addPublicKey(publicPart(), 0, 0, 0xFF);
    other.addPrivateKey(privatePart(), 0, 0, 0xFF);
    other.removePrivateKey();
    EXPECT_FALSE(other.hasPrivateKey());
    EXPECT_TRUE(other.hasPublicKey());
    EXPECT_EQ(0x6C, other.getKeyUsage());
}

// Leading zero bits do not count; an unknown modulus answers the key size.
TEST(KeyPairParts, ModulusBitsAreTheModulussOwnLength) {
    const struct {
        std::vector<std::uint8_t> modulus;
        std::size_t bits;
    } cases[] = {{{0xC0, 0x01}, 16}, {{0x7F, 0xFF}, 15}, {{0x40, 0x00, 0x01}, 23},
                 {{0x00, 0x01, 0x01}, 9}, {{0x01}, 1}, {{}, 0x0800}};
    for (const auto& c : cases) {
        TestKeyPair keyPair(0x0800);
        amw::KeyPair::PrivatePart part = privatePart();
        part.modulus = StaticBuffer<256>(c.modulus.data(), c.modulus.size());
        keyPair.addPrivateKey(part, 0, 0, 0);
        EXPECT_EQ(c.bits, keyPair.getModulusBits()) << c.modulus.size() << " bytes";
    }
}

TEST(KeyPairParts, RemovingFromAnIncompleteKeyPairFails) {
    TestKeyPair publicOnly;
    publicOnly.addPublicKey(publicPart(), 0, 0, 0);
    try {
        publicOnly.removePublicKey();
        FAIL() << "no exception";
    } catch (const InternalErrorException& e) {
        EXPECT_STREQ("INTERNAL ERROR cannot remove public key from incomplete keypair", e.what());
    }
    try {
        publicOnly.removePrivateKey();
        FAIL() << "no exception";
    } catch (const InternalErrorException& e) {
        EXPECT_STREQ("INTERNAL ERROR cannot remove private key from incomplete keypair", e.what());
    }
    EXPECT_TRUE(publicOnly.hasPublicKey());
}

TEST(DataStorageContent, ReadsTheCardOnceOnFirstUse) {
    TestDataObject object;
    object.cardContent = {1, 2, 3};
    EXPECT_FALSE(object.isContentLoaded());
    EXPECT_EQ(0, object.reads);
    const auto& content = object.getContent();
    EXPECT_EQ(3u, content.length);
    EXPECT_EQ(3, content.data[2]);
    object.getContent();
    EXPECT_EQ(1, object.reads);
    EXPECT_TRUE(object.isContentLoaded());
}

TEST(DataStorageContent, ReadStartsFromAnEmptyBuffer) {
    // A card object without content leaves the buffer as it was handed over.
    class NoContent : public TestDataObject {
    public:
        void readContent(amw::DataStorage::Content&) override { ++reads; }
    };
    NoContent object;
    EXPECT_EQ(0u, object.getContent().length);
}

TEST(DataStorageContent, SetContentReplacesItAndSetsTheSize) {
    TestCertificate certificate;
    const std::uint8_t der[] = {0x30, 0x03, 0x02, 0x01, 0x00};
    certificate.setContent(der, sizeof der);
    EXPECT_TRUE(certificate.isContentLoaded());
    EXPECT_EQ(sizeof der, certificate.getContentSize());
    EXPECT_EQ(sizeof der, certificate.getContent().length);
    EXPECT_EQ(0, certificate.reads);
}

TEST(DataStorageContent, ContentBeyondSixteenBitSizesIsRefused) {
    TestDataObject object;
    std::vector<std::uint8_t> largest(65535, 0x5A);
    object.setContent(largest.data(), largest.size());
    EXPECT_EQ(65535u, object.getContentSize());

    std::vector<std::uint8_t> tooLarge(65536, 0x5A);
    EXPECT_THROW(object.setContent(tooLarge.data(), tooLarge.size()), InvalidArgumentException);
    EXPECT_EQ(65535u, object.getContentSize());
}

TEST(DataStorageRecord, LoadedPublicContentIsCached) {
    TestDataObject object(buffer<128>({0x0A}), text<128>("L"), text<128>("O"), text<128>("A"));
    object.setContent(reinterpret_cast<const std::uint8_t*>("xyz"), 3);
    const Bytes expected = {
        3, 0, 0, 0,           // content size
        1,                    // content flag
        3, 0, 0, 0, 'x', 'y', 'z',
        1, 0, 0, 0, 0x0A,     // pkcs11Id
        1, 0, 0, 0, 'L',      // label
        1, 0, 0, 0, 'O',      // object id
        1, 0, 0, 0, 'A'};     // application
    EXPECT_EQ(expected, recordOf(object));

    TestDataObject back;
    readRecord(back, expected);
    EXPECT_TRUE(back.isContentLoaded());
    EXPECT_EQ(3u, back.getContent().length);
    EXPECT_EQ(0, back.reads);
    EXPECT_TRUE(back.getApplication() == text<128>("A"));
}

// A list read from a cache file and written back (another list of the call
// came from the card) keeps every content byte for byte, whether or not the
// call asked for it; a copy carries it too.
TEST(DataStorageRecord, CachedContentIsWrittenBackUnchangedWithoutBeingAskedFor) {
    TestDataObject original(buffer<128>({0x0B}), text<128>("L"), text<128>("O"), text<128>("A"));
    Bytes value(3000);
    for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(i * 7);
    original.setContent(value.data(), value.size());
    const Bytes record = recordOf(original);

    TestDataObject back;
    readRecord(back, record);
    EXPECT_EQ(record, recordOf(back));
    const TestDataObject copy(back);
    EXPECT_EQ(record, recordOf(copy));
    EXPECT_EQ(value, Bytes(back.getContent().begin(), back.getContent().end()));
    EXPECT_EQ(record, recordOf(back));
    EXPECT_EQ(0, back.reads);

    TestDataObject empty;
    empty.setContent(nullptr, 0);
    TestDataObject emptyBack;
    readRecord(emptyBack, recordOf(empty));
    EXPECT_TRUE(emptyBack.isContentLoaded());
    EXPECT_EQ(0u, emptyBack.getContent().length);
    EXPECT_EQ(recordOf(empty), recordOf(emptyBack));
}

TEST(DataStorageRecord, PrivateOrUnloadedContentNeverReachesTheRecord) {
    TestDataObject secret;
    secret.privateContent = true;
    const std::uint8_t value[] = {0x53, 0x45, 0x43};
    secret.setContent(value, sizeof value);
    Bytes record = recordOf(secret);
    ASSERT_GE(record.size(), 5u);
    EXPECT_EQ((Bytes{3, 0, 0, 0, 0}), Bytes(record.begin(), record.begin() + 5));
    EXPECT_EQ(record.end(), std::search(record.begin(), record.end(), value, value + 3));

    TestDataObject back;
    back.cardContent = {9};
    readRecord(back, record);
    EXPECT_FALSE(back.isContentLoaded());
    EXPECT_EQ(3u, back.getContentSize());
    EXPECT_EQ(1u, back.getContent().length);  // read from the card
    EXPECT_EQ(1, back.reads);

    TestDataObject unloaded;
    unloaded.setContentSize(700);
    const Bytes unloadedRecord = recordOf(unloaded);
    ASSERT_GE(unloadedRecord.size(), 5u);
    EXPECT_EQ((Bytes{0xBC, 0x02, 0, 0, 0}), Bytes(unloadedRecord.begin(), unloadedRecord.begin() + 5));
}

TEST(DataStorageRecord, CachedContentAboveSixteenBitsIsRejected) {
    Bytes record = {0, 0, 1, 0, 1, 0x00, 0x00, 0x01, 0x00};  // content LV of 65536 bytes
    record.resize(record.size() + 65536 + 16, 0);
    TestDataObject back;
    std::istringstream in(std::string(record.begin(), record.end()), std::ios::binary);
    EXPECT_THROW(back.readStream(in), SerializationException);
}

TEST(AuthenticationObjectRecord, IsSeventeenBytesInTheDocumentedOrder) {
    amw::AuthenticationObject ao(amw::AMWROLE_ADMIN, amw::AuthenticationObject::KEY, 0x11223344,
                                 0xA1B2, 0xC3D4, true);
    const Bytes expected = {2, 0, 0, 0, 1, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 1, 0xB2, 0xA1, 0xD4, 0xC3};
    EXPECT_EQ(amw::AuthenticationObject::RECORD_SIZE, expected.size());
    EXPECT_EQ(expected, recordOf(ao));

    amw::AuthenticationObject back;
    readRecord(back, expected);
    EXPECT_EQ(amw::AMWROLE_ADMIN, back.getRole());
    EXPECT_EQ(amw::AuthenticationObject::KEY, back.getType());
    EXPECT_EQ(0x11223344u, back.getAttribute());
    EXPECT_EQ(0xA1B2, back.getFirstAttribute());
    EXPECT_EQ(0xC3D4, back.getSecondAttribute());
    EXPECT_TRUE(back.isPkcs11So());
}

TEST(AuthenticationObjectRecord, DefaultsAreRoleZeroPinAndAttributeFive) {
    amw::AuthenticationObject ao;
    EXPECT_EQ(0u, ao.getRole());
    EXPECT_EQ(amw::AuthenticationObject::PIN, ao.getType());
    EXPECT_EQ(5u, ao.getAttribute());
    EXPECT_FALSE(ao.isPkcs11So());
}

TEST(KeyPairRecord, PartsAppearOnlyWhenPresent) {
    TestKeyPair keyPair(0x0800);
    keyPair.setPkcs11Id(buffer<128>({0xAA}));
    keyPair.setKeyUsage(0x0102);
    keyPair.setGeneratedOnCard(true);
    amw::KeyPair::PrivatePart part = privatePart();
    part.modulus = buffer<256>({0xC5, 0x01});
    part.publicExponent = buffer<256>({0x03});
    keyPair.addPrivateKey(part, 7, amw::KeyPair::KEY_EXCHANGE_KEY, 0);
    keyPair.setKeyUsage(0x0102);
    Bytes expected = {0x00, 0x08, 1, 0, 0, 0, 0xAA, 0x02, 0x01, 1, 7, 1, 0, 0, 0,
                      0,  // no public part
                      1, 7, 0, 0, 0, 'p', 'r', 'i', 'v', 'a', 't', 'e',
                      2, 0, 0, 0, 0xC5, 0x01, 1, 0, 0, 0, 0x03};  // the public values kept with it
    EXPECT_EQ(expected, recordOf(keyPair));

    TestKeyPair back;
    readRecord(back, expected);
    EXPECT_EQ(0x0800, back.getKeySize());
    EXPECT_FALSE(back.hasPublicKey());
    EXPECT_TRUE(back.hasPrivateKey());
    EXPECT_TRUE(back.isGeneratedOnCard());
    EXPECT_EQ(7, back.getContainerIndex());
    EXPECT_EQ(amw::KeyPair::KEY_EXCHANGE_KEY, back.getKeySpec());
    EXPECT_TRUE(back.getModulus() == buffer<256>({0xC5, 0x01}));
    EXPECT_TRUE(back.getPublicExponent() == buffer<256>({0x03}));
}

TEST(FreshnessRecordLayout, CardBytesMapBothWays) {
    std::uint8_t card[amw::FreshnessRecord::CARD_SIZE];
    for (std::size_t i = 0; i < sizeof card; ++i) {
        card[i] = static_cast<std::uint8_t>(i + 1);
    }
    amw::FreshnessRecord record = amw::FreshnessRecord::fromCardBytes(card);
    EXPECT_EQ(0x0201, record.counter(1));
    EXPECT_EQ(0x0C0B, record.counter(6));
    EXPECT_EQ(0, record.counter(7));
    EXPECT_EQ((std::array<std::uint8_t, 5>{13, 14, 15, 16, 17}), record.digest(1));
    EXPECT_EQ((std::array<std::uint8_t, 5>{43, 44, 45, 46, 47}), record.digest(7));

    record.counter(7) = 99;  // never reaches the card
    std::uint8_t back[amw::FreshnessRecord::CARD_SIZE];
    record.toCardBytes(back);
    EXPECT_EQ(Bytes(card, card + sizeof card), Bytes(back, back + sizeof back));
    EXPECT_THROW(record.counter(0), InternalErrorException);
    EXPECT_THROW(record.digest(8), InternalErrorException);
}

TEST(AmwNames, RolesAndResultsHaveQualifiedNames) {
    EXPECT_STREQ(L"amw::AMWROLE_EVERYONE", amw::roleName(0));
    EXPECT_STREQ(L"amw::AMWROLE_USER", amw::roleName(1));
    EXPECT_STREQ(L"amw::AMWROLE_ADMIN", amw::roleName(2));
    EXPECT_STREQ(L"amw::AMWROLE_USER6", amw::roleName(7));
    EXPECT_STREQ(L"UNKNOWN", amw::roleName(8));
    EXPECT_STREQ(L"amw::AUTHENTICATION_PIN_BLOCKED", amw::authenticationResultName(2));
    EXPECT_STREQ(L"amw::AuthenticationObject::KEY", amw::AuthenticationObject::typeName(1));
}

}  // namespace
