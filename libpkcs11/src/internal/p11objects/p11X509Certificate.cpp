#include <memory>

#include "amw/exceptions.h"
#include "amw/keypair.h"
#include "amw/x509certificate.h"
#include "calltrace.h"
#include "internal/cmapfile.h"
#include "internal/p11objects/p11classes.h"
#include "internal/p11objects/p11content.h"
#include "logger.h"
#include "p11exceptions.h"
#include "tlvparser.h"
#include "vxexception.h"

namespace {

using p11content::AC_DEFAULT;
constexpr CK_ULONG TEXT_MAXIMUM = 128;
constexpr CK_ULONG CATEGORY_TOKEN_USER = 1;
constexpr CK_ULONG CATEGORY_AUTHORITY = 2;

const AttributeTable& attributeTable() {
    static const AttributeTable table{
        {CKA_CLASS},
        {CKA_LABEL, true, TEXT_MAXIMUM},
        {CKA_MODIFIABLE},
        {CKA_TOKEN},
        {CKA_PRIVATE},
        {CKA_CERTIFICATE_TYPE},
        {CKA_TRUSTED},
        {CKA_CERTIFICATE_CATEGORY},
        {CKA_CHECK_VALUE},
        {CKA_START_DATE},
        {CKA_END_DATE},
        {CKA_SUBJECT},
        {CKA_ID},
        {CKA_ISSUER},
        {CKA_SERIAL_NUMBER},
        {CKA_VALUE, true, p11content::MAX_LENGTH},
        {CKA_URL},
        {CKA_HASH_OF_ISSUER_PUBLIC_KEY},
        {CKA_HASH_OF_SUBJECT_PUBLIC_KEY},
        {CKA_JAVA_MIDP_SECURITY_DOMAIN},
    };
    return table;
}

// DER tags on the way to the three fields.
constexpr std::uint8_t TAG_SEQUENCE = 0x30;
constexpr std::uint8_t TAG_INTEGER = 0x02;
constexpr std::uint8_t TAG_EXPLICIT_VERSION = 0xA0;

// Certificate ::= SEQUENCE { tbsCertificate TBSCertificate, ... }
// TBSCertificate ::= SEQUENCE {
//     version [0] EXPLICIT, serialNumber INTEGER, signature AlgorithmIdentifier,
//     issuer Name, validity Validity, subject Name, ... }
// After entering both sequences and skipping the version when it is there
// (DEFAULT v1), a field is found by
// skipping the elements before it; every Name, AlgorithmIdentifier and
// Validity is a SEQUENCE.
struct FieldPath {
    std::uint8_t skipped[4];
    std::size_t skippedCount;
    std::uint8_t tag;
};
constexpr FieldPath FIELD_PATHS[] = {
    {{}, 0, TAG_INTEGER},                                                        // serial number
    {{TAG_INTEGER, TAG_SEQUENCE}, 2, TAG_SEQUENCE},                              // issuer
    {{TAG_INTEGER, TAG_SEQUENCE, TAG_SEQUENCE, TAG_SEQUENCE}, 4, TAG_SEQUENCE},  // subject
};

// The version element is optional (absent means v1, as in old CA roots and
// in certificates made without extensions). When the next element carries its
// tag it must be whole; otherwise the cursor stays where it was and the
// serial number must come next.
void skipVersion(TlvReader& toBeSigned) {
    TlvReader attempt = toBeSigned;
    try {
        attempt.readNext(TAG_EXPLICIT_VERSION, nullptr, nullptr, false, true);
    } catch (const TlvParserException&) {
        // No version element, or a broken one: either way the serial number
        // is read at this position, and a broken version then fails there.
        return;
    }
    toBeSigned = attempt;
}

const StaticBuffer<128>& identifierOf(const amw::X509Certificate* certificate) {
    if (certificate == nullptr) {
        throw InvalidArgumentException::nullPointer(
            "certificate", "P11X509Certificate::P11X509Certificate", __FILE__, __LINE__);
    }
    return certificate->getPkcs11Id();
}

// The view's certificate; after destroyObjectFromCard there is none.
amw::X509Certificate& live(amw::X509Certificate* certificate) {
    if (certificate == nullptr) throw InternalErrorException("the certificate has been destroyed");
    return *certificate;
}

// A field cut out of the content; an encoding without it makes the attribute
// unreadable.
void copyParsedField(amw::X509Certificate& certificate, CK_ATTRIBUTE_TYPE type, int field,
                     void* buffer, CK_ULONG* length) {
    const amw::DataStorage::Content& content = certificate.getContent();
    auto parsed = std::make_unique<StaticBuffer<65536>>();
    if (!P11X509Certificate::parseCertificate(content.data, content.size(), field, *parsed)) {
        if (length != nullptr) *length = CK_UNAVAILABLE_INFORMATION;
        throw AttributeTypeInvalidException(type);
    }
    P11Object::copyBufferToAttributeBuffer(buffer, length, parsed->data,
                                           static_cast<CK_ULONG>(parsed->size()));
}

// What a creation template sets; everything else in it is ignored.
struct NewCertificate {
    bool trusted = false;
    bool hasId = false;
    StaticBuffer<128> label;
    StaticBuffer<128> id;
    // 64 KiB: kept off the stack.
    std::unique_ptr<amw::DataStorage::Content> value =
        std::make_unique<amw::DataStorage::Content>();

    void read(const CK_ATTRIBUTE& attribute) {
        switch (attribute.type) {
            case CKA_LABEL: TemplateReader::readBytes(attribute, TEXT_MAXIMUM, label); break;
            case CKA_VALUE:
                TemplateReader::readBytes(attribute, p11content::MAX_LENGTH, *value);
                break;
            case CKA_TRUSTED: trusted = TemplateReader::readBool(attribute); break;
            case CKA_ID:
                TemplateReader::readBytes(attribute, TEXT_MAXIMUM, id);
                p11content::refuseMarkedId(id);
                hasId = true;
                break;
            default: break;
        }
    }
};

}  // namespace

P11X509Certificate::P11X509Certificate(amw::X509Certificate* certificate_)
    : P11Object(CKO_CERTIFICATE, identifierOf(certificate_)), certificate(certificate_) {}

bool P11X509Certificate::supportsAttributeType(CK_ATTRIBUTE_TYPE type) {
    return attributeTable().supports(type);
}

bool P11X509Certificate::isParsedField(CK_ATTRIBUTE_TYPE type) noexcept {
    return type == CKA_SERIAL_NUMBER || type == CKA_ISSUER || type == CKA_SUBJECT;
}

void P11X509Certificate::getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) {
    amw::X509Certificate& cert = live(certificate);
    switch (type) {
        case CKA_CLASS: return copyUlong(buffer, length, CKO_CERTIFICATE);
        case CKA_TOKEN: return copyBool(buffer, length, true);
        case CKA_PRIVATE: return copyBool(buffer, length, false);
        case CKA_MODIFIABLE: return copyBool(buffer, length, true);
        case CKA_LABEL: return copyLabel(buffer, length, cert.getLabel(), getPkcs11Id());
        case CKA_ID: return copyStaticBuffer(buffer, length, getPkcs11Id());
        case CKA_VALUE: return p11content::copyContent(cert, buffer, length);
        case CKA_CERTIFICATE_TYPE: return copyUlong(buffer, length, CKC_X_509);
        case CKA_JAVA_MIDP_SECURITY_DOMAIN: return copyUlong(buffer, length, 0);
        case CKA_TRUSTED: return copyBool(buffer, length, cert.isTrusted());
        case CKA_CERTIFICATE_CATEGORY:
            return copyUlong(buffer, length,
                             cert.isTrusted() ? CATEGORY_AUTHORITY : CATEGORY_TOKEN_USER);
        case CKA_URL: return copyBufferToAttributeBuffer(buffer, length, nullptr, 0);
        case CKA_SERIAL_NUMBER:
            return copyParsedField(cert, type, FIELD_SERIAL_NUMBER, buffer, length);
        case CKA_ISSUER: return copyParsedField(cert, type, FIELD_ISSUER, buffer, length);
        case CKA_SUBJECT: return copyParsedField(cert, type, FIELD_SUBJECT, buffer, length);
        default: invalidAttribute(type, length);
    }
}

void P11X509Certificate::setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer,
                                           CK_ULONG length) {
    attributeTable().checkWrite(type, buffer, length);
    amw::X509Certificate& cert = live(certificate);
    switch (type) {
        case CKA_LABEL: cert.setLabel(StaticBuffer<128>(buffer, length)); break;
        case CKA_VALUE:
            p11content::setContent(cert, buffer, length);
            contentModified = true;
            break;
        default:
            // Every writable type of the table is handled above.
            throw InternalErrorException(
                "P11X509Certificate: unhandled writable attribute [type=%lu]",
                static_cast<unsigned long>(type));
    }
}

void P11X509Certificate::commitChanges(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "P11X509Certificate::commitChanges");
    amw::X509Certificate& cert = live(certificate);
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
    if (!contentModified) {
        cert.commitCreationOrMetadataChanges();
        return;
    }
    const auto deleteObject = [&token](amw::X509Certificate* doomed) { token.deleteCertificate(doomed); };
    amw::interruptedwrite::settleEveryKind(token);
    certificate = amw::interruptedwrite::replaceValue(
        token, cert,
        [&](const StaticBuffer<128>& markedId) {
            // The replacement keeps the conditions the original has, which
            // other software may have chosen.
            std::vector<std::uint16_t> access = cert.getCreationAccessConditions();
            access.resize(3, AC_DEFAULT);
            return token.createCertificate(cert.getLabel(), markedId, cert.getContainerIndex(),
                                           cert.getKeySpec(), cert.isTrusted(), access[0],
                                           access[1], access[2]);
        },
        deleteObject);
    contentModified = false;
}

// The container map is left as it is: the container may still hold keys.
void P11X509Certificate::destroyObjectFromCard(amw::CachedToken* token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "P11X509Certificate::destroyObjectFromCard");
    if (token == nullptr) {
        throw InvalidArgumentException::nullPointer(
            "token", "P11X509Certificate::destroyObjectFromCard", __FILE__, __LINE__);
    }
    amw::X509Certificate& cert = live(certificate);
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
    // First, so that a replacement that was cut off after its value was
    // written cannot take the place of the certificate destroyed now.
    amw::interruptedwrite::settleEveryKind(*token);
    token->deleteCertificate(&cert);
    // The token's list owned the certificate.
    certificate = nullptr;
}

bool P11X509Certificate::parseCertificate(const std::uint8_t* der, std::size_t length, int field,
                                          StaticBuffer<65536>& out) {
    if (field < FIELD_SERIAL_NUMBER || field > FIELD_SUBJECT) return false;
    if (der == nullptr) return false;
    const FieldPath& path = FIELD_PATHS[field];
    try {
        // Every field is read inside the to-be-signed part, which is read
        // inside the certificate: bytes around them are never taken for a field.
        TlvReader reader(der, length);
        TlvReader certificate = reader.readConstructed(TAG_SEQUENCE);
        TlvReader toBeSigned = certificate.readConstructed(TAG_SEQUENCE);
        skipVersion(toBeSigned);
        for (std::size_t i = 0; i < path.skippedCount; ++i) {
            toBeSigned.readNext(path.skipped[i], nullptr, nullptr, false, true);
        }
        toBeSigned.readNext(path.tag, &out, true);
        return true;
    } catch (const TlvParserException& e) {
        logException(LOG_FACILITY_PKCS11, e);
        return false;
    }
}

void P11X509Certificate::getKeySpecContainerIndexForNewCertificate(
    amw::CachedToken& token, const StaticBuffer<128>& pkcs11Id, std::uint8_t* containerIndex,
    std::uint32_t* keySpec) {
    TraceScope trace(LOG_FACILITY_PKCS11,
                     "P11X509Certificate::getKeySpecContainerIndexForNewCertificate");
    const char* function = "P11X509Certificate::getKeySpecContainerIndexForNewCertificate";
    if (containerIndex == nullptr) {
        throw InvalidArgumentException::nullPointer("containerIndex", function, __FILE__, __LINE__);
    }
    if (keySpec == nullptr) {
        throw InvalidArgumentException::nullPointer("keySpec", function, __FILE__, __LINE__);
    }
    const amw::KeyPair* keyPair = token.findKeyPair(pkcs11Id);
    if (keyPair != nullptr && keyPair->isComplete()) {
        *containerIndex = keyPair->getContainerIndex();
        *keySpec = keyPair->getKeySpec();
        return;
    }
    const cmapfile::Files files = cmapfile::loadCmapfileAndCardcf(token);
    const amw::DataStorage::Content& map = files.cmapfile->getContent();
    const auto found =
        cmapfile::findAvaliableRecordInCmapfile(token.getCertificates(), map.data, map.size());
    if (found) {
        *containerIndex = *found;
    } else {
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11,
                       L"no free container found, using non existent container index");
        }
        // One past the next record to be appended, so a certificate there
        // claims no existing record; the index is one byte.
        const std::size_t beyond = map.size() / cmapfile::RECORD_SIZE + 1;
        *containerIndex = static_cast<std::uint8_t>(beyond < 0xFF ? beyond : 0xFF);
    }
    *keySpec = amw::KeyPair::KEY_EXCHANGE_KEY;
}

StaticBuffer<128> P11X509Certificate::createObject(amw::CachedToken& token,
                                                   const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    TraceScope trace(LOG_FACILITY_PKCS11, "P11X509Certificate::createObject");
    NewCertificate fields;
    TemplateReader(attributes, count).forEach([&](const CK_ATTRIBUTE& a) { fields.read(a); });
    if (!fields.hasId) throw TemplateIncompleteException(CKA_ID);

    std::uint8_t containerIndex = 0;
    std::uint32_t keySpec = 0;
    getKeySpecContainerIndexForNewCertificate(token, fields.id, &containerIndex, &keySpec);
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
    const auto deleteObject = [&token](amw::X509Certificate* doomed) { token.deleteCertificate(doomed); };
    amw::interruptedwrite::settleEveryKind(token);
    // Created under a marked identifier, the token cannot see a duplicate.
    if (token.findCertificate(fields.id) != nullptr) {
        throw amw::DuplicatePkcs11IdException(fields.id.data, fields.id.size());
    }
    amw::X509Certificate* created = token.createCertificate(
        fields.label, amw::interruptedwrite::creationId(fields.id, fields.value->size()), containerIndex,
        keySpec, fields.trusted, AC_DEFAULT, AC_DEFAULT, AC_DEFAULT);
    amw::interruptedwrite::commitNewObject(*created, fields.id, fields.value->data, fields.value->size(),
                                deleteObject);
    return fields.id;
}
