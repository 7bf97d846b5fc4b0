// Key-pair generation on the card: the two templates reconciled into one
// identifier, a container index chosen before the card makes the key and its
// record written once the key exists, and the handles of both halves.
#include <cstring>

#include "amw/amwtypes.h"
#include "amw/cachedtoken.h"
#include "internal/cmapfile.h"
#include "internal/objecthandles.h"
#include "internal/p11objects/p11classes.h"
#include "internal/session.h"
#include "logger.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

// Every generated key gets the public exponent 65537.
const StaticBuffer<256>& defaultPublicExponent() {
    static const std::uint8_t bytes[] = {0x01, 0x00, 0x01};
    static const StaticBuffer<256> exponent(bytes, sizeof bytes);
    return exponent;
}

bool sameId(const StaticBuffer<128>& a, const StaticBuffer<128>& b) {
    return a.length == b.length && std::memcmp(a.data, b.data, a.length) == 0;
}

// The identifier both halves share: the one the templates give (they must
// not disagree), else a new one.
StaticBuffer<128> reconcileId(amw::CachedToken& token, const RsaKeyTemplate& publicKey,
                              const RsaKeyTemplate& privateKey) {
    if (publicKey.hasId && privateKey.hasId) {
        if (!sameId(publicKey.id, privateKey.id)) throw TemplateInconsistentException(CKA_ID);
        return publicKey.id;
    }
    if (publicKey.hasId) return publicKey.id;
    if (privateKey.hasId) return privateKey.id;
    StaticBuffer<128> generated;
    token.generatePkcs11Id(generated);
    return generated;
}

// A key that can only sign is a signature key; every other usage, and none,
// makes a key exchange key.
std::uint32_t keySpecFor(const RsaPrivateKeyTemplate& privateKey) {
    return privateKey.keyUsage == amw::KEY_USAGE_SIGN ? amw::KeyPair::SIGNATURE_KEY
                                                      : amw::KeyPair::KEY_EXCHANGE_KEY;
}

}  // namespace

void Session::generateKeyPair(amw::CachedToken& token, const CK_ATTRIBUTE* publicKeyTemplate,
                              CK_ULONG publicCount, const CK_ATTRIBUTE* privateKeyTemplate,
                              CK_ULONG privateCount, CK_OBJECT_HANDLE* hPublicKey,
                              CK_OBJECT_HANDLE* hPrivateKey) {
    static constexpr char FN[] = "Session::generateKeyPair";
    TraceScope trace(LOG_FACILITY_PKCS11, FN);
    if (publicKeyTemplate == nullptr) {
        throw InvalidArgumentException::nullPointer("publicKeyTemplate", FN, __FILE__, __LINE__);
    }
    if (privateKeyTemplate == nullptr) {
        throw InvalidArgumentException::nullPointer("privateKeyTemplate", FN, __FILE__, __LINE__);
    }
    if (hPublicKey == nullptr) throw InvalidArgumentException::nullPointer("hPublicKey", FN, __FILE__, __LINE__);
    if (hPrivateKey == nullptr) throw InvalidArgumentException::nullPointer("hPrivateKey", FN, __FILE__, __LINE__);

    const RsaPublicKeyTemplate publicKey =
        P11RsaPublicKey::parseTemplate(publicKeyTemplate, publicCount, P11RsaPublicKey::GENERATION_REQUIRED);
    const RsaPrivateKeyTemplate privateKey =
        P11RsaPrivateKey::parseTemplate(privateKeyTemplate, privateCount, P11RsaPrivateKey::GENERATION_REQUIRED);
    const StaticBuffer<128> pkcs11Id = reconcileId(token, publicKey, privateKey);
    if (token.findKeyPair(pkcs11Id) != nullptr) throw AttributValueInvalidException::invalidValue(CKA_ID);

    // The key is made before its container record is written (see
    // cmapfile.h): a generation that fails reserves nothing.
    cmapfile::addKeyPairWithContainer(token, [&](std::uint8_t containerIndex) -> amw::KeyPair& {
        amw::KeyPair* keyPair = token.generateKeyPair(
            publicKey.label, privateKey.label, publicKey.modulusBits, containerIndex, keySpecFor(privateKey),
            pkcs11Id, static_cast<std::uint16_t>(privateKey.keyUsage | publicKey.keyUsage),
            defaultPublicExponent());
        // The card knows the new pair only once its creation is committed.
        keyPair->commitCreationOrMetadataChanges();
        return *keyPair;
    });

    *hPrivateKey = ObjectHandles::handleFor(ObjectIdentity{token.getCardId(), pkcs11Id, CKO_PRIVATE_KEY});
    *hPublicKey = ObjectHandles::handleFor(ObjectIdentity{token.getCardId(), pkcs11Id, CKO_PUBLIC_KEY});
}
