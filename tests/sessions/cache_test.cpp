// The per-card cache as the session functions use it, counted in the
// simulator's commands: the authentication-object listing (INS 2C) is what a
// login reads.
#include <filesystem>
#include <fstream>

#include "sessionbench.h"

namespace fs = std::filesystem;

namespace sessiontest {
namespace {

constexpr std::uint8_t INS_READ_AUTH_OBJECT = 0x2C;
constexpr const char* CARD_ID = "C0FFEE00C0FFEE00C0FFEE00C0FFEE00";
// The cache file of the authentication objects.
const fs::path aoCacheFile() { return fs::path(cacheDirectory()) / CARD_ID / "7"; }

class Cache : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        fs::remove_all(cacheDirectory());
        insertFreshCard(PLAIN_SLOT, {"--card-id", CARD_ID});
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        session = openSession(PLAIN_SLOT);
    }
    std::uint64_t listingsDuringLogin() {
        control(PLAIN_SLOT).clearStatistics();
        EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
        return control(PLAIN_SLOT).count(INS_READ_AUTH_OBJECT);
    }
    CK_SESSION_HANDLE session = 0;
};

TEST_F(Cache, SecondIdenticalCallReadsNoListFromTheCard) {
    EXPECT_LT(0u, listingsDuringLogin());
    ASSERT_TRUE(fs::exists(aoCacheFile()));
    const auto written = fs::last_write_time(aoCacheFile());
    EXPECT_EQ(0u, listingsDuringLogin());
    EXPECT_EQ(written, fs::last_write_time(aoCacheFile()));
}

TEST_F(Cache, DamagedCacheFileIsAMiss) {
    listingsDuringLogin();
    {
        std::fstream file(aoCacheFile(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(-1, std::ios::end);
        file.put('\x5A');
    }
    EXPECT_LT(0u, listingsDuringLogin());
    EXPECT_EQ(0u, listingsDuringLogin());
}

// Another process changed the card's authentication objects (here: the card
// was personalised again under the same identifier, with a key object
// added). The file that no longer matches the card is never used.
TEST_F(Cache, ChangedCardIsReadAgainNeverAStaleList) {
    listingsDuringLogin();
    ASSERT_TRUE(fs::exists(aoCacheFile()));
    insertFreshCard(PLAIN_SLOT, {"--card-id", CARD_ID, "--key-ao",
                                 "3:000102030405060708090A0B0C0D0E0F1011121314151617"});
    session = openSession(PLAIN_SLOT);
    EXPECT_LT(0u, listingsDuringLogin());
    EXPECT_EQ(0u, listingsDuringLogin());
}

// Runs in the process whose configuration says "cache =".
class NoCache : public SessionBench {};

TEST_F(NoCache, EmptyCacheSettingWritesNothingAndReadsTheCardEachTime) {
    insertFreshCard(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    for (int round = 0; round < 2; ++round) {
        control(PLAIN_SLOT).clearStatistics();
        ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
        EXPECT_LT(0u, control(PLAIN_SLOT).count(INS_READ_AUTH_OBJECT));
    }
    EXPECT_FALSE(fs::exists(cacheDirectory()));
    EXPECT_FALSE(fs::exists(fs::path(workDirectory()) / ".amwcache"));
    EXPECT_NE(std::string::npos, traceLog().find("CACHE MEMORY disabled"));
}

}  // namespace
}  // namespace sessiontest
