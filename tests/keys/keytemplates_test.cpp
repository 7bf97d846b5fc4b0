// The two key template parsers: value rules, usage flags, duplicates and
// the required sets of key generation and import. No card is involved.
#include <string>

#include "internal/p11objects/p11classes.h"
#include "keystestsupport.h"
#include "p11exceptions.h"

namespace {

using namespace keystest;

const std::string ULONG_SIZE = std::to_string(sizeof(CK_ULONG));

RsaPublicKeyTemplate parsePublic(Template t, unsigned required) {
    return P11RsaPublicKey::parseTemplate(t.data(), t.count(), required);
}

RsaPrivateKeyTemplate parsePrivate(Template t, unsigned required) {
    return P11RsaPrivateKey::parseTemplate(t.data(), t.count(), required);
}

template <class E>
std::string publicFailure(Template t, unsigned required) {
    return messageOf<E>([&] { parsePublic(t, required); });
}

template <class E>
std::string privateFailure(Template t, unsigned required) {
    return messageOf<E>([&] { parsePrivate(t, required); });
}

std::string missing(const char* hexType) {
    return std::string("Template is incomplete. Missing attribute type [type=0x") + hexType + "]";
}

TEST(PublicKeyTemplate, ImportTemplateGivesIdentifierLabelUsageAndComponents) {
    const RsaPublicKeyTemplate parsed =
        parsePublic(publicTemplate(key1024(), "id-1", "label-1"), P11RsaPublicKey::IMPORT_REQUIRED);
    EXPECT_TRUE(parsed.hasId);
    EXPECT_EQ(text("id-1"), bytesOf(parsed.id));
    EXPECT_TRUE(parsed.hasLabel);
    EXPECT_EQ(text("label-1"), bytesOf(parsed.label));
    EXPECT_EQ(0x24, parsed.keyUsage);  // encrypt and verify true, wrap false
    EXPECT_EQ(key1024().n, bytesOf(parsed.modulus));
    EXPECT_EQ(key1024().e, bytesOf(parsed.publicExponent));
    EXPECT_EQ(0u, parsed.modulusBits);
}

TEST(PublicKeyTemplate, GenerationTemplateNeedsOnlyTheModulusBits) {
    Template t;
    t.addUlong(CKA_MODULUS_BITS, 2048).addBool(CKA_WRAP, true);
    const RsaPublicKeyTemplate parsed = parsePublic(t, P11RsaPublicKey::GENERATION_REQUIRED);
    EXPECT_FALSE(parsed.hasId);
    EXPECT_FALSE(parsed.hasLabel);
    EXPECT_EQ(2048u, parsed.modulusBits);
    EXPECT_EQ(0x08, parsed.keyUsage);
    EXPECT_EQ(missing("121"),
              publicFailure<TemplateIncompleteException>(Template().addBool(CKA_VERIFY, true),
                                                         P11RsaPublicKey::GENERATION_REQUIRED));
}

TEST(PublicKeyTemplate, ModulusBitsAreTakenByTheirLow16BitsAndMustBe1024Or2048) {
    EXPECT_EQ(1024u, parsePublic(Template().addUlong(CKA_MODULUS_BITS, 0x10400), 8).modulusBits);
    for (CK_ULONG bits : {1536ul, 512ul, 4096ul, 0ul, 1025ul}) {
        EXPECT_EQ("Invalid value of attribute [type=0x121]",
                  publicFailure<AttributValueInvalidException>(
                      Template().addUlong(CKA_MODULUS_BITS, bits), 8))
            << bits;
    }
}

TEST(PublicKeyTemplate, ModulusBitsMustBeExactlyACkUlong) {
    const Bytes twice(2 * sizeof(CK_ULONG), 0);
    const Bytes half(sizeof(CK_ULONG) / 2, 0);
    EXPECT_EQ(
        "Size of attribute value is too big [type=289, actual=" + std::to_string(twice.size()) +
            ", maximum=" + ULONG_SIZE + "]",
        publicFailure<AttributValueInvalidException>(Template().add(CKA_MODULUS_BITS, twice), 8));
    EXPECT_EQ(
        "Size of attribute value is too small [type=289, actual=" + std::to_string(half.size()) +
            ", minimum=" + ULONG_SIZE + "]",
        publicFailure<AttributValueInvalidException>(Template().add(CKA_MODULUS_BITS, half), 8));
}

TEST(PublicKeyTemplate, ImportRequiresIdentifierModulusAndExponentInThatOrder) {
    const unsigned mask = P11RsaPublicKey::IMPORT_REQUIRED;
    const Template full = publicTemplate(key1024(), "id", "l");
    EXPECT_EQ(missing("102"), publicFailure<TemplateIncompleteException>(
                                  full.without(CKA_ID).without(CKA_MODULUS), mask));
    EXPECT_EQ(missing("120"), publicFailure<TemplateIncompleteException>(
                                  full.without(CKA_MODULUS).without(CKA_PUBLIC_EXPONENT), mask));
    EXPECT_EQ(missing("122"),
              publicFailure<TemplateIncompleteException>(full.without(CKA_PUBLIC_EXPONENT), mask));
    // Label and usage flags are optional.
    EXPECT_EQ("no exception", publicFailure<TemplateIncompleteException>(
                                  full.without(CKA_LABEL).without(CKA_ENCRYPT), mask));
}

TEST(PublicKeyTemplate, SizeLimitsOfByteValues) {
    const struct {
        CK_ATTRIBUTE_TYPE type;
        std::size_t maximum;
    } limits[] = {{CKA_LABEL, 128}, {CKA_ID, 128}, {CKA_MODULUS, 256}, {CKA_PUBLIC_EXPONENT, 256}};
    for (const auto& limit : limits) {
        EXPECT_EQ("no exception", publicFailure<AttributValueInvalidException>(
                                      Template().add(limit.type, Bytes(limit.maximum, 1)), 0));
        EXPECT_EQ("Size of attribute value is too big [type=" + std::to_string(limit.type) +
                      ", actual=" + std::to_string(limit.maximum + 1) +
                      ", maximum=" + std::to_string(limit.maximum) + "]",
                  publicFailure<AttributValueInvalidException>(
                      Template().add(limit.type, Bytes(limit.maximum + 1, 1)), 0));
    }
}

TEST(PublicKeyTemplate, UsageFlagsAreOneByteAndSetOnlyWhenExactlyTrue) {
    Template t;
    t.add(CKA_ENCRYPT, Bytes{2}).addBool(CKA_VERIFY, true).addBool(CKA_WRAP, false);
    EXPECT_EQ(0x20, parsePublic(t, 0).keyUsage);
    EXPECT_EQ(
        "Size of attribute value is too big [type=260, actual=2, maximum=1]",
        publicFailure<AttributValueInvalidException>(Template().add(CKA_ENCRYPT, Bytes{1, 0}), 0));
    EXPECT_EQ("Size of attribute value is too small [type=266, actual=0, minimum=1]",
              publicFailure<AttributValueInvalidException>(Template().add(CKA_VERIFY, Bytes()), 0));
}

TEST(PublicKeyTemplate, AttributesOfOtherKindsAreIgnoredWithoutChecks) {
    Template t;
    t.add(CKA_SIGN, Bytes(9, 1)).add(CKA_VERIFY_RECOVER, Bytes{1}).add(CKA_SUBJECT, Bytes(500, 0));
    t.add(CKA_CLASS, Bytes{1});
    const RsaPublicKeyTemplate parsed = parsePublic(t, 0);
    EXPECT_EQ(0, parsed.keyUsage);
}

TEST(PublicKeyTemplate, RepeatedAttributeIsInconsistentEvenWhenIgnored) {
    Template t = publicTemplate(key1024(), "id", "l");
    EXPECT_EQ(
        "Template is inconsistent. Multiple occurence of attribute [type=258]",
        publicFailure<TemplateInconsistentException>(Template(t).add(CKA_ID, text("other")), 7));
    EXPECT_EQ("Template is inconsistent. Multiple occurence of attribute [type=0]",
              publicFailure<TemplateInconsistentException>(
                  Template(t).addUlong(CKA_CLASS, CKO_PUBLIC_KEY), 7));
}

TEST(PublicKeyTemplate, MalformedTemplatesAreRefused) {
    EXPECT_NE(std::string::npos, messageOf<InvalidArgumentException>([] {
                                     P11RsaPublicKey::parseTemplate(nullptr, 2, 0);
                                 }).find("<attributes>"));
    CK_ATTRIBUTE nullValue{CKA_MODULUS, nullptr, 128};
    EXPECT_EQ("Invalid value of attribute [type=0x120]",
              messageOf<AttributValueInvalidException>(
                  [&] { P11RsaPublicKey::parseTemplate(&nullValue, 1, 0); }));
    EXPECT_EQ(missing("102"), messageOf<TemplateIncompleteException>(
                                  [] { P11RsaPublicKey::parseTemplate(nullptr, 0, 7); }));
}

TEST(PrivateKeyTemplate, ImportTemplateGivesComponentsAndPrivateUsage) {
    const RsaPrivateKeyTemplate parsed = parsePrivate(privateTemplate(key1024(), "id-2", "label-2"),
                                                      P11RsaPrivateKey::IMPORT_REQUIRED);
    EXPECT_EQ(text("id-2"), bytesOf(parsed.id));
    EXPECT_EQ(text("label-2"), bytesOf(parsed.label));
    EXPECT_EQ(0x03, parsed.keyUsage);
    EXPECT_EQ(key1024().n, bytesOf(parsed.components.modulus));
    EXPECT_EQ(key1024().p, bytesOf(parsed.components.p));
    EXPECT_EQ(key1024().q, bytesOf(parsed.components.q));
    EXPECT_EQ(key1024().dp, bytesOf(parsed.components.dp));
    EXPECT_EQ(key1024().dq, bytesOf(parsed.components.dq));
    EXPECT_EQ(key1024().qinv, bytesOf(parsed.components.inv));
    EXPECT_EQ(key1024().e, bytesOf(parsed.components.publicExponent)) << "kept with a private key alone";
}

TEST(PrivateKeyTemplate, GenerationRequiresNothingAndReadsUsage) {
    Template t;
    t.addBool(CKA_SIGN, true).addBool(CKA_UNWRAP, true).addBool(CKA_DECRYPT, false);
    const RsaPrivateKeyTemplate parsed = parsePrivate(t, P11RsaPrivateKey::GENERATION_REQUIRED);
    EXPECT_EQ(0x11, parsed.keyUsage);
    EXPECT_FALSE(parsed.hasId);
    EXPECT_FALSE(parsePrivate(Template(), 0).hasLabel);
}

TEST(PrivateKeyTemplate, ImportRequiresIdentifierThenComponentsInTheirOrder) {
    const unsigned mask = P11RsaPrivateKey::IMPORT_REQUIRED;
    Template t = privateTemplate(key1024(), "id", "l");
    EXPECT_EQ(missing("102"), privateFailure<TemplateIncompleteException>(
                                  t.without(CKA_ID).without(CKA_MODULUS), mask));
    const CK_ATTRIBUTE_TYPE order[] = {CKA_MODULUS,     CKA_PRIME_1,    CKA_PRIME_2,
                                       CKA_COEFFICIENT, CKA_EXPONENT_1, CKA_EXPONENT_2};
    const char* hex[] = {"120", "124", "125", "128", "126", "127"};
    // Without component i and every later one, component i is reported.
    for (std::size_t i = 6; i-- > 0;) {
        t = t.without(order[i]);
        EXPECT_EQ(missing(hex[i]), privateFailure<TemplateIncompleteException>(t, mask));
    }
}

TEST(PrivateKeyTemplate, FactorSizedComponentsMayBeAtMostHalfTheModulus) {
    const CK_ATTRIBUTE_TYPE order[] = {CKA_PRIME_1, CKA_PRIME_2, CKA_COEFFICIENT, CKA_EXPONENT_1,
                                       CKA_EXPONENT_2};
    const char* hex[] = {"124", "125", "128", "126", "127"};
    Template t = privateTemplate(key1024(), "id", "l");
    for (CK_ATTRIBUTE_TYPE type : order) t = t.without(type).add(type, Bytes(65, 1));
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(std::string("Invalid value of attribute [type=0x") + hex[i] + "]",
                  privateFailure<AttributValueInvalidException>(t, 3));
        t = t.without(order[i]).add(order[i], Bytes(64, 1));
    }
    EXPECT_EQ("no exception", privateFailure<AttributValueInvalidException>(t, 3));
    // Without the components bit nothing is compared.
    EXPECT_EQ("no exception",
              privateFailure<AttributValueInvalidException>(
                  Template().add(CKA_MODULUS, Bytes(128, 1)).add(CKA_PRIME_1, Bytes(200, 1)),
                  P11RsaPrivateKey::GENERATION_REQUIRED));
}

TEST(PrivateKeyTemplate, PrivateExponentAndOtherKindsAreIgnored) {
    Template t;
    t.add(CKA_PRIVATE_EXPONENT, Bytes(300, 1));
    t.add(CKA_ENCRYPT, Bytes{1}).add(CKA_SIGN_RECOVER, Bytes{1});
    const RsaPrivateKeyTemplate parsed = parsePrivate(t, 0);
    EXPECT_EQ(0, parsed.keyUsage);
    EXPECT_EQ("Size of attribute value is too big [type=292, actual=257, maximum=256]",
              privateFailure<AttributValueInvalidException>(
                  Template().add(CKA_PRIME_1, Bytes(257, 1)), 0));
    EXPECT_EQ("Size of attribute value is too big [type=290, actual=257, maximum=256]",
              privateFailure<AttributValueInvalidException>(
                  Template().add(CKA_PUBLIC_EXPONENT, Bytes(257, 1)), 0));
    EXPECT_EQ("Template is inconsistent. Multiple occurence of attribute [type=291]",
              privateFailure<TemplateInconsistentException>(
                  Template(t).add(CKA_PRIVATE_EXPONENT, Bytes{1}), 0));
}

}  // namespace
