#include "tokenscenarios.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "amw/exceptions.h"
#include "amwferrix/dataobject.h"
#include "amwferrix/directory.h"
#include "amwferrix/file.h"
#include "amwferrix/keypair.h"
#include "amwferrix/x509certificate.h"
#include "cachememory/cachememory.h"
#include "rsatestkeys.h"

namespace tokentest {

namespace {

template <std::size_t N>
StaticBuffer<N> buf(const std::string& text) {
    return StaticBuffer<N>(text.data(), text.size());
}
template <std::size_t N>
StaticBuffer<N> buf(const Bytes& bytes) {
    return StaticBuffer<N>(bytes.data(), bytes.size());
}
template <std::size_t N>
Bytes bytesOf(const StaticBuffer<N>& buffer) {
    return Bytes(buffer.data, buffer.data + buffer.length);
}
template <std::size_t N>
std::string textOf(const StaticBuffer<N>& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.data), buffer.length);
}

Bytes pattern(std::size_t count, std::uint8_t seed) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return bytes;
}

amw::AuthenticationObject pinObject(std::uint32_t role) {
    return amw::AuthenticationObject(role, amw::AuthenticationObject::PIN, 5, 0, 0, false);
}

amw::AuthenticationResult tryPin(amwferrix::Token& token, std::uint32_t role,
                                 const std::string& pin, std::uint32_t* tries = nullptr) {
    return token.authenticate(pinObject(role), reinterpret_cast<const std::uint8_t*>(pin.data()),
                              static_cast<std::uint32_t>(pin.size()), tries, nullptr);
}

template <class List>
auto* findById(List& list, const std::string& id) {
    for (auto& object : list) {
        if (textOf(object->getPkcs11Id()) == id) {
            return object.get();
        }
    }
    return static_cast<decltype(list.front().get())>(nullptr);
}

amw::RsaPrivateKeyComponents componentsOf(const RsaKey& key) {
    amw::RsaPrivateKeyComponents c;
    c.p = buf<256>(key.p);
    c.q = buf<256>(key.q);
    c.modulus = buf<256>(key.n);
    c.publicExponent = buf<256>(key.e);
    c.dp = buf<256>(key.dp);
    c.dq = buf<256>(key.dq);
    c.inv = buf<256>(key.qinv);
    return c;
}

amw::RsaPublicKeyComponents publicOf(const RsaKey& key) {
    amw::RsaPublicKeyComponents c;
    c.modulus = buf<256>(key.n);
    c.publicExponent = buf<256>(key.e);
    return c;
}

// Signs the SHA-256 of `message` through the card; the data size is the
// modulus length the token expects for this key pair.
Bytes signOnCard(amwferrix::Token& token, amw::KeyPair& keyPair, std::size_t modulusLength,
                 const Bytes& message) {
    const Bytes block = pkcs1SignatureBlock(sha256(message), modulusLength);
    StaticBuffer<256> signature;
    token.rsaExponentiation(&keyPair, block.data(), static_cast<std::uint32_t>(block.size()),
                            &signature, true);
    return bytesOf(signature);
}

std::unique_ptr<amw::DataObject> createDataObject(amwferrix::Token& token, const std::string& id,
                                                  const Bytes& content, std::uint16_t acRead) {
    auto object = token.createDataObject(buf<128>("label-" + id), buf<128>(id), buf<128>("oid"),
                                         buf<128>("zentrik"), 0xFFFF, acRead, 0xFFFF, 0xFFFF);
    object->setContent(content.data(), content.size());
    object->commitCreationOrMetadataChanges();
    object->commitContentChanges();
    return object;
}

struct CreatedObjects {
    Bytes dataContent = pattern(40, 1);
    Bytes certificateContent = pattern(500, 2);
    Bytes fileContent = pattern(10, 3);
    Bytes modulus;
};

CreatedObjects createOneOfEveryKind(amwferrix::Token& token) {
    CreatedObjects made;
    createDataObject(token, "do-1", made.dataContent, 0x0101);

    auto certificate = token.createCertificate(buf<128>("cert-label"), buf<128>("cert-1"), 1, 0,
                                               false, 0xFFFF, 0xFFFF, 0xFFFF);
    certificate->setContent(made.certificateContent.data(), made.certificateContent.size());
    certificate->commitCreationOrMetadataChanges();
    certificate->commitContentChanges();

    auto directory = token.createDirectory(buf<8>("zdir"), 0xFFFF, 0xFFFF);
    directory->commitCreationOrMetadataChanges();
    auto file = token.createFile(directory.get(), buf<8>("zfile"), 0x0101, 0xFFFF, 0xFFFF);
    file->setContent(made.fileContent.data(), made.fileContent.size());
    file->commitCreationOrMetadataChanges();
    file->commitContentChanges();

    auto keyPair = token.generateKeyPair(buf<128>("pub-label"), buf<128>("priv-label"), 1024, 1, 0,
                                         buf<128>("kp-1"), 0x0093, DEFAULT_PUBLIC_EXPONENT);
    keyPair->commitCreationOrMetadataChanges();
    made.modulus = bytesOf(keyPair->getPublicPart().modulus);
    return made;
}

}  // namespace

void login(amwferrix::Token& token, std::uint32_t role, const std::string& pin) {
    ASSERT_EQ(amw::AUTHENTICATION_SUCCESS, tryPin(token, role, pin));
}

void listsEveryKindAfterCreatingObjectsOfEveryKind(amwferrix::Token& token,
                                                   const CardOptions& card) {
    login(token, amw::AMWROLE_USER, card.userPin);
    const CreatedObjects made = createOneOfEveryKind(token);

    amw::DataObjectList dataObjects;
    token.listDataObjects(dataObjects);
    auto* dataObject = findById(dataObjects, "do-1");
    ASSERT_NE(nullptr, dataObject);
    EXPECT_EQ("label-do-1", textOf(dataObject->getLabel()));
    EXPECT_EQ("oid", textOf(dataObject->getObjectId()));
    EXPECT_EQ("zentrik", textOf(dataObject->getApplication()));
    EXPECT_FALSE(dataObject->isPrivateContent());
    EXPECT_EQ(made.dataContent, bytesOf(dataObject->getContent()));

    amw::X509CertificateList certificates;
    token.listCertificates(certificates);
    auto* certificate = findById(certificates, "cert-1");
    ASSERT_NE(nullptr, certificate);
    EXPECT_EQ("cert-label", textOf(certificate->getLabel()));
    EXPECT_EQ(1, certificate->getContainerIndex());
    EXPECT_EQ(made.certificateContent, bytesOf(certificate->getContent()));

    amw::DirectoryList directories;
    token.listDirs(directories);
    std::vector<std::string> names;
    for (const auto& d : directories) names.push_back(textOf(d->getDirectoryName()));
    EXPECT_EQ((std::vector<std::string>{"", "mscp", "zdir"}), names);

    amw::FileList files;
    token.listFiles(files);
    std::vector<std::string> paths;
    for (const auto& f : files) {
        paths.push_back(textOf(f->getDirectoryName()) + "/" + textOf(f->getFileName()));
        if (textOf(f->getFileName()) == "zfile") {
            EXPECT_EQ(made.fileContent, bytesOf(f->getContent()));
        }
    }
    EXPECT_EQ((std::vector<std::string>{"/cardcf", "mscp/cmapfile", "zdir/zfile"}), paths);

    amw::KeyPairList keyPairs;
    token.listKeyPairs(keyPairs);
    ASSERT_EQ(1u, keyPairs.size());
    EXPECT_TRUE(keyPairs[0]->isComplete());
    EXPECT_TRUE(keyPairs[0]->isGeneratedOnCard());
    EXPECT_EQ(made.modulus, bytesOf(keyPairs[0]->getPublicPart().modulus));
    EXPECT_EQ("pub-label", textOf(keyPairs[0]->getPublicPart().label));
    EXPECT_EQ("priv-label", textOf(keyPairs[0]->getPrivatePart().label));
    EXPECT_EQ(0x0093, keyPairs[0]->getKeyUsage());

    amw::AuthenticationObjectList aos;
    token.listAuthenticateObjects(aos);
    ASSERT_EQ(2u, aos.size());
    EXPECT_EQ(1u, aos[0]->getRole());
    EXPECT_FALSE(aos[0]->isPkcs11So());
    EXPECT_EQ(2u, aos[1]->getRole());
    EXPECT_TRUE(aos[1]->isPkcs11So());
}

void generated2048BitKeySignsVerifiably(amwferrix::Token& token, const CardOptions& card) {
    login(token, amw::AMWROLE_USER, card.userPin);
    auto generated = token.generateKeyPair(buf<128>("pub"), buf<128>("priv"), 2048, 0, 0,
                                           buf<128>("sign-2048"), 0x0001, DEFAULT_PUBLIC_EXPONENT);
    generated->commitCreationOrMetadataChanges();

    amw::KeyPairList keyPairs;
    token.listKeyPairs(keyPairs);
    auto* listed = findById(keyPairs, "sign-2048");
    ASSERT_NE(nullptr, listed);
    const Bytes modulus = bytesOf(listed->getPublicPart().modulus);
    const Bytes exponent = bytesOf(listed->getPublicPart().publicExponent);
    ASSERT_EQ(256u, modulus.size());
    const Bytes message = {'z', 'e', 'n', 't', 'r', 'i', 'k'};
    const Bytes signature = signOnCard(token, *listed, modulus.size(), message);
    ASSERT_EQ(256u, signature.size());
    EXPECT_TRUE(verifySha256Signature(modulus, exponent, sha256(message), signature));
    EXPECT_FALSE(verifySha256Signature(modulus, exponent, sha256({'x'}), signature));
}

void importsAFullPairAPublicKeyAloneAndAPrivateKeyAlone(amwferrix::Token& token,
                                                         const CardOptions& card) {
    login(token, amw::AMWROLE_USER, card.userPin);
    const RsaKey full = generateRsaKey(1024);
    const RsaKey publicOnly = generateRsaKey(1024);
    const RsaKey privateOnly = generateRsaKey(1024);
    token.importKeyPair(buf<128>("full-pub"), buf<128>("full-priv"), 1024, 2, 1,
                        buf<128>("imp-full"), 0x0093, componentsOf(full))
        ->commitCreationOrMetadataChanges();
    token.importPublicKey(buf<128>("imp-pub"), 1024, buf<128>("pub-only"), 0x006C,
                          publicOf(publicOnly))
        ->commitCreationOrMetadataChanges();
    token.importPrivateKey(buf<128>("imp-priv"), 1024, buf<128>("priv-only"), 0x0093,
                           componentsOf(privateOnly))
        ->commitCreationOrMetadataChanges();

    amw::KeyPairList keyPairs;
    token.listKeyPairs(keyPairs);
    ASSERT_EQ(3u, keyPairs.size());
    auto* fullPair = findById(keyPairs, "imp-full");
    auto* publicPair = findById(keyPairs, "imp-pub");
    auto* privatePair = findById(keyPairs, "imp-priv");
    ASSERT_TRUE(fullPair && publicPair && privatePair);
    EXPECT_TRUE(fullPair->isComplete());
    EXPECT_FALSE(fullPair->isGeneratedOnCard());
    EXPECT_EQ(2, fullPair->getContainerIndex());
    EXPECT_EQ(1u, fullPair->getKeySpec());
    EXPECT_EQ(full.n, bytesOf(fullPair->getPublicPart().modulus));
    EXPECT_TRUE(publicPair->hasPublicKey());
    EXPECT_FALSE(publicPair->hasPrivateKey());
    EXPECT_EQ(publicOnly.n, bytesOf(publicPair->getPublicPart().modulus));
    EXPECT_EQ("pub-only", textOf(publicPair->getPublicPart().label));
    EXPECT_FALSE(privatePair->hasPublicKey());
    EXPECT_TRUE(privatePair->hasPrivateKey());
    EXPECT_EQ("priv-only", textOf(privatePair->getPrivatePart().label));
    EXPECT_EQ(1024, privatePair->getKeySize());

    const Bytes message = {'i', 'm', 'p'};
    EXPECT_TRUE(verifySha256Signature(full.n, full.e, sha256(message),
                                      signOnCard(token, *fullPair, 128, message)));
    EXPECT_TRUE(verifySha256Signature(privateOnly.n, privateOnly.e, sha256(message),
                                      signOnCard(token, *privatePair, 128, message)));
}

namespace {

amw::KeyPair* relist(amwferrix::Token& token, amw::KeyPairList& keyPairs, const std::string& id) {
    keyPairs.clear();
    token.listKeyPairs(keyPairs);
    return findById(keyPairs, id);
}

}  // namespace

void amendsAddAndRemoveBothWays(amwferrix::Token& token, const CardOptions& card) {
    login(token, amw::AMWROLE_USER, card.userPin);
    const RsaKey key = generateRsaKey(1024);
    const Bytes message = {'a', 'm', 'e', 'n', 'd'};
    amw::KeyPairList keyPairs;

    // A public key alone becomes a pair, then loses its public part again.
    token.importPublicKey(buf<128>("amend-1"), 1024, buf<128>("pub"), 0x006C, publicOf(key))
        ->commitCreationOrMetadataChanges();
    amw::KeyPair* pair = relist(token, keyPairs, "amend-1");
    ASSERT_NE(nullptr, pair);
    token.amendKeyPairAddPrivateKey(*pair, buf<128>("priv"), 3, 0, 0x0093, componentsOf(key));
    pair->commitCreationOrMetadataChanges();
    pair = relist(token, keyPairs, "amend-1");
    ASSERT_NE(nullptr, pair);
    EXPECT_TRUE(pair->isComplete());
    EXPECT_EQ(0x00FF, pair->getKeyUsage());
    EXPECT_EQ(3, pair->getContainerIndex());
    EXPECT_TRUE(verifySha256Signature(key.n, key.e, sha256(message),
                                      signOnCard(token, *pair, 128, message)));
    token.amendKeyPairRemovePublicKey(*pair);
    pair->commitCreationOrMetadataChanges();
    pair = relist(token, keyPairs, "amend-1");
    ASSERT_NE(nullptr, pair);
    EXPECT_FALSE(pair->hasPublicKey());
    EXPECT_TRUE(pair->hasPrivateKey());
    EXPECT_EQ(0x0093, pair->getKeyUsage());
    EXPECT_TRUE(verifySha256Signature(key.n, key.e, sha256(message),
                                      signOnCard(token, *pair, 128, message)));

    // A complete pair loses its private part and gets it back.
    token.amendKeyPairAddPublicKey(*pair, buf<128>("pub-again"), 3, 0, 0x006C, publicOf(key));
    pair->commitCreationOrMetadataChanges();
    pair = relist(token, keyPairs, "amend-1");
    ASSERT_NE(nullptr, pair);
    EXPECT_TRUE(pair->isComplete());
    EXPECT_EQ("pub-again", textOf(pair->getPublicPart().label));
    token.amendKeyPairRemovePrivateKey(*pair);
    pair->commitCreationOrMetadataChanges();
    pair = relist(token, keyPairs, "amend-1");
    ASSERT_NE(nullptr, pair);
    EXPECT_TRUE(pair->hasPublicKey());
    EXPECT_FALSE(pair->hasPrivateKey());
    EXPECT_EQ(0x006C, pair->getKeyUsage());
    EXPECT_EQ(key.n, bytesOf(pair->getPublicPart().modulus));
}

void contentReplacementFollowsTheFreeSpaceRule(amwferrix::Token& token, const CardOptions& card) {
    login(token, amw::AMWROLE_USER, card.userPin);
    auto target = createDataObject(token, "target", pattern(300, 9), 0x0101);
    auto filler = createDataObject(token, "filler", {}, 0x0101);
    std::uint32_t total = 0, available = 0;
    token.getMemoryInfo(total, available);
    ASSERT_GE(available, 256u * 2);
    // Leave exactly one free block of 256 bytes.
    const Bytes fill(available - 256, 0xEE);
    filler->setContent(fill.data(), fill.size());
    filler->commitContentChanges();
    token.getMemoryInfo(total, available);
    ASSERT_EQ(256u, available);

    const Bytes tooBig = pattern(800, 4);
    target->setContent(tooBig.data(), tooBig.size());
    EXPECT_THROW(target->commitContentChanges(), amw::CardOutOfMemoryException);
    EXPECT_EQ(300u, dynamic_cast<amwferrix::DataObject&>(*target).getCardContentSize());

    const Bytes fits = pattern(700, 5);
    target->setContent(fits.data(), fits.size());
    target->commitContentChanges();
    token.getMemoryInfo(total, available);
    EXPECT_EQ(0u, available);

    amw::DataObjectList dataObjects;
    token.listDataObjects(dataObjects);
    auto* listed = findById(dataObjects, "target");
    ASSERT_NE(nullptr, listed);
    EXPECT_EQ(700u, listed->getContentSize());
    EXPECT_EQ(fits, bytesOf(listed->getContent()));
}

void wrongPinCountsDownToBlockedAndUnblockRestores(amwferrix::Token& token,
                                                   const CardOptions& card) {
    struct Step {
        amw::AuthenticationResult result;
        std::uint32_t tries;
    };
    const Step steps[] = {{amw::AUTHENTICATION_WRONG_PIN, 2},
                          {amw::AUTHENTICATION_WRONG_PIN, 1},
                          {amw::AUTHENTICATION_PIN_BLOCKED, 0}};
    for (const Step& step : steps) {
        std::uint32_t tries = 99;
        EXPECT_EQ(step.result, tryPin(token, amw::AMWROLE_USER, "00000000", &tries));
        EXPECT_EQ(step.tries, tries);
    }
    EXPECT_EQ(amw::AUTHENTICATION_PIN_BLOCKED, tryPin(token, amw::AMWROLE_USER, card.userPin));

    const std::string newPin = "Nw5uSerP";
    std::uint32_t tries = 99;
    EXPECT_EQ(amw::AUTHENTICATION_SUCCESS,
              token.unblockPin(pinObject(amw::AMWROLE_ADMIN),
                               reinterpret_cast<const std::uint8_t*>(card.soPin.data()),
                               static_cast<std::uint32_t>(card.soPin.size()),
                               pinObject(amw::AMWROLE_USER),
                               reinterpret_cast<const std::uint8_t*>(newPin.data()),
                               static_cast<std::uint32_t>(newPin.size()), &tries, nullptr));
    EXPECT_EQ(amw::AUTHENTICATION_SUCCESS, tryPin(token, amw::AMWROLE_USER, newPin));
    EXPECT_NE(0, token.getAuthStateMask() & (1u << amw::AMWROLE_USER));
}

void sessionPinAuthenticates(amwferrix::Token& token, const CardOptions& card) {
    login(token, amw::AMWROLE_USER, card.userPin);
    StaticBuffer<128> sessionPin;
    token.generateSessionPin(amw::AMWROLE_USER, &sessionPin);
    ASSERT_EQ(8u, sessionPin.length);
    token.deauthenticate(amw::AMWROLE_USER);
    EXPECT_EQ(0, token.getAuthStateMask() & (1u << amw::AMWROLE_USER));

    StaticBuffer<128> wrong = sessionPin;
    wrong.data[0] ^= 0x5A;
    EXPECT_EQ(amw::AUTHENTICATION_WRONG_PIN,
              token.authenticateSessionPin(amw::AMWROLE_USER, wrong.data, 8, nullptr));
    EXPECT_EQ(amw::AUTHENTICATION_WRONG_PIN,
              token.authenticateSessionPin(amw::AMWROLE_USER, sessionPin.data, 7, nullptr));
    EXPECT_EQ(amw::AUTHENTICATION_SUCCESS,
              token.authenticateSessionPin(amw::AMWROLE_USER, sessionPin.data, 8, nullptr));
    EXPECT_NE(0, token.getAuthStateMask() & (1u << amw::AMWROLE_USER));
}

namespace {

std::uint32_t slotCount(amwferrix::Token& token, std::uint32_t keySize) {
    std::uint32_t count = 0;
    std::uint32_t size = sizeof count;
    token.getProperty(L"VX_GET_KEYPAIR_SLOT_COUNT", reinterpret_cast<std::uint8_t*>(&count), &size,
                      keySize);
    EXPECT_EQ(4u, size);
    return count;
}

std::uint8_t triesRemaining(amwferrix::Token& token, std::uint32_t index) {
    std::uint8_t tries = 0;
    std::uint32_t size = 1;
    token.getProperty(L"VX_GET_TRIES_REMAINING", &tries, &size, index);
    return tries;
}

std::uint8_t lifeCycleState(amwferrix::Token& token) {
    std::uint8_t state = 0;
    std::uint32_t size = 1;
    token.getProperty(L"VX_GET_LIFE_CYCLE_STATE", &state, &size, 0);
    return state;
}

}  // namespace

void propertiesReportTheCard(amwferrix::Token& token, const CardOptions& card) {
    std::uint8_t buffer[64] = {};
    std::uint32_t size = sizeof buffer;
    token.getProperty(L"VX_GET_GAC_INFO", buffer, &size, 0);
    EXPECT_EQ(59u, size);
    size = sizeof buffer;
    token.getProperty(L"VX_GET_PIN_POLICY", buffer, &size, 1);
    EXPECT_EQ(9u, size);
    EXPECT_EQ((Bytes{4, 16, 0x0F, 0, 0, 0, 0, 0, 0}), Bytes(buffer, buffer + 9));
    EXPECT_EQ(2u, slotCount(token, 1024));
    EXPECT_EQ(6u, slotCount(token, 2048));
    EXPECT_EQ(0xFFFFFFFFu, slotCount(token, 4096));
    size = sizeof buffer;
    EXPECT_THROW(token.getProperty(L"VX_GET_PIN_POLICY", buffer, &size, 6),
                 amw::UnknownPropertyException);

    EXPECT_EQ(3, triesRemaining(token, 1));
    EXPECT_EQ(amw::AUTHENTICATION_WRONG_PIN, tryPin(token, amw::AMWROLE_USER, "00000000"));
    EXPECT_EQ(2, triesRemaining(token, 1));
    EXPECT_THROW(triesRemaining(token, 6), amw::UnknownPropertyException);

    // A new user PIN through VX_SET_AO needs the user logged in.
    Bytes value(16, 0);
    const std::string newPin = "Pr0pPin9";
    std::copy(newPin.begin(), newPin.end(), value.begin());
    EXPECT_THROW(token.setProperty(L"VX_SET_AO", value.data(), 16, 1),
                 amw::SecurityViolationException);
    login(token, amw::AMWROLE_USER, card.userPin);
    EXPECT_THROW(token.setProperty(L"VX_SET_AO", value.data(), 15, 1),
                 amw::InvalidBufferSizeException);
    token.setProperty(L"VX_SET_AO", value.data(), 16, 1);
    token.deauthenticate(amw::AMWROLE_USER);
    EXPECT_EQ(amw::AUTHENTICATION_SUCCESS, tryPin(token, amw::AMWROLE_USER, newPin));
}

void activationChangesTheLifeCycleState(amwferrix::Token& token, const CardOptions& card) {
    const std::uint8_t before = lifeCycleState(token);
    EXPECT_THROW(token.setProperty(L"VX_ACTIVATE", nullptr, 0, 0), amw::SecurityViolationException);
    login(token, amw::AMWROLE_ADMIN, card.soPin);
    token.setProperty(L"VX_ACTIVATE", nullptr, 0, 0);
    EXPECT_NE(before, lifeCycleState(token));
}

namespace {

template <class List>
void expectRoundTrip(amwferrix::Token& token, CacheMemory& cache, std::uint32_t kind,
                     const List& listed) {
    ASSERT_FALSE(listed.empty()) << "kind " << kind;
    ASSERT_TRUE(cache.serializeEntities(kind, 7, listed, nullptr)) << "kind " << kind;
    List loaded;
    ASSERT_TRUE(cache.deserializeEntities(kind, 7, &loaded, nullptr)) << "kind " << kind;
    ASSERT_EQ(listed.size(), loaded.size()) << "kind " << kind;
    for (const auto& original : listed) {
        auto match = std::find_if(loaded.begin(), loaded.end(),
                                  [&](const auto& copy) { return copy->compare(*original) == 0; });
        ASSERT_NE(loaded.end(), match) << "kind " << kind;
        std::ostringstream a, b;
        original->writeStream(a);
        (*match)->writeStream(b);
        EXPECT_EQ(a.str(), b.str()) << "kind " << kind;
    }
    (void)token;
}

}  // namespace

void cacheRecordsRoundTripForEveryKind(amwferrix::Token& token, const CardOptions& card,
                                       const std::string& cacheDir) {
    login(token, amw::AMWROLE_USER, card.userPin);
    createOneOfEveryKind(token);
    createDataObject(token, "do-private", pattern(20, 6), 0x0202);
    CacheMemory cache(&token, cacheDir);

    amw::KeyPairList keyPairs;
    token.listKeyPairs(keyPairs);
    expectRoundTrip(token, cache, 1, keyPairs);

    amw::X509CertificateList certificates;
    token.listCertificates(certificates);
    for (auto& c : certificates) c->getContent();
    expectRoundTrip(token, cache, 3, certificates);

    amw::DirectoryList directories;
    token.listDirs(directories);
    expectRoundTrip(token, cache, 4, directories);

    amw::FileList files;
    token.listFiles(files);
    for (auto& f : files) f->getContent();
    expectRoundTrip(token, cache, 5, files);

    amw::DataObjectList dataObjects;
    token.listDataObjects(dataObjects);
    for (auto& d : dataObjects) d->getContent();
    expectRoundTrip(token, cache, 6, dataObjects);

    amw::AuthenticationObjectList aos;
    token.listAuthenticateObjects(aos);
    expectRoundTrip(token, cache, 7, aos);

    // The private data object's content stays on the card.
    amw::DataObjectList loaded;
    ASSERT_TRUE(cache.deserializeEntities(6, 7, &loaded, nullptr));
    for (const auto& d : loaded) {
        EXPECT_EQ(!d->isPrivateContent(), d->isContentLoaded()) << textOf(d->getPkcs11Id());
        EXPECT_EQ(textOf(d->getPkcs11Id()) == "do-private", d->isPrivateContent());
    }
}

}  // namespace tokentest
