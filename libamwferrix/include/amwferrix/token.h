// The Ferrix card token: every operation of the token model as a fixed
// sequence of card commands on the connection it was built with. It keeps no
// state of the card and no cache; the caching decorator wraps it. Creating it
// sends nothing to the card.
#pragma once

#include <cstdint>
#include <memory>

#include "amw/token.h"
#include "ctl/cardconnection.h"

namespace amwferrix {

// Installs the Ferrix token as the one amw::Token::createToken makes.
void registerTokenFactory();

class Token : public amw::Token {
public:
    // The connection is not owned; its owner keeps it alive while the token
    // and the objects it hands out live.
    explicit Token(ctl::CardConnection& connection);

    // Empty objects bound to this token's connection, for the cache to fill.
    std::unique_ptr<SerializableEntity> createSerializableEntity(std::uint32_t entityId) override;
    // 1: a private key stored alone carries the pair's public values.
    std::uint32_t getSerializationVersion() override { return 1; }

    bool getCacheFreshness(amw::FreshnessRecord& record) override;
    std::uint32_t getTokenFlags() override { return 0; }
    void setCacheFreshness(const amw::FreshnessRecord& record) override;

    void listKeyPairs(amw::KeyPairList& list) override;
    void listCertificates(amw::X509CertificateList& list) override;
    void listFiles(amw::FileList& list) override;
    void listDirs(amw::DirectoryList& list) override;
    void listDataObjects(amw::DataObjectList& list) override;
    void listAuthenticateObjects(amw::AuthenticationObjectList& list) override;

    void getCardId(amw::CardId& cardId) override;
    void setCardId(const amw::CardId& cardId) override;
    void getCardSerialNumber(StaticBuffer<256>& serialNumber) override;
    void selectApplet() override;
    void getMemoryInfo(std::uint32_t& totalBytes, std::uint32_t& availableBytes) override;

    std::unique_ptr<amw::X509Certificate> createCertificate(
        const StaticBuffer<128>& label, const StaticBuffer<128>& id, std::uint8_t containerIndex,
        std::uint32_t keySpec, bool trusted, std::uint16_t acRead, std::uint16_t acUpdate,
        std::uint16_t acDelete) override;
    void deleteCertificate(amw::X509Certificate& certificate) override;
    std::unique_ptr<amw::DataObject> createDataObject(
        const StaticBuffer<128>& label, const StaticBuffer<128>& id,
        const StaticBuffer<128>& objectId, const StaticBuffer<128>& application,
        std::uint16_t acFirst, std::uint16_t acReadContent, std::uint16_t acThird,
        std::uint16_t acFourth) override;
    void deleteDataObject(amw::DataObject& dataObject) override;
    std::unique_ptr<amw::File> createFile(const amw::Directory* dir,
                                          const StaticBuffer<8>& fileName, std::uint16_t acRead,
                                          std::uint16_t acSecond, std::uint16_t acThird) override;
    void deleteFile(amw::File& file) override;
    std::unique_ptr<amw::Directory> createDirectory(const StaticBuffer<8>& directoryName,
                                                    std::uint16_t acFirst,
                                                    std::uint16_t acSecond) override;
    void deleteDirectory(amw::Directory& directory) override;

    std::unique_ptr<amw::KeyPair> generateKeyPair(
        const StaticBuffer<128>& publicLabel, const StaticBuffer<128>& privateLabel,
        std::uint32_t keySize, std::uint8_t containerIndex, std::uint32_t keySpec,
        const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
        const StaticBuffer<256>& publicExponent) override;
    std::unique_ptr<amw::KeyPair> importKeyPair(
        const StaticBuffer<128>& publicLabel, const StaticBuffer<128>& privateLabel,
        std::uint32_t keySize, std::uint8_t containerIndex, std::uint32_t keySpec,
        const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
        const amw::RsaPrivateKeyComponents& privateKey) override;
    void amendKeyPairAddPublicKey(amw::KeyPair& keyPair, const StaticBuffer<128>& publicLabel,
                                  std::uint8_t containerIndex, std::uint32_t keySpec,
                                  std::uint16_t keyUsage,
                                  const amw::RsaPublicKeyComponents& publicKey) override;
    void amendKeyPairRemovePublicKey(amw::KeyPair& keyPair) override;
    std::unique_ptr<amw::KeyPair> importPublicKey(
        const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize, const StaticBuffer<128>& label,
        std::uint16_t keyUsage, const amw::RsaPublicKeyComponents& publicKey) override;
    std::unique_ptr<amw::KeyPair> importPrivateKey(
        const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
        const StaticBuffer<128>& privateLabel, std::uint16_t keyUsage,
        const amw::RsaPrivateKeyComponents& privateKey) override;
    void amendKeyPairAddPrivateKey(amw::KeyPair& keyPair, const StaticBuffer<128>& privateLabel,
                                   std::uint8_t containerIndex, std::uint32_t keySpec,
                                   std::uint16_t keyUsage,
                                   const amw::RsaPrivateKeyComponents& privateKey) override;
    void amendKeyPairRemovePrivateKey(amw::KeyPair& keyPair) override;
    void deleteKeyPair(amw::KeyPair& keyPair) override;

    // The expected data length is the modulus length; for a key pair without
    // a public part (a private key imported alone) it is keySize / 8.
    void rsaExponentiation(amw::KeyPair* keypair, const std::uint8_t* data,
                           std::uint32_t dataSize, StaticBuffer<256>* signedData,
                           bool sensitive) override;

    amw::AuthenticationResult authenticate(const amw::AuthenticationObject& ao,
                                           const std::uint8_t* data, std::uint32_t size,
                                           std::uint32_t* triesRemaining,
                                           amw::PinPadListener* listener) override;
    amw::AuthenticationResult authenticateSessionPin(std::uint32_t role,
                                                     const std::uint8_t* pinData,
                                                     std::uint32_t size,
                                                     std::uint32_t* attemptsRemaining) override;
    void generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) override;
    void getChallenge(std::uint32_t role, StaticBuffer<128>* challenge) override;
    void deauthenticate(std::uint32_t role) override;
    amw::AuthenticationResult unblockPin(const amw::AuthenticationObject& ao,
                                         const std::uint8_t* data, std::uint32_t size,
                                         const amw::AuthenticationObject& targetAo,
                                         const std::uint8_t* targetData, std::uint32_t targetSize,
                                         std::uint32_t* attemptsRemaining,
                                         amw::PinPadListener* listener) override;
    void changePin(const amw::AuthenticationObject& ao, const std::uint8_t* data,
                   std::uint32_t size, amw::PinPadListener* listener) override;
    bool willUsePinPad(const amw::AuthenticationObject& ao) override;

    void getVersion(std::uint8_t* majorVersion, std::uint8_t* minorVersion) override;
    std::uint8_t getAuthStateMask() override;

    // Properties by name:
    //   get "VX_GET_LIFE_CYCLE_STATE" (1 byte), "VX_GET_GAC_INFO" (59 bytes),
    //       "VX_GET_KEYPAIR_SLOT_COUNT" (flags = key size; 4 bytes, host order),
    //       "VX_GET_PIN_POLICY" (flags = index; 9 bytes),
    //       "VX_GET_TRIES_REMAINING" (flags = index; 1 byte)
    //   set "VX_ACTIVATE", "VX_SET_AO" (flags = index; 16 bytes for a PIN
    //       object, 24 for a key object)
    // An index without an authentication object is an unknown property for
    // every name that takes one.
    void getProperty(const wchar_t* name, std::uint8_t* buffer, std::uint32_t* size,
                     std::uint32_t flags) override;
    void setProperty(const wchar_t* name, const std::uint8_t* buffer, std::uint32_t size,
                     std::uint32_t flags) override;

    ctl::CardConnection& getConnection() noexcept { return connection; }

private:
    // One header chain, from its head to block id 8000, in chain order.
    template <class Card, class List>
    void listChain(std::uint16_t head, std::uint32_t headerSize, List& list);
    // The key-material checks shared by generation and import.
    static void checkKeySize(std::uint32_t keySize);

    ctl::CardConnection& connection;
};

}  // namespace amwferrix
