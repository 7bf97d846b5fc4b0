// The card-independent token: what the Cryptoki layer needs from a card. The
// card driver implements it; the caching decorator wraps it for every call.
//
// Objects returned by create, import and generate operations are new heap
// objects owned by the caller; list operations append to the caller's list,
// which owns its elements.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "amw/amwtypes.h"
#include "amw/authenticationobject.h"
#include "amw/dataobject.h"
#include "amw/directory.h"
#include "amw/file.h"
#include "amw/freshnessrecord.h"
#include "amw/keymaterial.h"
#include "amw/keypair.h"
#include "amw/pinpadlistener.h"
#include "amw/x509certificate.h"
#include "cachememory/serializeentityfactory.h"
#include "staticbuffer.h"

namespace ctl {
class CardConnection;
}

namespace amw {

using CardId = std::array<std::uint8_t, 16>;
using KeyPairList = std::vector<std::unique_ptr<KeyPair>>;
using X509CertificateList = std::vector<std::unique_ptr<X509Certificate>>;
using FileList = std::vector<std::unique_ptr<File>>;
using DirectoryList = std::vector<std::unique_ptr<Directory>>;
using DataObjectList = std::vector<std::unique_ptr<DataObject>>;
using AuthenticationObjectList = std::vector<std::unique_ptr<AuthenticationObject>>;

class Token : public SerializeEntityFactory {
public:
    // Makes the card token over a connection without talking to the card.
    // The card driver provides it; the layer that assembles the module
    // installs it once (the token model does not depend on any driver).
    using CardTokenFactory = std::function<std::unique_ptr<Token>(ctl::CardConnection&)>;
    static void setCardTokenFactory(CardTokenFactory factory);
    static bool hasCardTokenFactory();

    // `type` must be 0 (InvalidArgumentException naming "type" otherwise).
    // Selects the applet when asked to.
    static std::unique_ptr<Token> createToken(ctl::CardConnection& cardConnection,
                                              std::uint32_t type, bool selectApplet);
    // For the first contact with a card: always selects the applet; a failed
    // selection destroys the token and rethrows.
    static std::unique_ptr<Token> createToken(ctl::CardConnection& cardConnection);

    // Cache freshness. False when the card holds no freshness block; the
    // record is all zeros then.
    virtual bool getCacheFreshness(FreshnessRecord& record) = 0;
    // No flags are defined; the card token answers 0.
    virtual std::uint32_t getTokenFlags() = 0;
    virtual void setCacheFreshness(const FreshnessRecord& record) = 0;

    // Listings, in the card's chain order.
    virtual void listKeyPairs(KeyPairList& list) = 0;
    virtual void listCertificates(X509CertificateList& list) = 0;
    virtual void listFiles(FileList& list) = 0;
    virtual void listDirs(DirectoryList& list) = 0;
    virtual void listDataObjects(DataObjectList& list) = 0;
    virtual void listAuthenticateObjects(AuthenticationObjectList& list) = 0;

    virtual void getCardId(CardId& cardId) = 0;
    virtual void setCardId(const CardId& cardId) = 0;
    virtual void getCardSerialNumber(StaticBuffer<256>& serialNumber) = 0;
    virtual void selectApplet() = 0;
    virtual void getMemoryInfo(std::uint32_t& totalBytes, std::uint32_t& availableBytes) = 0;

    // Access conditions are the card's 16-bit values; 0xFFFF lets the card
    // choose. The new object still has to be committed by the caller.
    virtual std::unique_ptr<X509Certificate> createCertificate(
        const StaticBuffer<128>& label, const StaticBuffer<128>& id, std::uint8_t containerIndex,
        std::uint32_t keySpec, bool trusted, std::uint16_t acRead, std::uint16_t acUpdate,
        std::uint16_t acDelete) = 0;
    virtual void deleteCertificate(X509Certificate& certificate) = 0;
    virtual std::unique_ptr<DataObject> createDataObject(
        const StaticBuffer<128>& label, const StaticBuffer<128>& id,
        const StaticBuffer<128>& objectId, const StaticBuffer<128>& application,
        std::uint16_t acFirst, std::uint16_t acReadContent, std::uint16_t acThird,
        std::uint16_t acFourth) = 0;
    virtual void deleteDataObject(DataObject& dataObject) = 0;
    // A null directory throws InvalidArgumentException naming "dir".
    virtual std::unique_ptr<File> createFile(const Directory* dir, const StaticBuffer<8>& fileName,
                                             std::uint16_t acRead, std::uint16_t acSecond,
                                             std::uint16_t acThird) = 0;
    virtual void deleteFile(File& file) = 0;
    virtual std::unique_ptr<Directory> createDirectory(const StaticBuffer<8>& directoryName,
                                                       std::uint16_t acFirst,
                                                       std::uint16_t acSecond) = 0;
    virtual void deleteDirectory(Directory& directory) = 0;

    // Key pairs. `keySize` in bits (1024 or 2048); `keySpec` a KeyPair::KeySpec.
    virtual std::unique_ptr<KeyPair> generateKeyPair(
        const StaticBuffer<128>& publicLabel, const StaticBuffer<128>& privateLabel,
        std::uint32_t keySize, std::uint8_t containerIndex, std::uint32_t keySpec,
        const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
        const StaticBuffer<256>& publicExponent) = 0;
    virtual std::unique_ptr<KeyPair> importKeyPair(
        const StaticBuffer<128>& publicLabel, const StaticBuffer<128>& privateLabel,
        std::uint32_t keySize, std::uint8_t containerIndex, std::uint32_t keySpec,
        const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
        const RsaPrivateKeyComponents& privateKey) = 0;
    virtual void amendKeyPairAddPublicKey(KeyPair& keyPair, const StaticBuffer<128>& publicLabel,
                                          std::uint8_t containerIndex, std::uint32_t keySpec,
                                          std::uint16_t keyUsage,
                                          const RsaPublicKeyComponents& publicKey) = 0;
    virtual void amendKeyPairRemovePublicKey(KeyPair& keyPair) = 0;
    virtual std::unique_ptr<KeyPair> importPublicKey(const StaticBuffer<128>& pkcs11Id,
                                                     std::uint32_t keySize,
                                                     const StaticBuffer<128>& label,
                                                     std::uint16_t keyUsage,
                                                     const RsaPublicKeyComponents& publicKey) = 0;
    virtual std::unique_ptr<KeyPair> importPrivateKey(
        const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
        const StaticBuffer<128>& privateLabel, std::uint16_t keyUsage,
        const RsaPrivateKeyComponents& privateKey) = 0;
    virtual void amendKeyPairAddPrivateKey(KeyPair& keyPair, const StaticBuffer<128>& privateLabel,
                                           std::uint8_t containerIndex, std::uint32_t keySpec,
                                           std::uint16_t keyUsage,
                                           const RsaPrivateKeyComponents& privateKey) = 0;
    virtual void amendKeyPairRemovePrivateKey(KeyPair& keyPair) = 0;
    virtual void deleteKeyPair(KeyPair& keyPair) = 0;

    // Raw RSA with the private key; the caller pads. `sensitive` keeps the
    // data out of the trace log.
    virtual void rsaExponentiation(KeyPair* keypair, const std::uint8_t* data,
                                   std::uint32_t dataSize, StaticBuffer<256>* signedData,
                                   bool sensitive) = 0;

    // Authentication. Secrets are passed as bytes and never logged.
    virtual AuthenticationResult authenticate(const AuthenticationObject& ao,
                                              const std::uint8_t* data, std::uint32_t size,
                                              std::uint32_t* triesRemaining,
                                              PinPadListener* listener) = 0;
    virtual AuthenticationResult authenticateSessionPin(std::uint32_t role,
                                                        const std::uint8_t* pinData,
                                                        std::uint32_t size,
                                                        std::uint32_t* attemptsRemaining) = 0;
    virtual void generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) = 0;
    virtual void getChallenge(std::uint32_t role, StaticBuffer<128>* challenge) = 0;
    virtual void deauthenticate(std::uint32_t role) = 0;
    virtual AuthenticationResult unblockPin(const AuthenticationObject& ao,
                                            const std::uint8_t* data, std::uint32_t size,
                                            const AuthenticationObject& targetAo,
                                            const std::uint8_t* targetData,
                                            std::uint32_t targetSize,
                                            std::uint32_t* attemptsRemaining,
                                            PinPadListener* listener) = 0;
    virtual void changePin(const AuthenticationObject& ao, const std::uint8_t* data,
                           std::uint32_t size, PinPadListener* listener) = 0;
    virtual bool willUsePinPad(const AuthenticationObject& ao) = 0;

    virtual void getVersion(std::uint8_t* majorVersion, std::uint8_t* minorVersion) = 0;
    // Bit n set when role n is authenticated.
    virtual std::uint8_t getAuthStateMask() = 0;

    // Card features without an operation of their own, selected by name;
    // `size` is the buffer's capacity in and the value's size out.
    virtual void getProperty(const wchar_t* name, std::uint8_t* buffer, std::uint32_t* size,
                             std::uint32_t flags) = 0;
    virtual void setProperty(const wchar_t* name, const std::uint8_t* buffer, std::uint32_t size,
                             std::uint32_t flags) = 0;
};

}  // namespace amw
