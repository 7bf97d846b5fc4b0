// Attribute reads and writes of the two RSA key views, row by row over the
// attribute lists, for a pair imported from outside and a pair generated on
// the card. None of these needs the container map.
#include <string>
#include <vector>

#include "internal/p11objects/p11classes.h"
#include "keystestsupport.h"
#include "p11exceptions.h"

namespace {

using namespace keystest;

// What a stored pair is expected to answer.
struct PairFacts {
    std::string name;
    std::string id;
    std::string publicLabel;
    std::string privateLabel;
    std::uint16_t usage;
    bool generated;
};

// GoogleTest would otherwise print the struct's raw bytes, padding included.
void PrintTo(const PairFacts& facts, std::ostream* out) { *out << facts.name; }

struct Facts {
    PairFacts pair;
    Bytes modulus;
    Bytes exponent;
};

enum class Outcome { VALUE, INVALID, SENSITIVE };

struct Row {
    CK_ATTRIBUTE_TYPE type;
    Outcome outcome;
    std::function<Bytes(const Facts&)> value;
};

Row ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
    return {type, Outcome::VALUE, [value](const Facts&) { return ulongBytes(value); }};
}
Row boolean(CK_ATTRIBUTE_TYPE type, bool value) {
    return {type, Outcome::VALUE, [value](const Facts&) { return boolBytes(value); }};
}
Row usage(CK_ATTRIBUTE_TYPE type, std::uint16_t bit) {
    return {type, Outcome::VALUE, [bit](const Facts& f) { return boolBytes(f.pair.usage & bit); }};
}
Row noData(CK_ATTRIBUTE_TYPE type) {
    return {type, Outcome::VALUE, [](const Facts&) { return Bytes{0xFF, 0xFF, 0xFF, 0xFF}; }};
}
Row invalid(CK_ATTRIBUTE_TYPE type) {
    return {type, Outcome::INVALID, nullptr};
}
Row sensitive(CK_ATTRIBUTE_TYPE type) {
    return {type, Outcome::SENSITIVE, nullptr};
}

// Every signing and decryption mechanism the module offers, in its list order.
Bytes allowedMechanisms() {
    Bytes value;
    for (CK_MECHANISM_TYPE type :
         {CKM_RSA_PKCS, CKM_RSA_PKCS_OAEP, CKM_RSA_PKCS_PSS, CKM_SHA1_RSA_PKCS, CKM_SHA224_RSA_PKCS,
          CKM_SHA256_RSA_PKCS, CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS, CKM_SHA1_RSA_PKCS_PSS,
          CKM_SHA224_RSA_PKCS_PSS, CKM_SHA256_RSA_PKCS_PSS, CKM_SHA384_RSA_PKCS_PSS, CKM_SHA512_RSA_PKCS_PSS}) {
        const Bytes one = ulongBytes(type);
        value.insert(value.end(), one.begin(), one.end());
    }
    return value;
}

// Rows both views answer the same way.
std::vector<Row> sharedRows() {
    return {
        ulong(CKA_KEY_TYPE, CKK_RSA),
        boolean(CKA_TOKEN, true),
        boolean(CKA_MODIFIABLE, false),
        boolean(CKA_DERIVE, false),
        {CKA_ID, Outcome::VALUE, [](const Facts& f) { return text(f.pair.id); }},
        {CKA_LOCAL, Outcome::VALUE, [](const Facts& f) { return boolBytes(f.pair.generated); }},
        {CKA_KEY_GEN_MECHANISM, Outcome::VALUE,
         [](const Facts& f) {
             return ulongBytes(f.pair.generated ? CKM_RSA_PKCS_KEY_PAIR_GEN
                                                : CK_UNAVAILABLE_INFORMATION);
         }},
        {CKA_ALLOWED_MECHANISMS, Outcome::VALUE, [](const Facts&) { return allowedMechanisms(); }},
        {CKA_MODULUS, Outcome::VALUE, [](const Facts& f) { return f.modulus; }},
        {CKA_PUBLIC_EXPONENT, Outcome::VALUE, [](const Facts& f) { return f.exponent; }},
    };
}

std::vector<Row> publicRows() {
    std::vector<Row> rows = sharedRows();
    const std::vector<Row> own = {
        ulong(CKA_CLASS, CKO_PUBLIC_KEY),
        boolean(CKA_PRIVATE, false),
        {CKA_LABEL, Outcome::VALUE, [](const Facts& f) { return text(f.pair.publicLabel); }},
        noData(CKA_SUBJECT),
        noData(CKA_START_DATE),
        noData(CKA_END_DATE),
        usage(CKA_ENCRYPT, 0x04),
        usage(CKA_WRAP, 0x08),
        usage(CKA_VERIFY, 0x20),
        usage(CKA_VERIFY_RECOVER, 0x40),
        invalid(CKA_TRUSTED),
        {CKA_WRAP_TEMPLATE, Outcome::VALUE, [](const Facts&) { return Bytes(); }},
        ulong(CKA_MODULUS_BITS, 1024),
    };
    rows.insert(rows.end(), own.begin(), own.end());
    return rows;
}

std::vector<Row> privateRows() {
    std::vector<Row> rows = sharedRows();
    const std::vector<Row> own = {
        ulong(CKA_CLASS, CKO_PRIVATE_KEY),
        boolean(CKA_PRIVATE, true),
        {CKA_LABEL, Outcome::VALUE, [](const Facts& f) { return text(f.pair.privateLabel); }},
        invalid(CKA_SUBJECT),
        invalid(CKA_START_DATE),
        invalid(CKA_END_DATE),
        boolean(CKA_SENSITIVE, true),
        boolean(CKA_ALWAYS_SENSITIVE, true),
        boolean(CKA_NEVER_EXTRACTABLE, true),
        boolean(CKA_EXTRACTABLE, false),
        boolean(CKA_WRAP_WITH_TRUSTED, false),
        boolean(CKA_ALWAYS_AUTHENTICATE, false),
        usage(CKA_SIGN, 0x01),
        usage(CKA_DECRYPT, 0x02),
        usage(CKA_UNWRAP, 0x10),
        usage(CKA_SIGN_RECOVER, 0x80),
        noData(CKA_UNWRAP_TEMPLATE),
        sensitive(CKA_PRIVATE_EXPONENT),
        sensitive(CKA_PRIME_1),
        sensitive(CKA_PRIME_2),
        sensitive(CKA_EXPONENT_1),
        sensitive(CKA_EXPONENT_2),
        sensitive(CKA_COEFFICIENT),
    };
    rows.insert(rows.end(), own.begin(), own.end());
    return rows;
}

// Size query, exact read, a larger buffer, one byte short.
void expectValue(P11Object& view, CK_ATTRIBUTE_TYPE type, const Bytes& expected) {
    CK_ULONG length = 12345;
    view.getAttributeValue(type, nullptr, &length);
    EXPECT_EQ(expected.size(), length) << "size query";

    Bytes value(expected.size() + 8, 0xA5);
    length = static_cast<CK_ULONG>(expected.size());
    view.getAttributeValue(type, value.data(), &length);
    EXPECT_EQ(expected.size(), length);
    EXPECT_EQ(expected, Bytes(value.begin(), value.begin() + static_cast<long>(expected.size())));
    EXPECT_EQ(0xA5, value[expected.size()]) << "nothing written past the value";

    length = static_cast<CK_ULONG>(value.size());
    view.getAttributeValue(type, value.data(), &length);
    EXPECT_EQ(expected.size(), length) << "a larger buffer gets the exact length";

    if (expected.empty()) return;
    length = static_cast<CK_ULONG>(expected.size() - 1);
    const std::string message = messageOf<AttributeBufferTooSmallException>(
        [&] { view.getAttributeValue(type, value.data(), &length); });
    EXPECT_EQ("Small buffer for storing P11 object attribute's value [actual=" +
                  std::to_string(expected.size() - 1) +
                  ", expected=" + std::to_string(expected.size()) + "]",
              message);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, length);
}

template <class E>
void expectRefused(P11Object& view, CK_ATTRIBUTE_TYPE type, const std::string& prefix) {
    for (bool sizeQuery : {true, false}) {
        Bytes value(300);
        CK_ULONG length = static_cast<CK_ULONG>(value.size());
        const std::string message = messageOf<E>(
            [&] { view.getAttributeValue(type, sizeQuery ? nullptr : value.data(), &length); });
        EXPECT_EQ(0u, message.rfind(prefix + std::to_string(type) + ", ", 0)) << message;
        EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, length);
    }
}

template <class View>
void checkRows(const std::vector<Row>& rows, View& view, const Facts& facts) {
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "attribute 0x" << std::hex << row.type);
        EXPECT_TRUE(View::supportsAttributeType(row.type));
        switch (row.outcome) {
            case Outcome::VALUE:
                expectValue(view, row.type, row.value(facts));
                break;
            case Outcome::INVALID:
                expectRefused<AttributeTypeInvalidException>(view, row.type,
                                                             "Invalid attribute type [type=");
                break;
            case Outcome::SENSITIVE:
                expectRefused<AttributeTypeSensitiveException>(
                    view, row.type, "Attribute type is sensitive and can not be revealed [type=");
                break;
        }
    }
}

class KeyViewRows : public KeysFixture, public testing::WithParamInterface<PairFacts> {
protected:
    Facts storedFacts() {
        const PairFacts& pair = GetParam();
        if (pair.generated) {
            storeGeneratedPair(pair.id, pair.publicLabel, pair.privateLabel, pair.usage);
        } else {
            storeCompletePair(key1024(), pair.id, pair.publicLabel, pair.privateLabel);
        }
        amw::KeyPair* stored = keyPairOnCard(pair.id);
        EXPECT_NE(nullptr, stored);
        return Facts{pair, bytesOf(stored->getPublicPart().modulus),
                     bytesOf(stored->getPublicPart().publicExponent)};
    }
};

TEST_P(KeyViewRows, PublicKeyAnswersEveryListedAttribute) {
    const Facts facts = storedFacts();
    const std::vector<Row> rows = publicRows();
    ASSERT_EQ(23u, rows.size());
    P11RsaPublicKey view(keyPairOnCard(facts.pair.id));
    EXPECT_EQ(CKO_PUBLIC_KEY, view.getObjectClass());
    checkRows(rows, view, facts);
}

TEST_P(KeyViewRows, PrivateKeyAnswersEveryListedAttributeAndRevealsNoComponent) {
    const Facts facts = storedFacts();
    const std::vector<Row> rows = privateRows();
    ASSERT_EQ(33u, rows.size());
    P11RsaPrivateKey view(keyPairOnCard(facts.pair.id));
    EXPECT_EQ(CKO_PRIVATE_KEY, view.getObjectClass());
    checkRows(rows, view, facts);
}

// The imported pair has usage 0x27 (sign, decrypt, encrypt, verify), the
// generated one the complementary bits, so every usage row is seen both ways.
INSTANTIATE_TEST_SUITE_P(
    Pairs, KeyViewRows,
    testing::Values(PairFacts{"Imported", "imp-1", "public label", "private label", 0x27, false},
                    PairFacts{"Generated", "gen-1", "gen public", "gen private", 0xDB, true}),
    [](const testing::TestParamInfo<PairFacts>& info) { return info.param.name; });

using KeyViews = KeysFixture;

TEST_F(KeyViews, TypesOutsideTheListsAreNotSupportedAndReadAsInvalid) {
    storeCompletePair(key1024(), "outside", "p", "q");
    P11RsaPublicKey publicView(keyPairOnCard("outside"));
    P11RsaPrivateKey privateView(publicView.getKeyPair());
    const CK_ATTRIBUTE_TYPE everywhere[] = {CKA_VALUE, CKA_CERTIFICATE_TYPE, CKA_APPLICATION,
                                            CKA_VENDOR_DEFINED | 1};
    for (CK_ATTRIBUTE_TYPE type : everywhere) {
        EXPECT_FALSE(P11RsaPublicKey::supportsAttributeType(type));
        EXPECT_FALSE(P11RsaPrivateKey::supportsAttributeType(type));
        expectRefused<AttributeTypeInvalidException>(publicView, type,
                                                     "Invalid attribute type [type=");
        expectRefused<AttributeTypeInvalidException>(privateView, type,
                                                     "Invalid attribute type [type=");
    }
    for (CK_ATTRIBUTE_TYPE type : {CKA_SIGN, CKA_DECRYPT, CKA_SENSITIVE, CKA_PRIME_1}) {
        EXPECT_FALSE(P11RsaPublicKey::supportsAttributeType(type));
        expectRefused<AttributeTypeInvalidException>(publicView, type,
                                                     "Invalid attribute type [type=");
    }
    for (CK_ATTRIBUTE_TYPE type : {CKA_ENCRYPT, CKA_VERIFY, CKA_MODULUS_BITS, CKA_TRUSTED}) {
        EXPECT_FALSE(P11RsaPrivateKey::supportsAttributeType(type));
        expectRefused<AttributeTypeInvalidException>(privateView, type,
                                                     "Invalid attribute type [type=");
    }
}

TEST_F(KeyViews, PrivateKeyWhosePairLostItsPublicHalfKeepsItsModulusAndExponent) {
    storeCompletePair(key1024(), "lost", "p", "q");
    {
        auto call = beginCall();
        call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
        amw::KeyPair* pair = call->findKeyPair(buf<128>(text("lost")));
        call->amendKeyPairRemovePublicKey(pair);
        pair->commitCreationOrMetadataChanges();
    }
    P11RsaPrivateKey view(keyPairOnCard("lost"));
    expectValue(view, CKA_MODULUS, key1024().n);
    expectValue(view, CKA_PUBLIC_EXPONENT, key1024().e);
    expectValue(view, CKA_LABEL, text("q"));
}

TEST_F(KeyViews, EmptyLabelReadsAsTheHexTextOfTheIdentifier) {
    const std::string id("\x0A\xFF", 2);
    storeCompletePair(key1024(), id, "", "");
    P11RsaPublicKey publicView(keyPairOnCard(id));
    P11RsaPrivateKey privateView(publicView.getKeyPair());
    expectValue(publicView, CKA_LABEL, text("0AFF"));
    expectValue(privateView, CKA_LABEL, text("0AFF"));
}

TEST_F(KeyViews, ViewOverAPairWithoutItsHalfIsRefused) {
    auto call = beginCall();
    importKey<P11RsaPublicKey>(*call, publicTemplate(key1024(), "pub-only", "l"));
    importKey<P11RsaPrivateKey>(*call, privateTemplate(otherKey1024(), "priv-only", "l"));
    amw::KeyPair* publicOnly = call->findKeyPair(buf<128>(text("pub-only")));
    amw::KeyPair* privateOnly = call->findKeyPair(buf<128>(text("priv-only")));
    EXPECT_NE(std::string::npos, messageOf<InvalidArgumentException>([&] {
                                     P11RsaPrivateKey view(publicOnly);
                                 }).find("<keyPair->getRsaPrivateKey()>"));
    EXPECT_NE(std::string::npos, messageOf<InvalidArgumentException>([&] {
                                     P11RsaPublicKey view(privateOnly);
                                 }).find("<keyPair->getRsaPublicKey()>"));
    EXPECT_NE(std::string::npos, messageOf<InvalidArgumentException>([&] {
                                     P11RsaPublicKey view(nullptr);
                                 }).find("<keyPair>"));
}

// Writes: CKA_LABEL only, up to 128 bytes, kept in memory until committed.
template <class View>
void checkWrites(View& view, const std::vector<Row>& rows) {
    const Bytes value = text("x");
    for (const Row& row : rows) {
        if (row.type == CKA_LABEL) continue;
        SCOPED_TRACE(testing::Message() << "attribute 0x" << std::hex << row.type);
        const std::string message = messageOf<AttributeReadOnlyException>(
            [&] { view.setAttributeValue(row.type, value.data(), 1); });
        EXPECT_EQ(
            0u, message.rfind("Attribute is read-only [type=" + std::to_string(row.type) + ", ", 0))
            << message;
    }
    EXPECT_THROW(view.setAttributeValue(CKA_VALUE, value.data(), 1), AttributeTypeInvalidException);
    EXPECT_EQ("Invalid value of attribute [type=0x3]",
              messageOf<AttributValueInvalidException>(
                  [&] { view.setAttributeValue(CKA_LABEL, nullptr, 1); }));
    const Bytes tooLong(129, 'L');
    EXPECT_EQ("Size of attribute value is too big [type=3, actual=129, maximum=128]",
              messageOf<AttributValueInvalidException>(
                  [&] { view.setAttributeValue(CKA_LABEL, tooLong.data(), 129); }));
}

TEST_F(KeyViews, OnlyTheLabelIsWritableAndACommittedLabelReachesTheCard) {
    storeCompletePair(key1024(), "write", "old public", "old private");
    const Bytes longest(128, 'P');
    const Bytes renamed = text("new private");
    {
        auto call = beginCall();
        amw::KeyPair* pair = call->findKeyPair(buf<128>(text("write")));
        P11RsaPublicKey publicView(pair);
        P11RsaPrivateKey privateView(pair);
        checkWrites(publicView, publicRows());
        checkWrites(privateView, privateRows());
        publicView.setAttributeValue(CKA_LABEL, longest.data(), 128);
        privateView.setAttributeValue(CKA_LABEL, renamed.data(), 11);
        expectValue(publicView, CKA_LABEL, longest);
        expectValue(privateView, CKA_LABEL, renamed);
        publicView.commitChanges(*call);
    }
    P11RsaPublicKey publicView(keyPairOnCard("write"));
    P11RsaPrivateKey privateView(publicView.getKeyPair());
    expectValue(publicView, CKA_LABEL, longest);
    expectValue(privateView, CKA_LABEL, renamed);
}

}  // namespace
