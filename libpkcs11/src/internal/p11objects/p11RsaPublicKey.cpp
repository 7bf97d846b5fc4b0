// The public half of a card key pair as a Cryptoki object, its template
// parser (key generation and import) and its import.
#include <iterator>

#include "amw/amwtypes.h"
#include "amw/interruptedwritesteps.h"
#include "internal/cmapfile.h"
#include "internal/p11objects/p11classes.h"
#include "internal/p11objects/p11rsakey.h"
#include "logger.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

using rsakey::Source;

const AttributeTable& attributeTable() {
    static const AttributeTable table{
        {CKA_CLASS},         {CKA_LABEL, true, 128}, {CKA_MODIFIABLE},   {CKA_TOKEN},
        {CKA_PRIVATE},       {CKA_KEY_TYPE},         {CKA_ID},           {CKA_START_DATE},
        {CKA_END_DATE},      {CKA_DERIVE},           {CKA_LOCAL},        {CKA_KEY_GEN_MECHANISM},
        {CKA_ALLOWED_MECHANISMS},                    {CKA_SUBJECT},      {CKA_ENCRYPT},
        {CKA_VERIFY},        {CKA_VERIFY_RECOVER},   {CKA_WRAP},         {CKA_TRUSTED},
        {CKA_WRAP_TEMPLATE}, {CKA_MODULUS},          {CKA_MODULUS_BITS}, {CKA_PUBLIC_EXPONENT},
    };
    return table;
}

// CKA_TRUSTED is listed above (searches may name it) but has no value.
// CKA_ALLOWED_MECHANISMS lists the mechanism table's signing and decryption
// mechanisms, and a size query reports exactly that length.
constexpr rsakey::ValueRow VALUES[] = {
    {CKA_CLASS, Source::ULONG, CKO_PUBLIC_KEY},
    {CKA_TOKEN, Source::BOOL, 1},
    {CKA_PRIVATE, Source::BOOL, 0},
    {CKA_MODIFIABLE, Source::BOOL, 0},
    {CKA_DERIVE, Source::BOOL, 0},
    {CKA_LABEL, Source::LABEL},
    {CKA_KEY_TYPE, Source::ULONG, CKK_RSA},
    {CKA_ID, Source::ID},
    {CKA_SUBJECT, Source::NO_DATA},
    {CKA_START_DATE, Source::NO_DATA},
    {CKA_END_DATE, Source::NO_DATA},
    {CKA_ENCRYPT, Source::USAGE, 0x04},
    {CKA_WRAP, Source::USAGE, 0x08},
    {CKA_VERIFY, Source::USAGE, 0x20},
    {CKA_VERIFY_RECOVER, Source::USAGE, 0x40},
    {CKA_MODULUS, Source::MODULUS},
    {CKA_PUBLIC_EXPONENT, Source::PUBLIC_EXPONENT},
    {CKA_MODULUS_BITS, Source::MODULUS_BITS},
    {CKA_LOCAL, Source::LOCAL},
    {CKA_KEY_GEN_MECHANISM, Source::KEY_GEN_MECHANISM},
    {CKA_WRAP_TEMPLATE, Source::EMPTY},
    {CKA_ALLOWED_MECHANISMS, Source::ALLOWED_MECHANISMS},
};

constexpr rsakey::UsageRule USAGE[] = {
    {CKA_ENCRYPT, 0x04},
    {CKA_WRAP, 0x08},
    {CKA_VERIFY, 0x20},
};

// Template attributes of the public parser beyond identifier, label and usage.
void readKeyAttribute(const CK_ATTRIBUTE& attribute, RsaPublicKeyTemplate& out,
                      unsigned& present) {
    switch (attribute.type) {
    case CKA_MODULUS:
        TemplateReader::readBytes(attribute, 256, out.modulus);
        present |= P11RsaPublicKey::REQUIRE_MODULUS;
        break;
    case CKA_PUBLIC_EXPONENT:
        TemplateReader::readBytes(attribute, 256, out.publicExponent);
        present |= P11RsaPublicKey::REQUIRE_PUBLIC_EXPONENT;
        break;
    case CKA_MODULUS_BITS: {
        const CK_ULONG bits = TemplateReader::readUlong(attribute) & 0xFFFF;
        if (bits != 1024 && bits != 2048) {
            throw AttributValueInvalidException::invalidValue(CKA_MODULUS_BITS);
        }
        out.modulusBits = static_cast<std::uint32_t>(bits);
        present |= P11RsaPublicKey::REQUIRE_MODULUS_BITS;
        break;
    }
    default:
        break;  // not ours: ignored
    }
}

// Adds the public half to a pair that has only its private half: the pair
// gets a container record, written once the key is on the card.
void addToPrivateHalf(amw::CachedToken& token, amw::KeyPair& keyPair,
                      const RsaPublicKeyTemplate& parsed) {
    const std::uint32_t keySpec = keyPair.getKeyUsage() == amw::KEY_USAGE_SIGN
                                      ? amw::KeyPair::SIGNATURE_KEY
                                      : amw::KeyPair::KEY_EXCHANGE_KEY;
    cmapfile::addKeyPairWithContainer(token, [&](std::uint8_t containerIndex) -> amw::KeyPair& {
        token.amendKeyPairAddPublicKey(&keyPair, parsed.label, containerIndex, keySpec, parsed.keyUsage,
                                       {parsed.modulus, parsed.publicExponent});
        keyPair.commitCreationOrMetadataChanges();
        return keyPair;
    });
}

}  // namespace

P11RsaPublicKey::P11RsaPublicKey(amw::KeyPair* keyPair_)
    : P11Object(CKO_PUBLIC_KEY,
                rsakey::requireHalf(keyPair_, true, "keyPair->getRsaPublicKey()",
                                    "P11RsaPublicKey::P11RsaPublicKey")
                    .getPkcs11Id()),
      keyPair(keyPair_) {}

bool P11RsaPublicKey::supportsAttributeType(CK_ATTRIBUTE_TYPE type) {
    return attributeTable().supports(type);
}

void P11RsaPublicKey::getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) {
    const rsakey::Answer answer = rsakey::answer(VALUES, *keyPair, type);
    switch (answer.kind()) {
    case rsakey::Answer::BYTES:
        copyBufferToAttributeBuffer(buffer, length, answer.data(), answer.length());
        return;
    case rsakey::Answer::LABEL:
        copyLabel(buffer, length, keyPair->getPublicPart().label, getPkcs11Id());
        return;
    case rsakey::Answer::SENSITIVE:
        rsakey::sensitiveAttribute(type, length);
    case rsakey::Answer::INVALID:
        break;
    }
    invalidAttribute(type, length);
}

void P11RsaPublicKey::setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer,
                                        CK_ULONG length) {
    attributeTable().checkWrite(type, buffer, length);
    // CKA_LABEL is the only writable type.
    keyPair->setPublicLabel(StaticBuffer<128>(buffer, length));
}

void P11RsaPublicKey::commitChanges(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "P11RsaPublicKey::commitChanges");
    rsakey::commitKeyPair(token, *keyPair);
}

void P11RsaPublicKey::destroyObjectFromCard(amw::CachedToken* token) {
    static constexpr char FN[] = "P11RsaPublicKey::destroyObjectFromCard";
    TraceScope trace(LOG_FACILITY_PKCS11, FN);
    rsakey::destroyHalf(token, *keyPair, true, FN);
}

RsaPublicKeyTemplate P11RsaPublicKey::parseTemplate(const CK_ATTRIBUTE* attributes,
                                                    CK_ULONG count, unsigned required) {
    RsaPublicKeyTemplate out;
    unsigned present = 0;
    TemplateReader(attributes, count).forEach([&](const CK_ATTRIBUTE& attribute) {
        if (!rsakey::readCommonAttribute(attribute, USAGE, out)) {
            readKeyAttribute(attribute, out, present);
        }
    });
    if (out.hasId) present |= REQUIRE_ID;
    constexpr struct {
        unsigned bit;
        CK_ATTRIBUTE_TYPE type;
    } REQUIRED_ORDER[] = {{REQUIRE_ID, CKA_ID},
                          {REQUIRE_MODULUS, CKA_MODULUS},
                          {REQUIRE_PUBLIC_EXPONENT, CKA_PUBLIC_EXPONENT},
                          {REQUIRE_MODULUS_BITS, CKA_MODULUS_BITS}};
    for (const auto& rule : REQUIRED_ORDER) {
        if ((required & rule.bit) != 0) {
            rsakey::requirePresent((present & rule.bit) != 0, rule.type);
        }
    }
    return out;
}

StaticBuffer<128> P11RsaPublicKey::createObject(amw::CachedToken& token,
                                                const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    static constexpr char FN[] = "P11RsaPublicKey::createObject";
    TraceScope trace(LOG_FACILITY_PKCS11, FN);
    if (attributes == nullptr) {
        throw InvalidArgumentException::nullPointer("attributes", FN, __FILE__, __LINE__);
    }
    const RsaPublicKeyTemplate parsed = parseTemplate(attributes, count, IMPORT_REQUIRED);
    rsakey::requireCardModulus(parsed.modulus);
    amw::KeyPair* existing = token.findKeyPair(parsed.id);
    if (existing == nullptr) {
        token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
        amw::interruptedwrite::settleEveryKind(token);
        amw::KeyPair* created =
            token.importPublicKey(parsed.id, static_cast<std::uint32_t>(parsed.modulus.size() * 8),
                                  parsed.label, parsed.keyUsage,
                                  {parsed.modulus, parsed.publicExponent});
        created->commitCreationOrMetadataChanges();
        return parsed.id;
    }
    if (existing->hasPublicKey()) throw TemplateInconsistentException(CKA_ID);
    if (existing->getKeySize() / 8 != parsed.modulus.size()) {
        throw TemplateInconsistentException(CKA_MODULUS);
    }
    addToPrivateHalf(token, *existing, parsed);
    return parsed.id;
}
