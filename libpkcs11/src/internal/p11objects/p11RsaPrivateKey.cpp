// The private half of a card key pair as a Cryptoki object, its template
// parser (key generation and import) and its import. Key components are
// only ever passed on to the token, which sends them masked; they are never
// read back and never traced here.
#include "amw/exceptions.h"
#include "amw/interruptedwritesteps.h"
#include "internal/p11objects/p11classes.h"
#include "internal/p11objects/p11rsakey.h"
#include "logger.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

using rsakey::Source;
using Components = amw::RsaPrivateKeyComponents;

const AttributeTable& attributeTable() {
    static const AttributeTable table{
        {CKA_CLASS},           {CKA_LABEL, true, 128},   {CKA_MODIFIABLE},
        {CKA_TOKEN},           {CKA_PRIVATE},            {CKA_KEY_TYPE},
        {CKA_ID},              {CKA_START_DATE},         {CKA_END_DATE},
        {CKA_DERIVE},          {CKA_LOCAL},              {CKA_KEY_GEN_MECHANISM},
        {CKA_ALLOWED_MECHANISMS},                        {CKA_SUBJECT},
        {CKA_SENSITIVE},       {CKA_DECRYPT},            {CKA_SIGN},
        {CKA_SIGN_RECOVER},    {CKA_UNWRAP},             {CKA_EXTRACTABLE},
        {CKA_ALWAYS_SENSITIVE},                          {CKA_NEVER_EXTRACTABLE},
        {CKA_WRAP_WITH_TRUSTED},                         {CKA_UNWRAP_TEMPLATE},
        {CKA_ALWAYS_AUTHENTICATE},                       {CKA_MODULUS},
        {CKA_PUBLIC_EXPONENT}, {CKA_PRIVATE_EXPONENT},   {CKA_PRIME_1},
        {CKA_PRIME_2},         {CKA_EXPONENT_1},         {CKA_EXPONENT_2},
        {CKA_COEFFICIENT},
    };
    return table;
}

// CKA_SUBJECT and the dates are listed above but have no value here.
// Modulus and public exponent come from the pair's public half, or for a
// private key imported alone from what its import kept.
constexpr rsakey::ValueRow VALUES[] = {
    {CKA_CLASS, Source::ULONG, CKO_PRIVATE_KEY},
    {CKA_TOKEN, Source::BOOL, 1},
    {CKA_PRIVATE, Source::BOOL, 1},
    {CKA_MODIFIABLE, Source::BOOL, 0},
    {CKA_DERIVE, Source::BOOL, 0},
    {CKA_SENSITIVE, Source::BOOL, 1},
    {CKA_ALWAYS_SENSITIVE, Source::BOOL, 1},
    {CKA_NEVER_EXTRACTABLE, Source::BOOL, 1},
    {CKA_EXTRACTABLE, Source::BOOL, 0},
    {CKA_WRAP_WITH_TRUSTED, Source::BOOL, 0},
    {CKA_ALWAYS_AUTHENTICATE, Source::BOOL, 0},
    {CKA_LABEL, Source::LABEL},
    {CKA_KEY_TYPE, Source::ULONG, CKK_RSA},
    {CKA_ID, Source::ID},
    {CKA_SIGN, Source::USAGE, 0x01},
    {CKA_DECRYPT, Source::USAGE, 0x02},
    {CKA_UNWRAP, Source::USAGE, 0x10},
    {CKA_SIGN_RECOVER, Source::USAGE, 0x80},
    {CKA_MODULUS, Source::MODULUS},
    {CKA_PUBLIC_EXPONENT, Source::PUBLIC_EXPONENT},
    {CKA_PRIVATE_EXPONENT, Source::SENSITIVE},
    {CKA_PRIME_1, Source::SENSITIVE},
    {CKA_PRIME_2, Source::SENSITIVE},
    {CKA_EXPONENT_1, Source::SENSITIVE},
    {CKA_EXPONENT_2, Source::SENSITIVE},
    {CKA_COEFFICIENT, Source::SENSITIVE},
    {CKA_LOCAL, Source::LOCAL},
    {CKA_KEY_GEN_MECHANISM, Source::KEY_GEN_MECHANISM},
    {CKA_UNWRAP_TEMPLATE, Source::NO_DATA},
    {CKA_ALLOWED_MECHANISMS, Source::ALLOWED_MECHANISMS},
};

constexpr rsakey::UsageRule USAGE[] = {
    {CKA_SIGN, 0x01},
    {CKA_DECRYPT, 0x02},
    {CKA_UNWRAP, 0x10},
};

// The key components a template carries, in the order the required set
// checks them; every one but the modulus is at most half the modulus long.
struct ComponentRule {
    CK_ATTRIBUTE_TYPE type;
    StaticBuffer<256> Components::*field;
};
constexpr ComponentRule COMPONENTS[] = {
    {CKA_MODULUS, &Components::modulus}, {CKA_PRIME_1, &Components::p},
    {CKA_PRIME_2, &Components::q},       {CKA_COEFFICIENT, &Components::inv},
    {CKA_EXPONENT_1, &Components::dp},   {CKA_EXPONENT_2, &Components::dq},
};
constexpr std::size_t COMPONENT_COUNT = sizeof COMPONENTS / sizeof COMPONENTS[0];

// Reads a key component into its field; false when the type is no component.
bool readComponent(const CK_ATTRIBUTE& attribute, Components& components, unsigned& present) {
    for (std::size_t i = 0; i < COMPONENT_COUNT; ++i) {
        if (COMPONENTS[i].type == attribute.type) {
            TemplateReader::readBytes(attribute, 256, components.*COMPONENTS[i].field);
            present |= 1u << i;
            return true;
        }
    }
    return false;
}

void requireComponents(const Components& components, unsigned present) {
    for (std::size_t i = 0; i < COMPONENT_COUNT; ++i) {
        rsakey::requirePresent((present & (1u << i)) != 0, COMPONENTS[i].type);
    }
    const std::size_t modulusLength = components.modulus.size();
    for (std::size_t i = 1; i < COMPONENT_COUNT; ++i) {
        if ((components.*COMPONENTS[i].field).size() * 2 > modulusLength) {
            throw AttributValueInvalidException::invalidValue(COMPONENTS[i].type);
        }
    }
}

}  // namespace

P11RsaPrivateKey::P11RsaPrivateKey(amw::KeyPair* keyPair_)
    : P11Object(CKO_PRIVATE_KEY,
                rsakey::requireHalf(keyPair_, false, "keyPair->getRsaPrivateKey()",
                                    "P11RsaPrivateKey::P11RsaPrivateKey")
                    .getPkcs11Id()),
      keyPair(keyPair_) {}

bool P11RsaPrivateKey::supportsAttributeType(CK_ATTRIBUTE_TYPE type) {
    return attributeTable().supports(type);
}

void P11RsaPrivateKey::getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) {
    const rsakey::Answer answer = rsakey::answer(VALUES, *keyPair, type);
    switch (answer.kind()) {
    case rsakey::Answer::BYTES:
        copyBufferToAttributeBuffer(buffer, length, answer.data(), answer.length());
        return;
    case rsakey::Answer::LABEL:
        copyLabel(buffer, length, keyPair->getPrivatePart().label, getPkcs11Id());
        return;
    case rsakey::Answer::SENSITIVE:
        rsakey::sensitiveAttribute(type, length);
    case rsakey::Answer::INVALID:
        break;
    }
    invalidAttribute(type, length);
}

void P11RsaPrivateKey::setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer,
                                         CK_ULONG length) {
    attributeTable().checkWrite(type, buffer, length);
    // CKA_LABEL is the only writable type.
    keyPair->setPrivateLabel(StaticBuffer<128>(buffer, length));
}

void P11RsaPrivateKey::commitChanges(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "P11RsaPrivateKey::commitChanges");
    rsakey::commitKeyPair(token, *keyPair);
}

void P11RsaPrivateKey::destroyObjectFromCard(amw::CachedToken* token) {
    static constexpr char FN[] = "P11RsaPrivateKey::destroyObjectFromCard";
    TraceScope trace(LOG_FACILITY_PKCS11, FN);
    rsakey::destroyHalf(token, *keyPair, false, FN);
}

RsaPrivateKeyTemplate P11RsaPrivateKey::parseTemplate(const CK_ATTRIBUTE* attributes,
                                                      CK_ULONG count, unsigned required) {
    RsaPrivateKeyTemplate out;
    unsigned present = 0;
    TemplateReader(attributes, count).forEach([&](const CK_ATTRIBUTE& attribute) {
        if (rsakey::readCommonAttribute(attribute, USAGE, out)) return;
        if (readComponent(attribute, out.components, present)) return;
        // Optional: kept with a private key imported alone, not sent to the card.
        if (attribute.type == CKA_PUBLIC_EXPONENT) {
            TemplateReader::readBytes(attribute, 256, out.components.publicExponent);
        }
    });
    if ((required & REQUIRE_ID) != 0) rsakey::requirePresent(out.hasId, CKA_ID);
    if ((required & REQUIRE_COMPONENTS) != 0) requireComponents(out.components, present);
    return out;
}

StaticBuffer<128> P11RsaPrivateKey::createObject(amw::CachedToken& token,
                                                 const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    static constexpr char FN[] = "P11RsaPrivateKey::createObject";
    TraceScope trace(LOG_FACILITY_PKCS11, FN);
    if (attributes == nullptr) {
        throw InvalidArgumentException::nullPointer("attributes", FN, __FILE__, __LINE__);
    }
    const RsaPrivateKeyTemplate parsed = parseTemplate(attributes, count, IMPORT_REQUIRED);
    rsakey::requireCardModulus(parsed.components.modulus);
    const amw::KeyPair* existing = token.findKeyPair(parsed.id);
    if (existing != nullptr) {
        if (existing->hasPrivateKey()) throw TemplateInconsistentException(CKA_ID);
        if (existing->getKeySize() / 8 != 2 * parsed.components.dp.size()) {
            throw TemplateInconsistentException(CKA_MODULUS);
        }
        // A private key joins no stored public half: the token would refuse
        // the identifier after the freshness block had been written.
        throw amw::DuplicatePkcs11IdException(parsed.id.data, parsed.id.size());
    }
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    amw::interruptedwrite::settleEveryKind(token);
    amw::KeyPair* created = token.importPrivateKey(
        parsed.id, static_cast<std::uint32_t>(parsed.components.modulus.size() * 8), parsed.label,
        parsed.keyUsage, parsed.components);
    created->commitCreationOrMetadataChanges();
    return parsed.id;
}
