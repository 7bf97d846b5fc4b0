// What calls send to the card, counted in the simulator's commands: a
// read-only call on an unchanged card with current cache files lists
// nothing, writes nothing back (neither the freshness block nor a cache
// file), and the calls on the hot path send only the commands their card
// work needs. Speed itself is measured by tools/perf, not here.
#include <filesystem>
#include <map>

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
        insertFreshCard(PLAIN_SLOT, {"--card-id", CARD_ID});
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        session = openSession(PLAIN_SLOT);
        ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
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
    std::uint64_t total() {
        std::uint64_t sum = 0;
        for (const auto& [ins, n] : control(PLAIN_SLOT).counters()) sum += n;
        return sum;
    }

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

// Freshness read, session-PIN authentication, deauthentication.
TEST_F(CallCost, WarmSearchSendsThreeCommands) {
    control(PLAIN_SLOT).clearStatistics();
    findAll(session);
    EXPECT_EQ(3u, total());
}

// Freshness read, session-PIN authentication, the two crypt commands of a
// 1024-bit block (init, one part), deauthentication.
TEST_F(CallCost, SignSendsOnlyItsCardWork) {
    ASSERT_EQ(CKR_OK, signInit(session, keys.privateKey));
    control(PLAIN_SLOT).clearStatistics();
    Bytes signature;
    EXPECT_EQ(CKR_OK, sign(session, sha256DigestInfo({4, 5, 6}), signature));
    EXPECT_EQ(5u, total());
}

// A generation makes the key pair, data-object and files kinds stale on the
// card in one write before anything changes, makes the key, then writes the
// container record once (card cache file checked, journal, both files,
// journal deleted); the final write publishes the new digests.
TEST_F(CallCost, KeyGenerationWritesTheMapOnceWithinThirtyTwoCommands) {
    control(PLAIN_SLOT).clearStatistics();
    GenerationRequest request;
    request.id = {0x4B, 0x02};
    request.bits = 2048;
    generateOnCard(session, request);
    EXPECT_EQ(2u, count(INS_SET_FRESHNESS));
    EXPECT_EQ(1u, count(INS_DELETE)) << "one journal per map write";
    EXPECT_LE(total(), 32u);
    EXPECT_EQ(31u, total()) << "the measured sequence of docs/performance.md";
}

CK_PRIVATE_FUNCTION_LIST_PTR privateList() { return LoadedModule::instance().privateList(); }

// The writes of certificates and of the container map, in counted commands
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
        control(PLAIN_SLOT).clearStatistics();
        EXPECT_EQ(CKR_OK, p11()->C_CreateObject(session, certificate.data(), certificate.size(), &handle));
        return total();
    };
    EXPECT_EQ(24u, createCertificate({0x4B, 0x01})) << "with its key pair's container";
    EXPECT_EQ(26u, createCertificate({0x43, 0x02})) << "with a container chosen from the card's map";
    findAll(session);

    Bytes id{0x4B, 0x01};
    control(PLAIN_SLOT).clearStatistics();
    EXPECT_EQ(CKR_OK, privateList()->C_SetDefaultCert(session, id.data(), id.size()));
    EXPECT_EQ(1u, count(INS_DELETE)) << "one journal";
    EXPECT_EQ(24u, total()) << "default certificate";

    findAll(session);
    control(PLAIN_SLOT).clearStatistics();
    EXPECT_EQ(CKR_OK, p11()->C_DestroyObject(session, keys.publicKey));
    EXPECT_EQ(1u, count(INS_DELETE)) << "one journal: the half is removed from its pair, which stays";
    EXPECT_EQ(30u, total()) << "public half destroyed";
}

}  // namespace
}  // namespace sessiontest
