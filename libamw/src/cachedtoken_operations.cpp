// The cached token's operations on card objects and its pass-through
// operations.
//
// Every operation that changes objects of a kind refuses to run unless the
// caller has raised that kind's freshness counter in this call, and it checks
// that before anything reaches the card: a change the freshness block does
// not announce would leave other processes trusting stale cache files. New
// objects join their list (which owns them) and deleted ones leave it, so
// that the lists written back at the end of the call describe the card.
#include <algorithm>
#include <utility>

#include "amw/cachedtoken.h"
#include "amw/exceptions.h"
#include "cachedtokentrace.h"
#include "logger.h"
#include "vxexception.h"

namespace amw {

namespace {

using namespace cachedtrace;

template <class T>
void requireObject(const T* object, const char* argument, const char* function, int line) {
    if (object == nullptr) {
        throw InvalidArgumentException::nullPointer(argument, function, __FILE__, line);
    }
}

void refuseDuplicate(const void* existing, const StaticBuffer<128>& pkcs11Id) {
    if (existing != nullptr) {
        throw DuplicatePkcs11IdException(pkcs11Id.data, pkcs11Id.size());
    }
}

template <class T>
T* append(std::vector<std::unique_ptr<T>>& list, std::unique_ptr<T> object) {
    if (!object) {
        throw InternalErrorException("the token returned no object");
    }
    T* created = object.get();
    list.push_back(std::move(object));
    return created;
}

template <class T>
void removeFrom(std::vector<std::unique_ptr<T>>& list, const T* object) {
    const auto it = std::find_if(list.begin(), list.end(),
                                 [object](const std::unique_ptr<T>& entry) {
                                     return entry.get() == object;
                                 });
    if (it != list.end()) {
        list.erase(it);
    }
}

void logKeyPairArguments(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                         std::uint16_t keyUsage) {
    logBuffer(L"pkcs11Id = ", pkcs11Id);
    logNumber(L"keySize", keySize);
    logNumber(L"keyUsage", keyUsage);
}

}  // namespace

KeyPair* CachedToken::generateKeyPair(const StaticBuffer<128>& publicLabel,
                                      const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                      std::uint8_t containerIndex, std::uint32_t keySpec,
                                      const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                      const StaticBuffer<256>& publicExponent) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::generateKeyPair");
    logBuffer(L"publicLabel = ", publicLabel);
    logBuffer(L"privateLabel = ", privateLabel);
    logKeyPairArguments(pkcs11Id, keySize, keyUsage);
    logNumber(L"containerIndex", containerIndex);
    logNumber(L"keySpec", keySpec);
    logBuffer(L"publicExponent = ", publicExponent);
    refuseDuplicate(findKeyPair(pkcs11Id), pkcs11Id);
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    return append(getKeyPairs(),
                  token->generateKeyPair(publicLabel, privateLabel, keySize, containerIndex,
                                         keySpec, pkcs11Id, keyUsage, publicExponent));
}

KeyPair* CachedToken::importPublicKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                      const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                      const RsaPublicKeyComponents& publicKey) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::importPublicKey");
    logKeyPairArguments(pkcs11Id, keySize, keyUsage);
    logBuffer(L"label = ", label);
    refuseDuplicate(findKeyPair(pkcs11Id), pkcs11Id);
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    return append(getKeyPairs(),
                  token->importPublicKey(pkcs11Id, keySize, label, keyUsage, publicKey));
}

KeyPair* CachedToken::importPrivateKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                       const StaticBuffer<128>& privateLabel,
                                       std::uint16_t keyUsage,
                                       const RsaPrivateKeyComponents& privateKey) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::importPrivateKey");
    logKeyPairArguments(pkcs11Id, keySize, keyUsage);
    logBuffer(L"privateLabel = ", privateLabel);
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    refuseDuplicate(findKeyPair(pkcs11Id), pkcs11Id);
    return append(getKeyPairs(),
                  token->importPrivateKey(pkcs11Id, keySize, privateLabel, keyUsage, privateKey));
}

void CachedToken::amendKeyPairAddPublicKey(KeyPair* keyPair, const StaticBuffer<128>& publicLabel,
                                           std::uint8_t containerIndex, std::uint32_t keySpec,
                                           std::uint16_t keyUsage,
                                           const RsaPublicKeyComponents& publicKey) {
    static constexpr char FN[] = "amw::CachedToken::amendKeyPairAddPublicKey";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logPointer(L"keyPair", keyPair);
    logBuffer(L"publicLabel = ", publicLabel);
    logNumber(L"keyUsage", keyUsage);
    requireObject(keyPair, "keyPair", FN, __LINE__);
    if (keyPair->hasPublicKey()) {
        throw InternalErrorException("Keypair has already public key");
    }
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairAddPublicKey(*keyPair, publicLabel, containerIndex, keySpec, keyUsage,
                                    publicKey);
}

void CachedToken::amendKeyPairAddPrivateKey(KeyPair* keyPair,
                                            const StaticBuffer<128>& privateLabel,
                                            std::uint8_t containerIndex, std::uint32_t keySpec,
                                            std::uint16_t keyUsage,
                                            const RsaPrivateKeyComponents& privateKey) {
    static constexpr char FN[] = "amw::CachedToken::amendKeyPairAddPrivateKey";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logPointer(L"keyPair", keyPair);
    logBuffer(L"privateLabel = ", privateLabel);
    logNumber(L"keyUsage", keyUsage);
    requireObject(keyPair, "keyPair", FN, __LINE__);
    if (keyPair->hasPrivateKey()) {
        throw InternalErrorException("Keypair has already private key");
    }
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairAddPrivateKey(*keyPair, privateLabel, containerIndex, keySpec, keyUsage,
                                     privateKey);
}

void CachedToken::amendKeyPairRemovePublicKey(KeyPair* keyPair) {
    static constexpr char FN[] = "amw::CachedToken::amendKeyPairRemovePublicKey";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logPointer(L"keyPair", keyPair);
    requireObject(keyPair, "keyPair", FN, __LINE__);
    if (!keyPair->hasPublicKey()) {
        throw InternalErrorException(
            "cannot remove public key from keypair because keypair does not have the public key");
    }
    if (!keyPair->hasPrivateKey()) {
        throw InternalErrorException(
            "cannot remove public key from keypair because keypair is not complete");
    }
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairRemovePublicKey(*keyPair);
}

void CachedToken::amendKeyPairRemovePrivateKey(KeyPair* keyPair) {
    static constexpr char FN[] = "amw::CachedToken::amendKeyPairRemovePrivateKey";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logPointer(L"keyPair", keyPair);
    requireObject(keyPair, "keyPair", FN, __LINE__);
    if (!keyPair->hasPrivateKey()) {
        throw InternalErrorException(
            "cannot remove private key from keypair because keypair does not have the private "
            "key");
    }
    if (!keyPair->hasPublicKey()) {
        throw InternalErrorException(
            "cannot remove private key from keypair because keypair is not complete");
    }
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairRemovePrivateKey(*keyPair);
}

void CachedToken::deleteKeyPair(KeyPair* keyPair) {
    static constexpr char FN[] = "amw::CachedToken::deleteKeyPair";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logPointer(L"keyPair", keyPair);
    requireObject(keyPair, "keyPair", FN, __LINE__);
    if (!keyPairs) {
        throw InternalErrorException("keypairList is NULL, where do you obtain a key from?");
    }
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->deleteKeyPair(*keyPair);
    removeFrom(*keyPairs, keyPair);
}

X509Certificate* CachedToken::createCertificate(const StaticBuffer<128>& label,
                                                const StaticBuffer<128>& id,
                                                std::uint8_t containerIndex, std::uint32_t keySpec,
                                                bool trusted, std::uint16_t acRead,
                                                std::uint16_t acUpdate, std::uint16_t acDelete) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::createCertificate");
    logBuffer(L"label = ", label);
    logBuffer(L"id = ", id);
    logNumber(L"containerIndex", containerIndex);
    logNumber(L"keySpec", keySpec);
    logBool(L"trusted", trusted);
    checkFreshnessCounterModified(CACHED_OBJECT_CERTIFICATE);
    refuseDuplicate(findCertificate(id), id);
    return append(getCertificates(), token->createCertificate(label, id, containerIndex, keySpec,
                                                              trusted, acRead, acUpdate, acDelete));
}

void CachedToken::deleteCertificate(X509Certificate* certificate) {
    static constexpr char FN[] = "amw::CachedToken::deleteCertificate";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logPointer(L"certificate", certificate);
    requireObject(certificate, "certificate", FN, __LINE__);
    if (!certificates) {
        throw InternalErrorException(
            "certificateList is NULL, where did you get the certificate from?");
    }
    checkFreshnessCounterModified(CACHED_OBJECT_CERTIFICATE);
    token->deleteCertificate(*certificate);
    replacementFinished(certificate);
    removeFrom(*certificates, certificate);
}

DataObject* CachedToken::createDataObject(const StaticBuffer<128>& label,
                                          const StaticBuffer<128>& id,
                                          const StaticBuffer<128>& objectId,
                                          const StaticBuffer<128>& application,
                                          std::uint16_t acFirst, std::uint16_t acReadContent,
                                          std::uint16_t acThird, std::uint16_t acFourth) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::createDataObject");
    logBuffer(L"label = ", label);
    logBuffer(L"id = ", id);
    logBuffer(L"objectId = ", objectId);
    logBuffer(L"application = ", application);
    logNumber(L"acReadContent", acReadContent);
    checkFreshnessCounterModified(CACHED_OBJECT_DATA_OBJECT);
    refuseDuplicate(findDataObject(id), id);
    return append(getDataObjects(),
                  token->createDataObject(label, id, objectId, application, acFirst, acReadContent,
                                          acThird, acFourth));
}

void CachedToken::deleteDataObject(DataObject* dataObject) {
    static constexpr char FN[] = "amw::CachedToken::deleteDataObject";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logPointer(L"dataObject", dataObject);
    requireObject(dataObject, "dataObject", FN, __LINE__);
    if (!dataObjects) {
        throw InternalErrorException(
            "dataObjectList is NULL, where did you get the data object from?");
    }
    checkFreshnessCounterModified(CACHED_OBJECT_DATA_OBJECT);
    token->deleteDataObject(*dataObject);
    replacementFinished(dataObject);
    removeFrom(*dataObjects, dataObject);
}

// Pass-through operations. The secrets they carry (PINs, keys, session PINs,
// the data of a decryption) are handed on without being logged.

AuthenticationResult CachedToken::authenticate(const AuthenticationObject& ao,
                                               const std::uint8_t* data, std::uint32_t size,
                                               std::uint32_t* triesRemaining,
                                               PinPadListener* listener) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::authenticate");
    logNumber(L"role", ao.getRole());
    const AuthenticationResult result =
        token->authenticate(ao, data, size, triesRemaining, listener);
    logResult(result);
    if (result == AUTHENTICATION_SUCCESS && ao.getRole() == AMWROLE_USER) userAuthenticated = true;
    return result;
}

AuthenticationResult CachedToken::authenticateSessionPin(std::uint32_t role,
                                                         const std::uint8_t* pinData,
                                                         std::uint32_t size,
                                                         std::uint32_t* attemptsRemaining) {
    static constexpr char FN[] = "amw::CachedToken::authenticateSessionPin";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logNumber(L"role", role);
    requireObject(pinData, "pinData", FN, __LINE__);
    requireObject(attemptsRemaining, "attemptsRemaining", FN, __LINE__);
    const AuthenticationResult result =
        token->authenticateSessionPin(role, pinData, size, attemptsRemaining);
    logResult(result);
    if (result == AUTHENTICATION_SUCCESS && role == AMWROLE_USER) userAuthenticated = true;
    return result;
}

void CachedToken::generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) {
    static constexpr char FN[] = "amw::CachedToken::generateSessionPin";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logNumber(L"role", role);
    requireObject(sessionPin, "sessionPin", FN, __LINE__);
    token->generateSessionPin(role, sessionPin);
}

void CachedToken::deauthenticate(std::uint32_t role) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::deauthenticate");
    logNumber(L"role", role);
    if (role == AMWROLE_USER) userAuthenticated = false;
    token->deauthenticate(role);
}

void CachedToken::changePin(const AuthenticationObject& ao, const std::uint8_t* data,
                            std::uint32_t size, PinPadListener* listener) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::changePin");
    logNumber(L"role", ao.getRole());
    token->changePin(ao, data, size, listener);
}

AuthenticationResult CachedToken::unblockPin(const AuthenticationObject& ao,
                                             const std::uint8_t* data, std::uint32_t size,
                                             const AuthenticationObject& targetAo,
                                             const std::uint8_t* targetData,
                                             std::uint32_t targetSize,
                                             std::uint32_t* attemptsRemaining,
                                             PinPadListener* listener) {
    static constexpr char FN[] = "amw::CachedToken::unblockPin";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logNumber(L"role", ao.getRole());
    logNumber(L"targetRole", targetAo.getRole());
    requireObject(attemptsRemaining, "attemptsRemaining", FN, __LINE__);
    const AuthenticationResult result = token->unblockPin(
        ao, data, size, targetAo, targetData, targetSize, attemptsRemaining, listener);
    logResult(result);
    return result;
}

void CachedToken::rsaExponentiation(KeyPair* keypair, const std::uint8_t* data,
                                    std::uint32_t dataSize, StaticBuffer<256>* signedData,
                                    bool sensitive) {
    static constexpr char FN[] = "amw::CachedToken::rsaExponentiation";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    logNumber(L"dataSize", dataSize);
    logBool(L"sensitive", sensitive);
    requireObject(keypair, "keypair", FN, __LINE__);
    requireObject(data, "data", FN, __LINE__);
    requireObject(signedData, "signedData", FN, __LINE__);
    token->rsaExponentiation(keypair, data, dataSize, signedData, sensitive);
}

void CachedToken::getVersion(std::uint8_t* majorVersion, std::uint8_t* minorVersion) {
    static constexpr char FN[] = "amw::CachedToken::getVersion";
    TraceScope trace(LOG_FACILITY_AMW, FN);
    requireObject(majorVersion, "majorVersion", FN, __LINE__);
    requireObject(minorVersion, "minorVersion", FN, __LINE__);
    token->getVersion(majorVersion, minorVersion);
}

void CachedToken::getMemoryInfo(std::uint32_t& totalBytes, std::uint32_t& availableBytes) {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::getMemoryInfo");
    token->getMemoryInfo(totalBytes, availableBytes);
}

const StaticBuffer<256>& CachedToken::getCardSerialNumber() {
    TraceScope trace(LOG_FACILITY_AMW, "amw::CachedToken::getCardSerialNumber");
    if (!serialNumber) {
        auto read = std::make_unique<StaticBuffer<256>>();
        token->getCardSerialNumber(*read);
        serialNumber = std::move(read);
    }
    return *serialNumber;
}

}  // namespace amw
