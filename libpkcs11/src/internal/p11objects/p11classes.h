// The four Cryptoki object classes over card objects, as the session layer
// uses them. Each view is made for one call over an object of that call's
// cached token; createObject writes a new object to the card and returns its
// PKCS#11 identifier.
#pragma once

#include <cstddef>
#include <cstdint>

#include "amw/cachedtoken.h"
#include "amw/keymaterial.h"
#include "internal/p11objects/p11object.h"

class P11DataObject : public P11Object {
public:
    explicit P11DataObject(amw::DataObject* dataObject);
    void getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) override;
    void commitChanges(amw::CachedToken& token) override;
    void destroyObjectFromCard(amw::CachedToken* token) override;
    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    static StaticBuffer<128> createObject(amw::CachedToken& token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);

private:
    amw::DataObject* dataObject;
    bool contentModified = false;
};

class P11X509Certificate : public P11Object {
public:
    explicit P11X509Certificate(amw::X509Certificate* certificate);
    void getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) override;
    void commitChanges(amw::CachedToken& token) override;
    void destroyObjectFromCard(amw::CachedToken* token) override;
    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    static StaticBuffer<128> createObject(amw::CachedToken& token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);

    // The fields cut out of the DER encoding: the whole element (tag, length
    // and contents) is copied into `out`. False, with `out` unchanged, when the
    // encoding does not hold the field where a certificate has it.
    enum CertificateField { FIELD_SERIAL_NUMBER = 0, FIELD_ISSUER = 1, FIELD_SUBJECT = 2 };
    static bool parseCertificate(const std::uint8_t* der, std::size_t length, int field,
                                 StaticBuffer<65536>& out);
    // CKA_SERIAL_NUMBER, CKA_ISSUER and CKA_SUBJECT: the attributes read
    // through parseCertificate, unreadable when the encoding is not one.
    static bool isParsedField(CK_ATTRIBUTE_TYPE type) noexcept;
    // The key container a new certificate with this identifier belongs to:
    // that of a complete key pair with the same identifier, else the first
    // free container record that no other certificate uses (key exchange).
    static void getKeySpecContainerIndexForNewCertificate(amw::CachedToken& token,
                                                          const StaticBuffer<128>& pkcs11Id,
                                                          std::uint8_t* containerIndex,
                                                          std::uint32_t* keySpec);

private:
    amw::X509Certificate* certificate;
    bool contentModified = false;
};

// What an RSA key template says, as key generation and key import need it.
// Label and identifier are empty when absent; hasId tells an absent CKA_ID
// from an empty one (key generation makes an identifier only when neither
// template gives one).
struct RsaKeyTemplate {
    bool hasId = false;
    StaticBuffer<128> id;
    bool hasLabel = false;
    StaticBuffer<128> label;
    // Usage bits of the key pair's mask set by the template's CK_TRUE flags.
    std::uint16_t keyUsage = 0;
};

struct RsaPublicKeyTemplate : RsaKeyTemplate {
    StaticBuffer<256> modulus;
    StaticBuffer<256> publicExponent;
    // 1024 or 2048; 0 when the template has no CKA_MODULUS_BITS.
    std::uint32_t modulusBits = 0;
};

// The components wipe themselves when the structure goes away.
struct RsaPrivateKeyTemplate : RsaKeyTemplate {
    amw::RsaPrivateKeyComponents components;  // modulus, p, q, dp, dq, inv
};

class P11RsaPublicKey : public P11Object {
public:
    // Required-set bits of parseTemplate, checked in this order.
    static constexpr unsigned REQUIRE_ID = 1;
    static constexpr unsigned REQUIRE_MODULUS = 2;
    static constexpr unsigned REQUIRE_PUBLIC_EXPONENT = 4;
    static constexpr unsigned REQUIRE_MODULUS_BITS = 8;
    static constexpr unsigned GENERATION_REQUIRED = REQUIRE_MODULUS_BITS;
    static constexpr unsigned IMPORT_REQUIRED =
        REQUIRE_ID | REQUIRE_MODULUS | REQUIRE_PUBLIC_EXPONENT;

    explicit P11RsaPublicKey(amw::KeyPair* keyPair);
    void getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) override;
    void commitChanges(amw::CachedToken& token) override;
    void destroyObjectFromCard(amw::CachedToken* token) override;
    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    static StaticBuffer<128> createObject(amw::CachedToken& token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);
    // Checks a public key template (duplicates, sizes, values) and the
    // required set `required` (GENERATION_REQUIRED or IMPORT_REQUIRED);
    // attributes it does not know are ignored.
    static RsaPublicKeyTemplate parseTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                              unsigned required);
    amw::KeyPair* getKeyPair() const noexcept { return keyPair; }

private:
    amw::KeyPair* keyPair;
};

class P11RsaPrivateKey : public P11Object {
public:
    // Required-set bits of parseTemplate: the identifier, and the key
    // components with each factor-sized one at most half the modulus long.
    static constexpr unsigned REQUIRE_ID = 1;
    static constexpr unsigned REQUIRE_COMPONENTS = 2;
    static constexpr unsigned GENERATION_REQUIRED = 0;
    static constexpr unsigned IMPORT_REQUIRED = REQUIRE_ID | REQUIRE_COMPONENTS;

    explicit P11RsaPrivateKey(amw::KeyPair* keyPair);
    void getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) override;
    void commitChanges(amw::CachedToken& token) override;
    void destroyObjectFromCard(amw::CachedToken* token) override;
    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    static StaticBuffer<128> createObject(amw::CachedToken& token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);
    // As the public parser; CKA_PUBLIC_EXPONENT and CKA_PRIVATE_EXPONENT are
    // ignored (the card derives what it needs from the factors).
    static RsaPrivateKeyTemplate parseTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                               unsigned required);
    amw::KeyPair* getKeyPair() const noexcept { return keyPair; }

private:
    amw::KeyPair* keyPair;
};
