// The module's files on a shared machine, through the function list: what is
// planted at the cache's names (links, a FIFO) or a cache directory others
// can write to never makes the module write elsewhere or wait, the calls
// still succeed (reading the card instead), and what the module creates is
// its user's alone.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

#include "fileinspection.h"
#include "loadedmodule.h"
#include "objecthelpers.h"

namespace fs = std::filesystem;

namespace sessiontest {
namespace {

constexpr const char* CARD_ID = "5AFE5AFE5AFE5AFE5AFE5AFE5AFE5AFE";
// Kinds of cached objects: key pairs up to authentication objects.
constexpr int FIRST_KIND = 1;
constexpr int LAST_KIND = 7;

fs::path cardDirectory() { return fs::path(cacheDirectory()) / CARD_ID; }

using fileinspection::modeOf;
using fileinspection::readAll;

class FileSafety : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        fs::remove_all(cacheDirectory());
        elsewhere = fs::path(workDirectory()) / "elsewhere";
        fs::remove_all(elsewhere);
        fs::create_directories(elsewhere);
        insertFreshCard(PLAIN_SLOT, {"--card-id", CARD_ID});
    }
    void TearDown() override {
        SessionBench::TearDown();
        std::error_code ignored;
        fs::remove_all(cacheDirectory(), ignored);
        fs::remove_all(elsewhere, ignored);
    }
    // Logs in, creates a data object and lists every object: each kind of
    // cache file is read, and the changed ones written.
    void useTheCard() {
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
        ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
        Template object;
        object.addUlong(CKA_CLASS, CKO_DATA).add(CKA_LABEL, std::string("planted"))
            .add(CKA_VALUE, std::string("value")).addBool(CKA_TOKEN, true);
        CK_OBJECT_HANDLE handle = 0;
        EXPECT_EQ(CKR_OK, createObject(session, object, handle));
        EXPECT_FALSE(findAll(session).empty());
        EXPECT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
    }
    fs::path elsewhere;
};

TEST_F(FileSafety, CreatedCacheDirectoriesAndFilesAndTheTraceAreTheUsersAlone) {
    useTheCard();
    EXPECT_EQ(0700u, modeOf(cacheDirectory()));
    EXPECT_EQ(0700u, modeOf(cardDirectory()));
    int files = 0;
    for (const auto& entry : fs::directory_iterator(cardDirectory())) {
        EXPECT_EQ(0600u, modeOf(entry.path())) << entry.path();
        ++files;
    }
    EXPECT_LT(0, files);
    for (const auto& entry : fs::directory_iterator(fs::path(workDirectory()) / "log")) {
        EXPECT_EQ(0600u, modeOf(entry.path())) << entry.path();
    }
}

TEST_F(FileSafety, LinksPlantedAtEveryCacheFileNameAreNotFollowed) {
    fs::create_directories(cardDirectory());
    fs::permissions(cacheDirectory(), fs::perms::owner_all);
    fs::permissions(cardDirectory(), fs::perms::owner_all);
    for (int kind = FIRST_KIND; kind <= LAST_KIND; ++kind) {
        const fs::path target = elsewhere / ("target" + std::to_string(kind));
        std::ofstream(target) << "precious";
        fs::create_symlink(target, cardDirectory() / std::to_string(kind));
    }
    useTheCard();
    useTheCard();
    for (int kind = FIRST_KIND; kind <= LAST_KIND; ++kind) {
        EXPECT_EQ("precious", readAll(elsewhere / ("target" + std::to_string(kind)))) << kind;
    }
}

TEST_F(FileSafety, LinkPlantedAtTheCardDirectoryIsNotFollowed) {
    fs::create_directories(cacheDirectory());
    fs::permissions(cacheDirectory(), fs::perms::owner_all);
    fs::create_directory_symlink(elsewhere, cardDirectory());
    useTheCard();
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_TRUE(fs::is_symlink(cardDirectory()));
}

TEST_F(FileSafety, LinkPlantedAtTheCacheDirectoryIsNotFollowed) {
    fs::create_directory_symlink(elsewhere, cacheDirectory());
    useTheCard();
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(FileSafety, CacheDirectoryOthersCanWriteToIsNotUsed) {
    fs::create_directories(cacheDirectory());
    fs::permissions(cacheDirectory(), fs::perms::all);
    useTheCard();
    EXPECT_TRUE(fs::is_empty(cacheDirectory()));
    EXPECT_NE(std::string::npos, traceLog().find("others may write to it"));
}

// A FIFO at the authentication objects' file, which every login reads: the
// read would wait for a writer forever, inside the card transaction.
TEST_F(FileSafety, FifoPlantedAtACacheFileDoesNotBlockTheCall) {
    fs::create_directories(cardDirectory());
    fs::permissions(cacheDirectory(), fs::perms::owner_all);
    fs::permissions(cardDirectory(), fs::perms::owner_all);
    ASSERT_EQ(0, ::mkfifo((cardDirectory() / "7").c_str(), 0600));
    std::future<void> calls = std::async(std::launch::async, [this] { useTheCard(); });
    if (calls.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        // The blocked call cannot be woken, and the future would wait for it
        // forever: end the program with the failure.
        std::fprintf(stderr, "FAILED: the module waits on the FIFO\n");
        std::fflush(stderr);
        std::_Exit(1);
    }
    calls.get();
    // The card is free: another client gets it at once.
    bench::PcscClient client;
    bench::PcscCard card = client.connect(readerOfSlot(PLAIN_SLOT));
    EXPECT_EQ(0x9000, card.transmitSw(bench::fromHex("00A4040009F056584652010000 41")));
}

#ifdef ZENTRIK_PRIVILEGED_HOST
// A set-group-ID copy of a small host program, run by a user whose
// environment names a configuration that turns the trace on, puts the cache
// in a directory of the user's choice and asks for 9 slots. The kernel marks
// such a process (AT_SECURE); the module must then read only the system's
// configuration and write no file at all. The same program without the bit
// is the control: it takes all three settings.
TEST_F(FileSafety, PrivilegedHostIgnoresTheUsersConfigurationAndWritesNoFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "making a set-group-ID program for another group needs root";
    const fs::path dir = fs::path(workDirectory()) / "privileged";
    fs::remove_all(dir);
    fs::create_directories(dir / "home");
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    const fs::path host = dir / "host";
    fs::copy_file(ZENTRIK_PRIVILEGED_HOST, host);
    std::ofstream(dir / "user.txt") << "loglevel = 1\nlogpath = " << (dir / "log").string()
                                    << "\ncache = " << (dir / "cache").string()
                                    << "\npkcs11.slots = 9\n";
    // The set-group-ID program ignores PCSCLITE_CSOCK_NAME too: it joins the
    // bench's mount namespace, where the bench's service is the default one.
    const std::string enter =
        theBench().isolated()
            ? "nsenter --mount=/proc/" + std::to_string(theBench().pcscdPid()) + "/ns/mnt "
            : "";
    const std::string command = "ZENTRIK_CONF=" + (dir / "user.txt").string() +
                                " HOME=" + (dir / "home").string() +
                                " PCSCLITE_CSOCK_NAME=" + theBench().socketPath() + " " + enter +
                                host.string() + " " + LoadedModule::instance().path() + " " +
                                USER_PIN;
    const auto countIn = [](const fs::path& directory) {
        return fs::exists(directory)
                   ? std::distance(fs::directory_iterator(directory), fs::directory_iterator())
                   : 0;
    };

    fs::create_directories(dir / "log");
    int status = -1;
    std::string output = runCommand(command, status);
    ASSERT_EQ(0, status) << output;
    ASSERT_NE(std::string::npos, output.find("secure=0 slots=9 login=0x0")) << output;
    EXPECT_LT(0, countIn(dir / "log"));
    EXPECT_LT(0, countIn(dir / "cache"));

    fs::remove_all(dir / "log");
    fs::remove_all(dir / "cache");
    fs::create_directories(dir / "log");
    ASSERT_EQ(0, ::chown(host.c_str(), 0, 65534));
    ASSERT_EQ(0, ::chmod(host.c_str(), 02755));
    output = runCommand(command, status);
    ASSERT_EQ(0, status) << output;
    if (output.find("secure=0") != std::string::npos) {
        GTEST_SKIP() << "the file system ignores the set-group-ID bit (nosuid): " << output;
    }
    EXPECT_NE(std::string::npos, output.find("secure=1")) << output;
    EXPECT_EQ(std::string::npos, output.find("slots=9")) << output;
    EXPECT_NE(std::string::npos, output.find("login=0x0 objects=")) << output;
    EXPECT_EQ(0, countIn(dir / "log"));
    EXPECT_FALSE(fs::exists(dir / "cache"));
    EXPECT_FALSE(fs::exists(dir / "home" / ".amwcache"));
}
#endif

}  // namespace
}  // namespace sessiontest
