// The card token as one Cryptoki call sees it: the object lists kept in
// memory for the call, loaded from this card's cache files when the card's
// freshness block says they are current and from the card otherwise, and the
// freshness block kept up to date when objects change, so that every process
// using the card can tell whether its own cache files are stale.
//
// Protocol for callers: raise a kind's counter (increaseFreshnessCounter)
// before changing objects of that kind on the card (the modifying operations
// refuse to run otherwise), and call refreshCache() before the call ends.
// One instance lives for one call, inside the card transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "amw/token.h"
#include "cachememory/cachememory.h"
#include "cachememory/cachememoryintegritydelegate.h"
#include "staticbuffer.h"

namespace amw {

class CachedToken : public CacheMemoryIntegrityDelegate {
public:
    // Cached object kinds: the entity ids of the cache files and the numbers
    // of the freshness counters.
    enum CachedObject : std::uint32_t {
        CACHED_OBJECT_KEYPAIR = 1,
        CACHED_OBJECT_SECRETKEY = 2,
        CACHED_OBJECT_CERTIFICATE = 3,
        CACHED_OBJECT_DIRECTORY = 4,
        CACHED_OBJECT_FILE = 5,
        CACHED_OBJECT_DATA_OBJECT = 6,
        CACHED_OBJECT_AO = 7
    };

    // Takes the token; reads the card's freshness block. The cache files go
    // to the configured cache directory.
    CachedToken(std::unique_ptr<Token> token, const CardId& cardId);
    // The same with the cache directory given by the caller (tests, tools);
    // an empty one means no cache files at all.
    CachedToken(std::unique_ptr<Token> token, const CardId& cardId,
                const std::string& cacheDirectory);
    // Over a card whose freshness block is known already: a caller that has
    // held the card's transaction since it read the block passes it, and no
    // command reads it again. Null reads it from the card.
    CachedToken(std::unique_ptr<Token> token, const CardId& cardId,
                const FreshnessRecord* knownCardFreshness);
    CachedToken(std::unique_ptr<Token> token, const CardId& cardId,
                const std::string& cacheDirectory, const FreshnessRecord* knownCardFreshness);
    ~CachedToken() override;
    CachedToken(const CachedToken&) = delete;
    CachedToken& operator=(const CachedToken&) = delete;

    Token& getToken() noexcept { return *token; }
    const CardId& getCardId() const noexcept { return cardId; }
    // Null when caching is disabled.
    CacheMemory* getCacheMemory() noexcept { return cacheMemory.get(); }

    // Freshness.
    void increaseFreshnessCounter(std::uint32_t counter, bool writeToCard);
    void checkFreshnessCounterModified(std::uint32_t counter) const;
    const FreshnessRecord& getFreshness() const noexcept { return freshness; }
    const FreshnessRecord& getCardFreshness() const noexcept { return cardFreshness; }
    // The end of a call: when the call holds the user's rights, first settles
    // what interrupted writes left in the lists it loaded (card writes only
    // when there is something to settle); then writes the changed or
    // card-read lists to their cache files and publishes the new digests on
    // the card. Never fails: problems are logged.
    void refreshCache() noexcept;
    // A new 16-byte identifier that no loaded certificate, key pair or data
    // object has.
    void generatePkcs11Id(StaticBuffer<128>& id);

    // Lists, loaded on first use.
    KeyPairList& getKeyPairs();
    X509CertificateList& getCertificates();
    FileList& getFiles();
    DirectoryList& getDirectories();
    DataObjectList& getDataObjects();
    AuthenticationObjectList& getAuthenticationObjects();
    // True when the kind's list was read from the card in this call (not
    // from its cache file), so its contents are the card's own.
    bool isListFromCard(std::uint32_t kind) const noexcept;
    // True when the kind's list was loaded in this call, from the card or
    // from its cache file.
    bool isListLoaded(std::uint32_t kind) const noexcept;
    // The call holds the user's rights on the card: the user's PIN or
    // session PIN was accepted and the role not deauthenticated since.
    bool holdsUserRights() const noexcept { return userAuthenticated; }
    // In a card hold the slot's login is restored by the card connection when
    // the card first asks for it: a call on the user's login holds the
    // user's rights from the start, whether or not it has used them yet.
    void userRightsOnDemand() noexcept { userAuthenticated = true; }
    // Called before the caller serves objects or attributes that only the
    // logged-in user may see. In a card hold they may come from what the
    // hold knows without the card having accepted the login in it; the hook
    // (set by the hold) has the card confirm it. Without a hook, nothing.
    void onPrivateUse(std::function<void()> hook) { privateUseHook = std::move(hook); }
    void privateUse() {
        if (privateUseHook) privateUseHook();
    }
    // The container map and card cache file were compared with the card in
    // this call; within one call (one card transaction) nobody else writes.
    bool areCardFilesChecked() const noexcept { return cardFilesChecked; }
    void cardFilesWereChecked() noexcept { cardFilesChecked = true; }

    // Replacements adopted while loading a list from the card (see
    // interruptedwrite.h): their identifier on the card still carries the
    // mark until they are written again.
    bool isUnfinishedReplacement(const DataStorage* object) const noexcept;
    void replacementFinished(const DataStorage* object) noexcept;
    // A replacement whose identifier could not be written after its old
    // object was deleted.
    void replacementUnfinished(const DataStorage* object);

    // Lookups; null when there is no such object.
    AuthenticationObject* findAuthenticationObject(std::uint32_t role);
    AuthenticationObject* getPkcs11SoObject();
    Directory* findDirectory(const StaticBuffer<8>& name);
    File* findFile(const Directory* dir, const StaticBuffer<8>& name);
    KeyPair* findKeyPair(const StaticBuffer<128>& pkcs11Id);
    X509Certificate* findCertificate(const StaticBuffer<128>& pkcs11Id);
    DataObject* findDataObject(const StaticBuffer<128>& pkcs11Id);

    // Modifying operations. The created objects are appended to their list,
    // which owns them; the returned pointer stays valid for the call.
    KeyPair* generateKeyPair(const StaticBuffer<128>& publicLabel,
                             const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                             std::uint8_t containerIndex, std::uint32_t keySpec,
                             const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                             const StaticBuffer<256>& publicExponent);
    KeyPair* importPublicKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                             const StaticBuffer<128>& label, std::uint16_t keyUsage,
                             const RsaPublicKeyComponents& publicKey);
    KeyPair* importPrivateKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                              const StaticBuffer<128>& privateLabel, std::uint16_t keyUsage,
                              const RsaPrivateKeyComponents& privateKey);
    void amendKeyPairAddPublicKey(KeyPair* keyPair, const StaticBuffer<128>& publicLabel,
                                  std::uint8_t containerIndex, std::uint32_t keySpec,
                                  std::uint16_t keyUsage, const RsaPublicKeyComponents& publicKey);
    void amendKeyPairAddPrivateKey(KeyPair* keyPair, const StaticBuffer<128>& privateLabel,
                                   std::uint8_t containerIndex, std::uint32_t keySpec,
                                   std::uint16_t keyUsage,
                                   const RsaPrivateKeyComponents& privateKey);
    void amendKeyPairRemovePublicKey(KeyPair* keyPair);
    void amendKeyPairRemovePrivateKey(KeyPair* keyPair);
    void deleteKeyPair(KeyPair* keyPair);
    X509Certificate* createCertificate(const StaticBuffer<128>& label, const StaticBuffer<128>& id,
                                       std::uint8_t containerIndex, std::uint32_t keySpec,
                                       bool trusted, std::uint16_t acRead, std::uint16_t acUpdate,
                                       std::uint16_t acDelete);
    void deleteCertificate(X509Certificate* certificate);
    DataObject* createDataObject(const StaticBuffer<128>& label, const StaticBuffer<128>& id,
                                 const StaticBuffer<128>& objectId,
                                 const StaticBuffer<128>& application, std::uint16_t acFirst,
                                 std::uint16_t acReadContent, std::uint16_t acThird,
                                 std::uint16_t acFourth);
    void deleteDataObject(DataObject* dataObject);

    // Pass-through operations (nothing cached).
    AuthenticationResult authenticate(const AuthenticationObject& ao, const std::uint8_t* data,
                                      std::uint32_t size, std::uint32_t* triesRemaining,
                                      PinPadListener* listener);
    AuthenticationResult authenticateSessionPin(std::uint32_t role, const std::uint8_t* pinData,
                                                std::uint32_t size,
                                                std::uint32_t* attemptsRemaining);
    void generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin);
    void deauthenticate(std::uint32_t role);
    void changePin(const AuthenticationObject& ao, const std::uint8_t* data, std::uint32_t size,
                   PinPadListener* listener);
    AuthenticationResult unblockPin(const AuthenticationObject& ao, const std::uint8_t* data,
                                    std::uint32_t size, const AuthenticationObject& targetAo,
                                    const std::uint8_t* targetData, std::uint32_t targetSize,
                                    std::uint32_t* attemptsRemaining, PinPadListener* listener);
    void rsaExponentiation(KeyPair* keypair, const std::uint8_t* data, std::uint32_t dataSize,
                           StaticBuffer<256>* signedData, bool sensitive);
    void getVersion(std::uint8_t* majorVersion, std::uint8_t* minorVersion);
    void getMemoryInfo(std::uint32_t& totalBytes, std::uint32_t& availableBytes);
    // Read from the card once per call.
    const StaticBuffer<256>& getCardSerialNumber();

    // CacheMemoryIntegrityDelegate.
    void cacheMemoryHash(CacheMemory& cacheMemory, std::uint32_t entityId,
                         const std::uint8_t (&digest)[32]) override;
    bool cacheMemoryVerifyHash(CacheMemory& cacheMemory, std::uint32_t entityId,
                               const std::uint8_t (&digest)[32]) override;

    // The counter's name in messages ("keypair", "certificate", ...).
    static const char* counterName(std::uint32_t counter) noexcept;

private:
    std::unique_ptr<Token> token;
    FreshnessRecord cardFreshness;
    FreshnessRecord freshness;
    std::uint16_t modifiedCounters = 0;
    // Kinds whose raised counter and zeroed digest this call has already
    // written to the card: raising one of them again changes nothing that
    // another process can see, so it is not written again.
    std::uint16_t staleOnCard = 0;
    CardId cardId;
    std::unique_ptr<StaticBuffer<256>> serialNumber;
    std::unique_ptr<CacheMemory> cacheMemory;
    std::unique_ptr<KeyPairList> keyPairs;
    std::unique_ptr<X509CertificateList> certificates;
    std::unique_ptr<FileList> files;
    std::unique_ptr<DirectoryList> directories;
    std::unique_ptr<DataObjectList> dataObjects;
    std::unique_ptr<AuthenticationObjectList> authenticationObjects;
    bool loadedFromCard = false;
    std::uint16_t listsFromCard = 0;
    bool cardFilesChecked = false;
    bool userAuthenticated = false;
    std::function<void()> privateUseHook;
    std::vector<const DataStorage*> unfinishedReplacements;
};

}  // namespace amw
