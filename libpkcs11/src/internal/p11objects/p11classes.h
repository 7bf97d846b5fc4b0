// The four Cryptoki object classes over card objects, as the session layer
// uses them. Each view is made for one call over an object of that call's
// cached token; createObject writes a new object to the card and returns its
// PKCS#11 identifier.
#pragma once

#include <cstddef>
#include <cstdint>

#include "amw/cachedtoken.h"
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

class P11RsaPublicKey : public P11Object {
public:
    explicit P11RsaPublicKey(amw::KeyPair* keyPair);
    void getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) override;
    void commitChanges(amw::CachedToken& token) override;
    void destroyObjectFromCard(amw::CachedToken* token) override;
    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    static StaticBuffer<128> createObject(amw::CachedToken& token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);
    amw::KeyPair* getKeyPair() const noexcept { return keyPair; }

private:
    amw::KeyPair* keyPair;
};

class P11RsaPrivateKey : public P11Object {
public:
    explicit P11RsaPrivateKey(amw::KeyPair* keyPair);
    void getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) override;
    void commitChanges(amw::CachedToken& token) override;
    void destroyObjectFromCard(amw::CachedToken* token) override;
    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    static StaticBuffer<128> createObject(amw::CachedToken& token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);
    amw::KeyPair* getKeyPair() const noexcept { return keyPair; }

private:
    amw::KeyPair* keyPair;
};
