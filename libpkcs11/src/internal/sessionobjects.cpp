// A session's object search, its object views and its operation keys.
#include <algorithm>
#include <array>

#include "amw/cachedtoken.h"
#include "amw/interruptedwrite.h"
#include "internal/p11objects/p11classes.h"
#include "internal/session.h"
#include "internal/sessionconnection.h"
#include "logger.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

// Which classes a search may still return.
struct Candidates {
    bool certificates = true;
    bool dataObjects = true;
    bool publicKeys = true;
    bool privateKeys = false;

    void keepOnly(CK_OBJECT_CLASS objectClass) {
        certificates = certificates && objectClass == CKO_CERTIFICATE;
        dataObjects = dataObjects && objectClass == CKO_DATA;
        publicKeys = publicKeys && objectClass == CKO_PUBLIC_KEY;
        privateKeys = privateKeys && objectClass == CKO_PRIVATE_KEY;
    }
    void keepSupporting(CK_ATTRIBUTE_TYPE type) {
        certificates = certificates && P11X509Certificate::supportsAttributeType(type);
        dataObjects = dataObjects && P11DataObject::supportsAttributeType(type);
        publicKeys = publicKeys && P11RsaPublicKey::supportsAttributeType(type);
        privateKeys = privateKeys && P11RsaPrivateKey::supportsAttributeType(type);
    }
};

CK_OBJECT_CLASS readClassValue(const CK_ATTRIBUTE& attribute) {
    return TemplateReader::readUlong(attribute);
}

bool isPrivate(P11Object& object) {
    CK_BBOOL value = CK_FALSE;
    CK_ULONG length = sizeof value;
    object.getAttributeValue(CKA_PRIVATE, &value, &length);
    return value == CK_TRUE;
}

// What a write interrupted by a lost card left behind is nobody's object.
template <class Object>
bool isLeftOver(const Object& object) {
    return amw::interruptedwrite::isLeftover(object);
}

[[noreturn]] void invalidClass(CK_OBJECT_CLASS objectClass, int line) {
    throw InternalErrorException("invalid object class [%lu]. [%d]:%s ",
                                 static_cast<unsigned long>(objectClass), line, sourceBaseName(__FILE__));
}

// A certificate whose value cannot be parsed (written by other software, or
// without a value) has no subject, issuer or serial number to compare: it
// does not match, and the search goes on. Every other failed read ends the
// search as it does for the other classes.
bool matchCertificateWithTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                  P11X509Certificate& view) {
    for (CK_ULONG i = 0; i < count; ++i) {
        try {
            if (!view.compareAttribute(attributes[i])) return false;
        } catch (const AttributeTypeInvalidException& e) {
            if (!P11X509Certificate::isParsedField(attributes[i].type)) throw;
            logException(LOG_FACILITY_PKCS11, e);
            return false;
        }
    }
    return true;
}

}  // namespace

CK_OBJECT_CLASS Session::findObjectClassInTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    TemplateReader reader(attributes, count);
    for (CK_ULONG i = 0; i < count; ++i) {
        if (attributes[i].type == CKA_CLASS) return readClassValue(attributes[i]);
    }
    throw TemplateIncompleteException(CKA_CLASS);
}

bool Session::matchObjectWithTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                      P11Object& object) {
    for (CK_ULONG i = 0; i < count; ++i) {
        if (!object.compareAttribute(attributes[i])) return false;
    }
    return true;
}

void Session::findObjects(amw::CachedToken& token, const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    if (count > 0 && attributes == nullptr) {
        throw InternalErrorException("Session::findObjects() attributes is NULL but attributsCount is nonzero");
    }
    // The previous search ends here, and the new one starts only when the
    // walk below completes: a failed start leaves no search behind.
    if (isSearchActive()) findObjectsFinal();
    FoundObjects search;
    const bool loggedIn = getSessionConnection().loginState != SessionConnection::LOGGED_OUT;
    Candidates candidates;
    candidates.privateKeys = loggedIn;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (attributes[i].type == CKA_CLASS) candidates.keepOnly(readClassValue(attributes[i]));
        candidates.keepSupporting(attributes[i].type);
    }
    std::vector<ObjectIdentity>& found = search.identities;
    const auto keep = [&](P11Object& view) {
        found.push_back(ObjectIdentity{token.getCardId(), view.getPkcs11Id(), view.getObjectClass()});
    };
    // Before the first private object goes out, the card confirms the login
    // (in a card hold; without one the call restored it already).
    bool privateServed = false;
    const auto collect = [&](P11Object& view, bool privateObject = false) {
        if (!matchObjectWithTemplate(attributes, count, view)) return;
        if (privateObject && !privateServed) {
            token.privateUse();
            privateServed = true;
        }
        keep(view);
    };
    if (candidates.certificates) {
        for (auto& certificate : token.getCertificates()) {
            if (isLeftOver(*certificate)) continue;
            P11X509Certificate view(certificate.get());
            if (matchCertificateWithTemplate(attributes, count, view)) keep(view);
        }
    }
    if (candidates.dataObjects) {
        for (auto& dataObject : token.getDataObjects()) {
            if (isLeftOver(*dataObject)) continue;
            P11DataObject view(dataObject.get());
            const bool privateObject = isPrivate(view);
            if (!loggedIn && privateObject) continue;
            collect(view, privateObject);
        }
    }
    if (candidates.publicKeys) {
        for (auto& keyPair : token.getKeyPairs()) {
            if (!keyPair->hasPublicKey()) continue;
            P11RsaPublicKey view(keyPair.get());
            collect(view);
        }
    }
    if (candidates.privateKeys) {
        for (auto& keyPair : token.getKeyPairs()) {
            if (!keyPair->hasPrivateKey()) continue;
            P11RsaPrivateKey view(keyPair.get());
            collect(view, true);
        }
    }
    foundObjects = std::move(search);
}

CK_OBJECT_HANDLE Session::getNextFoundObject() {
    if (!isSearchActive()) throw OperationNotInitialized("findObjectsInit");
    FoundObjects& search = *foundObjects;
    if (search.next >= search.identities.size()) return 0;
    return ObjectHandles::handleFor(search.identities[search.next++]);
}

void Session::findObjectsFinal() {
    if (!isSearchActive()) throw OperationNotInitialized("findObjects");
    foundObjects.reset();
}

std::unique_ptr<P11Object> Session::getObject(amw::CachedToken* token, CK_OBJECT_HANDLE hObject) {
    if (token == nullptr) {
        throw InvalidArgumentException::nullPointer("token", "Session::getObject", __FILE__, __LINE__);
    }
    const ObjectIdentity* identity = ObjectHandles::find(hObject);
    // A handle of another card's object names nothing on this one.
    if (identity == nullptr || identity->cardId != token->getCardId()) {
        throw InvalidObjectHandleException(hObject);
    }
    switch (identity->objectClass) {
        case CKO_DATA:
            if (amw::DataObject* object = token->findDataObject(identity->pkcs11Id)) {
                return std::make_unique<P11DataObject>(object);
            }
            break;
        case CKO_CERTIFICATE:
            if (amw::X509Certificate* object = token->findCertificate(identity->pkcs11Id)) {
                return std::make_unique<P11X509Certificate>(object);
            }
            break;
        case CKO_PUBLIC_KEY: {
            amw::KeyPair* pair = token->findKeyPair(identity->pkcs11Id);
            if (pair != nullptr && pair->hasPublicKey()) return std::make_unique<P11RsaPublicKey>(pair);
            break;
        }
        case CKO_PRIVATE_KEY: {
            amw::KeyPair* pair = token->findKeyPair(identity->pkcs11Id);
            if (pair != nullptr && pair->hasPrivateKey()) {
                if (getSessionConnection().loginState != SessionConnection::LOGGED_OUT) token->privateUse();
                return std::make_unique<P11RsaPrivateKey>(pair);
            }
            break;
        }
        default:
            invalidClass(identity->objectClass, __LINE__);
    }
    // Deleted meanwhile, perhaps by another session or process.
    ObjectHandles::remove(hObject);
    throw InvalidObjectHandleException(hObject);
}

std::unique_ptr<P11Object> Session::getVisibleObject(amw::CachedToken& token,
                                                     CK_OBJECT_HANDLE hObject) {
    std::unique_ptr<P11Object> view = getObject(&token, hObject);
    if (isPrivate(*view)) {
        if (getSessionConnection().loginState == SessionConnection::LOGGED_OUT) {
            throw InvalidObjectHandleException(hObject);
        }
        token.privateUse();
    }
    return view;
}

CK_OBJECT_HANDLE Session::createObject(amw::CachedToken& token, const CK_ATTRIBUTE* attributes,
                                       CK_ULONG count) {
    const CK_OBJECT_CLASS objectClass = findObjectClassInTemplate(attributes, count);
    StaticBuffer<128> pkcs11Id;
    switch (objectClass) {
        case CKO_DATA:
            pkcs11Id = P11DataObject::createObject(token, attributes, count);
            break;
        case CKO_CERTIFICATE:
            pkcs11Id = P11X509Certificate::createObject(token, attributes, count);
            break;
        case CKO_PUBLIC_KEY:
            pkcs11Id = P11RsaPublicKey::createObject(token, attributes, count);
            break;
        case CKO_PRIVATE_KEY:
            pkcs11Id = P11RsaPrivateKey::createObject(token, attributes, count);
            break;
        default:
            throw InternalErrorException("invalid class of object [class=%lu]",
                                         static_cast<unsigned long>(objectClass));
    }
    return ObjectHandles::handleFor(ObjectIdentity{token.getCardId(), pkcs11Id, objectClass});
}

void Session::destroyObject(amw::CachedToken& token, CK_OBJECT_HANDLE hObject) {
    std::unique_ptr<P11Object> view = getVisibleObject(token, hObject);
    const ObjectIdentity identity{token.getCardId(), view->getPkcs11Id(), view->getObjectClass()};
    view->destroyObjectFromCard(&token);
    ObjectHandles::remove(identity);
}

void Session::initOperationWithPrivateKeyHandle(CK_OBJECT_HANDLE hKey, Operation operation,
                                                OperationMechanism mechanism) {
    const ObjectIdentity* identity = ObjectHandles::find(hKey);
    if (identity == nullptr) throw InvalidObjectHandleException(hKey);
    if (identity->objectClass != CKO_PRIVATE_KEY) invalidClass(identity->objectClass, __LINE__);
    OperationState& state = operations[operation];
    state.key = hKey;
    state.mechanism = std::move(mechanism);
    state.digest.reset();
}

std::unique_ptr<P11Object> Session::getPrivateKeyForOperation(amw::CachedToken& token,
                                                              Operation operation) {
    if (operations[operation].key == 0) throw OperationNotInitialized("C_Decrypt");
    return getObject(&token, operations[operation].key);
}

const OperationMechanism& Session::getOperationMechanism(Operation operation) const {
    if (operations[operation].key == 0) throw OperationNotInitialized("C_Decrypt");
    return operations[operation].mechanism;
}

std::optional<MessageDigest>& Session::getOperationDigest(Operation operation) {
    if (operations[operation].key == 0) throw OperationNotInitialized("C_Decrypt");
    return operations[operation].digest;
}

void Session::operationFinal(Operation operation) {
    if (operations[operation].key == 0) throw OperationNotInitialized("C_DecryptFinal");
    operations[operation] = OperationState{};
}
