// The cached token over the simulated card, with the cache directory of this
// program's configuration file: what is read from the cache files, what from
// the card, what is written back, and what is refused.
#include <functional>
#include <string>

#include "amw/exceptions.h"
#include "cachedtokentestsupport.h"
#include "vxexception.h"

namespace {

using namespace cachedtest;
using amw::CachedToken;

template <class E>
std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no exception";
}

// Key pairs built in memory for the checks that run before the card is asked.
class MemoryKeyPair : public amw::KeyPair {
public:
    MemoryKeyPair(bool withPublic, bool withPrivate) : amw::KeyPair(1024) {
        if (withPublic) {
            addPublicKey(PublicPart{}, 0, SIGNATURE_KEY, amw::KEY_USAGE_SIGN);
        }
        if (withPrivate) {
            addPrivateKey(PrivatePart{}, 0, SIGNATURE_KEY, amw::KEY_USAGE_DECRYPT);
        }
    }
    void commitCreationOrMetadataChanges() override {}
};

using CachedTokenOnCard = CardFixture;

TEST_F(CachedTokenOnCard, ReadOnlyCallOnCurrentCacheFilesSendsNoCommandAndWritesNothing) {
    const Bytes content = pattern(700, 3);
    {
        auto first = beginCall(*processA);
        login(*first);
        addCertificate(*first, "cert-1", content);
        loadEveryList(*first);
        first->refreshCache();
    }
    auto second = beginCall(*processA);
    const amw::FreshnessRecord before = second->getCardFreshness();
    loadEveryList(*second);
    ASSERT_EQ(1u, second->getCertificates().size());
    EXPECT_EQ(content, bytesOf(second->getCertificates()[0]->getContent()));
    // A file removed after loading shows whether refreshCache writes it again.
    fs::remove(cacheFile(CachedToken::CACHED_OBJECT_CERTIFICATE));
    second->refreshCache();

    EXPECT_EQ(0u, processA->sentCommands().size());
    EXPECT_FALSE(fs::exists(cacheFile(CachedToken::CACHED_OBJECT_CERTIFICATE)));
    EXPECT_EQ(before, second->getFreshness());
}

TEST_F(CachedTokenOnCard, ListReadFromTheCardMakesRefreshRewriteEveryLoadedList) {
    {
        auto first = beginCall(*processA);
        loadEveryList(*first);
        first->refreshCache();
    }
    for (std::uint32_t kind : {1u, 3u, 4u, 5u, 6u, 7u}) {
        EXPECT_TRUE(fs::exists(cacheFile(kind))) << "kind " << kind;
    }
    auto second = beginCall(*processA);
    second->getKeyPairs();
    second->getDirectories();
    EXPECT_EQ(0u, listCommands(*processA));
    fs::remove(cacheFile(CachedToken::CACHED_OBJECT_KEYPAIR));
    fs::remove(cacheFile(CachedToken::CACHED_OBJECT_DIRECTORY));
    fs::remove(cacheFile(CachedToken::CACHED_OBJECT_CERTIFICATE));
    second->getCertificates();
    EXPECT_EQ(1u, countIns(*processA, INS_GET_HEADS));
    second->refreshCache();

    EXPECT_TRUE(fs::exists(cacheFile(CachedToken::CACHED_OBJECT_KEYPAIR)));
    EXPECT_TRUE(fs::exists(cacheFile(CachedToken::CACHED_OBJECT_DIRECTORY)));
    EXPECT_TRUE(fs::exists(cacheFile(CachedToken::CACHED_OBJECT_CERTIFICATE)));
    auto third = beginCall(*processA);
    loadEveryList(*third);
    EXPECT_EQ(0u, processA->sentCommands().size());
}

TEST_F(CachedTokenOnCard, RaisingACounterAddsOneWrapsAtTheTopAndClearsTheKindsDigest) {
    struct Case {
        std::uint32_t kind;
        std::uint16_t onCard;
        std::uint16_t raised;
    };
    const Case cases[] = {{1, 65535, 0}, {2, 0, 1}, {3, 41, 42}, {6, 65534, 65535}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        amw::FreshnessRecord onCard;
        onCard.counter(c.kind) = c.onCard;
        onCard.digest(c.kind) = {1, 2, 3, 4, 5};
        onCard.digest(7) = {9, 9, 9, 9, 9};
        amw::CardId ignored{};
        selectedToken(*processB, ignored)->setCacheFreshness(onCard);

        auto call = beginCall(*processA);
        call->increaseFreshnessCounter(c.kind, false);
        amw::FreshnessRecord expected = onCard;
        expected.counter(c.kind) = c.raised;
        expected.digest(c.kind) = {0, 0, 0, 0, 0};
        EXPECT_EQ(expected, call->getFreshness());
        EXPECT_EQ(onCard, call->getCardFreshness());
        EXPECT_EQ("no exception", messageOf<VxException>(
                                      [&] { call->checkFreshnessCounterModified(c.kind); }));
        EXPECT_EQ(0u, processA->sentCommands().size());
    }
}

TEST_F(CachedTokenOnCard, OnlyCountersOneToSixCanBeRaised) {
    auto call = beginCall(*processA);
    for (std::uint32_t counter : {7u, 0u, 8u, 0xFFFFFFFFu}) {
        EXPECT_EQ("INTERNAL ERROR CachedToken::increaseFreshnessCounter() neznama hodnota "
                  "parametru counter [" + std::to_string(counter) + "]",
                  messageOf<InternalErrorException>(
                      [&] { call->increaseFreshnessCounter(counter, true); }));
    }
    EXPECT_EQ(call->getCardFreshness(), call->getFreshness());
    EXPECT_EQ(0u, processA->sentCommands().size());
}

TEST_F(CachedTokenOnCard, WriteToCardPublishesTheRaisedCounterAtOnce) {
    auto call = beginCall(*processA);
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
    EXPECT_EQ(1u, countIns(*processA, INS_SET_FRESHNESS));

    auto other = beginCall(*processB);
    EXPECT_EQ(1, other->getCardFreshness().counter(CachedToken::CACHED_OBJECT_DATA_OBJECT));
}

// A kind already shown as stale on the card by this call is not written
// again when raised once more (a key generation raises the files counter
// before and after the key is made); a kind not yet written still is, and
// the end of the call publishes the final counters.
TEST_F(CachedTokenOnCard, RaisingAKindAlreadyStaleOnTheCardWritesNothingMore) {
    auto call = beginCall(*processA);
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_FILE, true);
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_FILE, true);
    EXPECT_EQ(1u, countIns(*processA, INS_SET_FRESHNESS));
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_KEYPAIR, true);
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_FILE, true);
    EXPECT_EQ(2u, countIns(*processA, INS_SET_FRESHNESS));
    call->refreshCache();
    EXPECT_EQ(3u, countIns(*processA, INS_SET_FRESHNESS));

    auto other = beginCall(*processB);
    EXPECT_EQ(3, other->getCardFreshness().counter(CachedToken::CACHED_OBJECT_FILE));
    EXPECT_EQ(1, other->getCardFreshness().counter(CachedToken::CACHED_OBJECT_KEYPAIR));
}

// A kind raised without a write travels with the next write, even when that
// write raises a kind already stale on the card: without a cache nothing
// else would publish it.
TEST_F(CachedTokenOnCard, ARaiseWithoutAWriteTravelsWithTheNextWrite) {
    auto call = beginCall(*processA);
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_FILE, true);
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_DATA_OBJECT, false);
    EXPECT_EQ(1u, countIns(*processA, INS_SET_FRESHNESS));
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_FILE, true);
    EXPECT_EQ(2u, countIns(*processA, INS_SET_FRESHNESS));

    auto other = beginCall(*processB);
    EXPECT_EQ(1, other->getCardFreshness().counter(CachedToken::CACHED_OBJECT_DATA_OBJECT));
    EXPECT_EQ(2, other->getCardFreshness().counter(CachedToken::CACHED_OBJECT_FILE));
}

TEST_F(CachedTokenOnCard, CheckingACounterOutsideTheKindsIsAnInternalError) {
    auto call = beginCall(*processA);
    for (std::uint32_t counter : {0u, 8u}) {
        EXPECT_EQ("INTERNAL ERROR unknown counter",
                  messageOf<InternalErrorException>(
                      [&] { call->checkFreshnessCounterModified(counter); }));
    }
    EXPECT_EQ("Freshness counter ao has not been updated!",
              messageOf<amw::FreshnessCounterException>(
                  [&] { call->checkFreshnessCounterModified(CachedToken::CACHED_OBJECT_AO); }));
}

TEST_F(CachedTokenOnCard, ChangesWithoutTheirRaisedCounterAreRefusedBeforeTheCard) {
    {
        auto setup = beginCall(*processA);
        login(*setup);
        addCertificate(*setup, "cert-1", pattern(40, 1));
        addDataObject(*setup, "do-1", pattern(20, 2));
        setup->refreshCache();
    }
    auto call = beginCall(*processA);
    amw::X509Certificate* certificate = call->getCertificates()[0].get();
    amw::DataObject* dataObject = call->getDataObjects()[0].get();
    call->getKeyPairs();
    MemoryKeyPair publicOnly(true, false);
    // Another kind's raised counter does not count.
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_FILE, false);
    processA->clearSentCommands();
    struct Case {
        const char* name;
        std::function<void()> change;
        const char* counter;
    };
    const Case cases[] = {
        {"deleteCertificate", [&] { call->deleteCertificate(certificate); }, "certificate"},
        {"createCertificate",
         [&] { call->createCertificate(buf<128>("l"), buf<128>("c2"), 0, 0, false, 0, 0, 0); },
         "certificate"},
        {"deleteDataObject", [&] { call->deleteDataObject(dataObject); }, "dataobjects"},
        {"createDataObject",
         [&] {
             call->createDataObject(buf<128>("l"), buf<128>("d2"), buf<128>(""), buf<128>(""), 0,
                                    0, 0, 0);
         },
         "dataobjects"},
        {"generateKeyPair",
         [&] {
             call->generateKeyPair(buf<128>("p"), buf<128>("q"), 1024, 0, 0, buf<128>("k"), 1,
                                   DEFAULT_PUBLIC_EXPONENT);
         },
         "keypair"},
        {"importPrivateKey",
         [&] { call->importPrivateKey(buf<128>("k"), 1024, buf<128>("q"), 1, {}); }, "keypair"},
        {"amendKeyPairAddPrivateKey",
         [&] { call->amendKeyPairAddPrivateKey(&publicOnly, buf<128>("q"), 0, 0, 1, {}); },
         "keypair"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::string("Freshness counter ") + c.counter +
                      " has not been updated!",
                  messageOf<amw::FreshnessCounterException>(c.change))
            << c.name;
    }
    EXPECT_EQ(0u, processA->sentCommands().size());
    EXPECT_EQ(1u, call->getCertificates().size());
    EXPECT_EQ(1u, call->getDataObjects().size());
}

TEST_F(CachedTokenOnCard, DuplicateIdentifierIsRefusedWithinItsKindOnly) {
    auto call = beginCall(*processA);
    login(*call);
    addCertificate(*call, "shared-id", pattern(30, 4));
    std::size_t clashLength = 0;
    try {
        addCertificate(*call, "shared-id", pattern(30, 5));
    } catch (const amw::DuplicatePkcs11IdException& e) {
        EXPECT_STREQ("duplicate PKCS#11 detected", e.what());
        clashLength = e.pkcs11IdLength;
    }
    EXPECT_EQ(std::string("shared-id").size(), clashLength);
    EXPECT_EQ(1u, call->getCertificates().size());

    amw::DataObject* sameIdOtherKind = addDataObject(*call, "shared-id", pattern(10, 6));
    EXPECT_EQ(sameIdOtherKind, call->findDataObject(buf<128>("shared-id")));
    // Identifiers match by length and bytes, not by prefix.
    EXPECT_EQ(nullptr, call->findCertificate(buf<128>("shared-i")));
    EXPECT_EQ(nullptr, call->findCertificate(buf<128>("shared-idx")));
}

TEST_F(CachedTokenOnCard, AnotherProcessSeesAChangeAndNeverAStaleList) {
    for (bool changerRefreshes : {true, false}) {
        SCOPED_TRACE(changerRefreshes ? "changer refreshes" : "changer stops before refreshing");
        const std::string id = changerRefreshes ? "cert-a" : "cert-b";
        const std::size_t before = [&] {
            auto warm = beginCall(*processB);
            const std::size_t count = warm->getCertificates().size();
            warm->refreshCache();
            return count;
        }();
        {
            auto change = beginCall(*processA);
            login(*change);
            addCertificate(*change, id, pattern(50, 7));
            if (changerRefreshes) {
                change->refreshCache();
            }
        }
        auto reader = beginCall(*processB);
        ASSERT_EQ(before + 1, reader->getCertificates().size());
        EXPECT_NE(nullptr, reader->findCertificate(buf<128>(id)));
        EXPECT_EQ(changerRefreshes ? 0u : 1u, countIns(*processB, INS_GET_HEADS));
    }
}

TEST_F(CachedTokenOnCard, DamagedCacheFileIsAMissAndTheCardIsRead) {
    const Bytes content = pattern(300, 8);
    {
        auto setup = beginCall(*processA);
        login(*setup);
        addCertificate(*setup, "cert-1", content);
        setup->refreshCache();
    }
    struct Case {
        const char* name;
        std::function<void(std::string&)> damage;
    };
    const Case cases[] = {
        {"header byte changed", [](std::string& file) { file[0] ^= 0x01; }},
        {"last byte changed", [](std::string& file) { file.back() ^= 0x40; }},
        {"truncated", [](std::string& file) { file.resize(file.size() / 2); }},
        {"empty", [](std::string& file) { file.clear(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = cacheFile(CachedToken::CACHED_OBJECT_CERTIFICATE);
        std::string file;
        {
            std::ifstream in(path, std::ios::binary);
            file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        c.damage(file);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << file;

        auto call = beginCall(*processA);
        ASSERT_EQ(1u, call->getCertificates().size());
        EXPECT_EQ(content, bytesOf(call->getCertificates()[0]->getContent()));
        EXPECT_EQ(1u, countIns(*processA, INS_GET_HEADS));
        // Reading it from the card repairs the file for the next call.
        call->refreshCache();
        auto next = beginCall(*processA);
        EXPECT_EQ(1u, next->getCertificates().size());
        EXPECT_EQ(0u, processA->sentCommands().size());
    }
}

TEST_F(CachedTokenOnCard, DeletedCertificateLeavesTheListAndTheNextCallsCache) {
    auto call = beginCall(*processA);
    login(*call);
    addCertificate(*call, "keep", pattern(20, 1));
    amw::X509Certificate* doomed = addCertificate(*call, "drop", pattern(20, 2));
    call->deleteCertificate(doomed);
    EXPECT_EQ(nullptr, call->findCertificate(buf<128>("drop")));
    call->refreshCache();

    auto next = beginCall(*processB);
    ASSERT_EQ(1u, next->getCertificates().size());
    EXPECT_EQ(bytesOf(buf<128>("keep")), bytesOf(next->getCertificates()[0]->getPkcs11Id()));
    EXPECT_EQ(0u, processB->sentCommands().size());
}

TEST_F(CachedTokenOnCard, NewIdentifierHas16BytesThatNoObjectHas) {
    auto call = beginCall(*processA);
    login(*call);
    addCertificate(*call, "cert-1", pattern(20, 1));
    addDataObject(*call, "do-1", pattern(20, 2));
    StaticBuffer<128> first;
    StaticBuffer<128> second;
    call->generatePkcs11Id(first);
    call->generatePkcs11Id(second);
    EXPECT_EQ(16u, first.size());
    EXPECT_EQ(16u, second.size());
    EXPECT_FALSE(first.equals(second));
    EXPECT_EQ(nullptr, call->findCertificate(first));
    EXPECT_EQ(nullptr, call->findKeyPair(first));
    EXPECT_EQ(nullptr, call->findDataObject(first));
    EXPECT_NE(std::string::npos, traceLog().find("new_id = "));
}

TEST_F(CachedTokenOnCard, DigestsOfKindsWithoutACacheFileAreRefused) {
    auto call = beginCall(*processA);
    const std::uint8_t digest[32] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    for (std::uint32_t kind : {0u, 2u, 8u}) {
        const std::string id = std::to_string(kind);
        EXPECT_EQ("INTERNAL ERROR CachedToken::cacheMemoryHash unknown entityId [" + id + "]",
                  messageOf<InternalErrorException>(
                      [&] { call->cacheMemoryHash(*call->getCacheMemory(), kind, digest); }));
        EXPECT_EQ("INTERNAL ERROR CachedToken::cacheMemoryVerifyHash unknown entityId [" + id + "]",
                  messageOf<InternalErrorException>(
                      [&] { call->cacheMemoryVerifyHash(*call->getCacheMemory(), kind, digest); }));
    }
    // Known kinds: the new digest goes to the working block, the check uses the card's.
    call->cacheMemoryHash(*call->getCacheMemory(), CachedToken::CACHED_OBJECT_AO, digest);
    const std::array<std::uint8_t, 5> prefix = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE};
    EXPECT_EQ(prefix, call->getFreshness().digest(CachedToken::CACHED_OBJECT_AO));
    EXPECT_FALSE(call->cacheMemoryVerifyHash(*call->getCacheMemory(), CachedToken::CACHED_OBJECT_AO,
                                             digest));
}

TEST_F(CachedTokenOnCard, MissingArgumentsAreRefusedByName) {
    auto call = beginCall(*processA);
    std::uint32_t attempts = 0;
    std::uint8_t byte = 0;
    StaticBuffer<256> out;
    const amw::AuthenticationObject user(amw::AMWROLE_USER, amw::AuthenticationObject::PIN, 5, 0,
                                         0, false);
    MemoryKeyPair keyPair(true, true);
    struct Case {
        const char* argument;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"pinData", [&] { call->authenticateSessionPin(1, nullptr, 16, &attempts); }},
        {"attemptsRemaining", [&] { call->authenticateSessionPin(1, &byte, 1, nullptr); }},
        {"attemptsRemaining",
         [&] { call->unblockPin(user, &byte, 1, user, &byte, 1, nullptr, nullptr); }},
        {"sessionPin", [&] { call->generateSessionPin(1, nullptr); }},
        {"keypair", [&] { call->rsaExponentiation(nullptr, &byte, 1, &out, true); }},
        {"data", [&] { call->rsaExponentiation(&keyPair, nullptr, 1, &out, true); }},
        {"signedData", [&] { call->rsaExponentiation(&keyPair, &byte, 1, nullptr, true); }},
        {"majorVersion", [&] { call->getVersion(nullptr, &byte); }},
        {"minorVersion", [&] { call->getVersion(&byte, nullptr); }},
        {"keyPair", [&] { call->deleteKeyPair(nullptr); }},
        {"keyPair", [&] { call->amendKeyPairRemovePublicKey(nullptr); }},
        {"certificate", [&] { call->deleteCertificate(nullptr); }},
        {"dataObject", [&] { call->deleteDataObject(nullptr); }},
        {"dir", [&] { call->findFile(nullptr, buf<8>("f")); }},
    };
    for (const Case& c : cases) {
        const std::string expected = std::string("Null pointer exception <") + c.argument + ">";
        EXPECT_EQ(expected,
                  messageOf<InvalidArgumentException>(c.call).substr(0, expected.size()));
    }
    EXPECT_EQ(0u, processA->sentCommands().size());
}

TEST_F(CachedTokenOnCard, ImpossibleKeyPairChangesAreRefusedWithTheirReason) {
    auto call = beginCall(*processA);
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_KEYPAIR, false);
    MemoryKeyPair complete(true, true);
    MemoryKeyPair publicOnly(true, false);
    MemoryKeyPair privateOnly(false, true);
    struct Case {
        std::function<void()> change;
        const char* message;
    };
    const Case cases[] = {
        {[&] { call->amendKeyPairAddPublicKey(&complete, buf<128>("p"), 0, 0, 1, {}); },
         "Keypair has already public key"},
        {[&] { call->amendKeyPairAddPrivateKey(&complete, buf<128>("q"), 0, 0, 1, {}); },
         "Keypair has already private key"},
        {[&] { call->amendKeyPairRemovePublicKey(&privateOnly); },
         "cannot remove public key from keypair because keypair does not have the public key"},
        {[&] { call->amendKeyPairRemovePrivateKey(&publicOnly); },
         "cannot remove private key from keypair because keypair does not have the private key"},
        {[&] { call->amendKeyPairRemovePublicKey(&publicOnly); },
         "cannot remove public key from keypair because keypair is not complete"},
        {[&] { call->amendKeyPairRemovePrivateKey(&privateOnly); },
         "cannot remove private key from keypair because keypair is not complete"},
        {[&] { call->deleteKeyPair(&complete); },
         "keypairList is NULL, where do you obtain a key from?"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(std::string("INTERNAL ERROR ") + c.message,
                  messageOf<InternalErrorException>(c.change));
    }
    EXPECT_EQ(0u, processA->sentCommands().size());
}

TEST_F(CachedTokenOnCard, RefreshCacheLogsACardThatRefusesTheBlockAndGoesOn) {
    auto call = beginCall(*processA);
    call->getAuthenticationObjects();
    processA->injectStatusWord(INS_SET_FRESHNESS, 1, 0x6A82);
    call->refreshCache();
    EXPECT_NE(std::string::npos, traceLog().find("unable to write cache to card ["));
}

TEST_F(CachedTokenOnCard, SerialNumberIsReadOncePerCall) {
    auto call = beginCall(*processA);
    const Bytes first = bytesOf(call->getCardSerialNumber());
    const Bytes second = bytesOf(call->getCardSerialNumber());
    EXPECT_EQ(first, second);
    EXPECT_EQ(8u, first.size());
    EXPECT_EQ(1u, countIns(*processA, INS_GET_SERIAL));
}

TEST_F(CachedTokenOnCard, LookupsFindTheFirstMatchingObject) {
    auto call = beginCall(*processA);
    ASSERT_NE(nullptr, call->findAuthenticationObject(amw::AMWROLE_USER));
    EXPECT_EQ(static_cast<std::uint32_t>(amw::AMWROLE_USER),
              call->findAuthenticationObject(amw::AMWROLE_USER)->getRole());
    EXPECT_EQ(nullptr, call->findAuthenticationObject(amw::AMWROLE_USER6));
    amw::AuthenticationObject* so = call->getPkcs11SoObject();
    for (const auto& ao : call->getAuthenticationObjects()) {
        if (ao->isPkcs11So()) {
            EXPECT_EQ(ao.get(), so);
            break;
        }
    }
    EXPECT_EQ(nullptr, call->findDirectory(buf<8>("nodir")));
}

TEST_F(CachedTokenOnCard, WithoutCacheDirectoryEveryListComesFromTheCardAndNothingIsWritten) {
    {
        auto first = beginCallWithoutCache(*processA);
        EXPECT_EQ(nullptr, first->getCacheMemory());
        login(*first);
        addCertificate(*first, "cert-1", pattern(64, 9));
        loadEveryList(*first);
        processA->clearSentCommands();
        first->refreshCache();
        EXPECT_EQ(0u, processA->sentCommands().size());
    }
    auto second = beginCallWithoutCache(*processA);
    ASSERT_EQ(1u, second->getCertificates().size());
    EXPECT_EQ(1u, countIns(*processA, INS_GET_HEADS));
    second->refreshCache();
    EXPECT_EQ(0u, countIns(*processA, INS_SET_FRESHNESS));

    // The configured directory would have received this card's files.
    const std::string wouldBe = beginCall(*processB)->getCacheMemory()->getCachingDir();
    EXPECT_FALSE(fs::exists(wouldBe));
    EXPECT_NE(std::string::npos, traceLog().find("CACHE MEMORY disabled"));
}

TEST_F(CachedTokenOnCard, PinOfALoginNeverReachesTheTraceLog) {
    auto call = beginCall(*processA);
    login(*call);
    call->refreshCache();
    EXPECT_TRUE(Logger::instance().isEnabled());
    const std::string log = traceLog();
    EXPECT_EQ(std::string::npos, log.find(USER_PIN));
    EXPECT_EQ(std::string::npos, log.find("71 5A 38 72 56 33 6D 4B"));
    EXPECT_NE(std::string::npos, traceLog().find("Returning amw::AUTHENTICATION_SUCCESS [0]"));
}

}  // namespace
