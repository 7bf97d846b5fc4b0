// What calls send to the card, counted in the simulator's commands: a
// read-only call on an unchanged card with current cache files lists
// nothing, writes nothing back (neither the freshness block nor a cache
// file), and the calls on the hot path send only the commands their card
// work needs. Speed itself is measured by tools/perf, not here.
#include <filesystem>
#include <chrono>
#include <map>
#include <thread>

#include "cryptohelpers.h"

namespace fs = std::filesystem;

namespace sessiontest {
namespace {

constexpr std::uint8_t INS_LIST_HEADS = 0x0A;
constexpr std::uint8_t INS_SET_FRESHNESS = 0x0E;
constexpr std::uint8_t INS_DELETE = 0x10;
constexpr const char* CARD_ID = "C0FFEE00C0FFEE00C0FFEE00C0FFEE01";

std::map<fs::path, fs::file_time_type> cacheFileTimes() {
    std::map<fs::path, fs::file_time_type> times;
    const fs::path directory = fs::path(cacheDirectory()) / CARD_ID;
    if (!fs::exists(directory)) return times;
    for (const auto& entry : fs::directory_iterator(directory)) times[entry.path()] = entry.last_write_time();
    return times;
}

class CallCost : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        if (variant() == "nocache") GTEST_SKIP() << "counts the cache at work";
        fs::remove_all(cacheDirectory());
        startLoggedIn(session, {"--card-id", CARD_ID});
        if (HasFatalFailure()) return;
        GenerationRequest request;
        request.id = {0x4B, 0x01};
        keys = generateOnCard(session, request);
        Template certificate;
        certificate.addUlong(CKA_CLASS, CKO_CERTIFICATE).addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
            .add(CKA_ID, Bytes{0x43, 0x01}).add(CKA_VALUE, Bytes(700, 0x30));
        ASSERT_EQ(CKR_OK, p11()->C_CreateObject(session, certificate.data(), certificate.size(), &certificateHandle));
        findAll(session);  // every cache file current
    }
    std::uint64_t count(std::uint8_t ins) { return control(PLAIN_SLOT).count(ins); }
    // The "nohold" run says "cardhold = 0"; the others hold the card.
    static bool holdOn() { return variant() != "nohold"; }
    // Longer than the default idle time of a hold, so the next call starts
    // afresh (and the card is deauthenticated by then).
    static void waitForTheHoldToEnd() {
        if (holdOn()) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    std::uint64_t total() { return commandsSent(PLAIN_SLOT); }

    CK_SESSION_HANDLE session = 0;
    KeyHandles keys;
    CK_OBJECT_HANDLE certificateHandle = 0;
};

TEST_F(CallCost, ReadOnlyCallsOnAnUnchangedCardWriteNothingBack) {
    const auto before = cacheFileTimes();
    ASSERT_FALSE(before.empty());
    control(PLAIN_SLOT).clearStatistics();

    EXPECT_EQ(3u, findAll(session).size());
    Bytes value(1024);
    CK_ATTRIBUTE read{CKA_VALUE, value.data(), value.size()};
    EXPECT_EQ(CKR_OK, p11()->C_GetAttributeValue(session, certificateHandle, &read, 1));
    ASSERT_EQ(CKR_OK, signInit(session, keys.privateKey));
    Bytes signature;
    EXPECT_EQ(CKR_OK, sign(session, sha256DigestInfo({1, 2, 3}), signature));
    CK_TOKEN_INFO info{};
    EXPECT_EQ(CKR_OK, p11()->C_GetTokenInfo(PLAIN_SLOT, &info));

    EXPECT_EQ(0u, count(INS_LIST_HEADS));
    EXPECT_EQ(0u, count(INS_SET_FRESHNESS));
    EXPECT_EQ(before, cacheFileTimes());
}

// With a card transaction per call: freshness read, session-PIN
// authentication, deauthentication. Between card holds a search of public
// objects sends the freshness read only, since the cache files answer; one
// that finds the private key has the card confirm the login first, once per
// hold (session-PIN authentication and deauthentication).
TEST_F(CallCost, WarmSearchSendsOnlyWhatItsScopeNeeds) {
    struct Case {
        const char* name;
        bool withPrivateKey;
        std::uint64_t withHold;
        std::uint64_t withoutHold;
    };
    for (const Case& c : {Case{"certificates", false, 1, 3}, Case{"every object", true, 3, 3}}) {
        waitForTheHoldToEnd();
        control(PLAIN_SLOT).clearStatistics();
        Template search;
        if (!c.withPrivateKey) search.addUlong(CKA_CLASS, CKO_CERTIFICATE);
        findAll(session, search);
        EXPECT_EQ(holdOn() ? c.withHold : c.withoutHold, total()) << c.name;
    }
}

TEST_F(CallCost, WarmAttributeReadBetweenHoldsSendsOnlyTheFreshnessRead) {
    if (!holdOn()) GTEST_SKIP() << "counts the card hold";
    waitForTheHoldToEnd();
    control(PLAIN_SLOT).clearStatistics();
    CK_ULONG valueLength = 0;
    CK_ATTRIBUTE read{CKA_VALUE, nullptr, 0};
    EXPECT_EQ(CKR_OK, p11()->C_GetAttributeValue(session, certificateHandle, &read, 1));
    valueLength = read.ulValueLen;
    EXPECT_EQ(700u, valueLength);
    EXPECT_EQ(1u, total());
}

// Freshness read, session-PIN authentication, the two crypt commands of a
// 1024-bit block (init, one part), deauthentication: the same whether the
// call takes its own transaction or starts a hold.
TEST_F(CallCost, SignSendsOnlyItsCardWork) {
    ASSERT_EQ(CKR_OK, signInit(session, keys.privateKey));
    waitForTheHoldToEnd();
    control(PLAIN_SLOT).clearStatistics();
    Bytes signature;
    EXPECT_EQ(CKR_OK, sign(session, sha256DigestInfo({4, 5, 6}), signature));
    waitForTheHoldToEnd();  // the hold deauthenticates when it ends
    EXPECT_EQ(5u, total());
}

// A listing without cache files reads the 1024-bit key's modulus with its
// length in the first command: one command per component, no 6Cxx answer.
TEST_F(CallCost, ColdListingReadsEachKeyComponentInOneCommand) {
    constexpr std::uint8_t INS_GET_COMPONENT = 0x44;
    ASSERT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
    fs::remove_all(cacheDirectory());
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    session = openSession(PLAIN_SLOT);
    control(PLAIN_SLOT).clearStatistics();
    EXPECT_EQ(2u, findAll(session).size()) << "public key and certificate";
    EXPECT_EQ(2u, count(INS_GET_COMPONENT)) << "modulus and exponent of the one key pair";
}

// A generation makes the key pair, data-object and files kinds stale on the
// card in one write before anything changes, makes the key, then writes the
// container record once (card cache file checked, journal, both files,
// journal deleted); the final write publishes the new digests.
TEST_F(CallCost, KeyGenerationWritesTheMapOnceWithinThirtyTwoCommands) {
    waitForTheHoldToEnd();
    control(PLAIN_SLOT).clearStatistics();
    GenerationRequest request;
    request.id = {0x4B, 0x02};
    request.bits = 2048;
    generateOnCard(session, request);
    waitForTheHoldToEnd();
    EXPECT_EQ(2u, count(INS_SET_FRESHNESS));
    EXPECT_EQ(1u, count(INS_DELETE)) << "one journal per map write";
    EXPECT_LE(total(), 32u);
    EXPECT_EQ(31u, total()) << "the measured sequence of docs/performance.md";
}

CK_PRIVATE_FUNCTION_LIST_PTR privateList() { return LoadedModule::instance().privateList(); }

// The writes of certificates and of the container map, in counted commands
// (each a call between card holds, its hold's end counted with it)
// (docs/performance.md gives their sequences): a 2 KB certificate with a key
// pair takes the pair's container; one without has its container chosen from
// the card's map (the card cache file compared with the card first, 2
// commands); the default mark and a half's removal rewrite the map once,
// through its journal (one journal object, deleted at the end).
TEST_F(CallCost, CertificateAndContainerMapWritesSendTheirMeasuredCommands) {
    const auto createCertificate = [this](Bytes id) {
        Template certificate;
        certificate.addUlong(CKA_CLASS, CKO_CERTIFICATE).addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
            .add(CKA_ID, id).add(CKA_VALUE, Bytes(2048, 0x30));
        CK_OBJECT_HANDLE handle = 0;
        waitForTheHoldToEnd();
        control(PLAIN_SLOT).clearStatistics();
        EXPECT_EQ(CKR_OK, p11()->C_CreateObject(session, certificate.data(), certificate.size(), &handle));
        waitForTheHoldToEnd();
        return total();
    };
    EXPECT_EQ(24u, createCertificate({0x4B, 0x01})) << "with its key pair's container";
    EXPECT_EQ(26u, createCertificate({0x43, 0x02})) << "with a container chosen from the card's map";
    findAll(session);

    Bytes id{0x4B, 0x01};
    waitForTheHoldToEnd();
    control(PLAIN_SLOT).clearStatistics();
    EXPECT_EQ(CKR_OK, privateList()->C_SetDefaultCert(session, id.data(), id.size()));
    waitForTheHoldToEnd();
    EXPECT_EQ(1u, count(INS_DELETE)) << "one journal";
    EXPECT_EQ(24u, total()) << "default certificate";

    findAll(session);
    waitForTheHoldToEnd();
    control(PLAIN_SLOT).clearStatistics();
    EXPECT_EQ(CKR_OK, p11()->C_DestroyObject(session, keys.publicKey));
    waitForTheHoldToEnd();
    EXPECT_EQ(1u, count(INS_DELETE)) << "one journal: the half is removed from its pair, which stays";
    EXPECT_EQ(30u, total()) << "public half destroyed";
}

}  // namespace
}  // namespace sessiontest
