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
// such a process (AT_SECURE). The same program without the bit is the
// control: it takes all three settings.
class PrivilegedHost : public FileSafety {
protected:
    void SetUp() override {
        FileSafety::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (::geteuid() != 0) GTEST_SKIP() << "making a set-group-ID program for another group needs root";
        dir = fs::path(workDirectory()) / "privileged";
        fs::remove_all(dir);
        fs::create_directories(dir / "home");
        fs::create_directories(dir / "log");
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        host = dir / "host";
        fs::copy_file(ZENTRIK_PRIVILEGED_HOST, host);
        std::ofstream(dir / "user.txt") << "loglevel = 1\nlogpath = " << (dir / "log").string()
                                        << "\ncache = " << (dir / "cache").string()
                                        << "\npkcs11.slots = 9\n";
    }
    void makePrivileged() {
        ASSERT_EQ(0, ::chown(host.c_str(), 0, 65534));
        ASSERT_EQ(0, ::chmod(host.c_str(), 02755));
    }
    // What the host printed. With `throughUsersSocket` it runs in the test's
    // own mount namespace and the user's environment names the bench's socket
    // as his own service's; otherwise it joins the bench's namespace (when the
    // bench has one), where the bench's service is the default one.
    std::string run(bool throughUsersSocket) {
        const std::string enter =
            !throughUsersSocket && theBench().isolated()
                ? "nsenter --mount=/proc/" + std::to_string(theBench().pcscdPid()) + "/ns/mnt "
                : "";
        // The test process itself reaches the bench through the variable.
        const std::string socket = throughUsersSocket ? "PCSCLITE_CSOCK_NAME=" + theBench().socketPath()
                                                      : "-u PCSCLITE_CSOCK_NAME";
        const std::string command = "env " + socket + " ZENTRIK_CONF=" + (dir / "user.txt").string() +
                                    " HOME=" + (dir / "home").string() + " " + enter + host.string() + " " +
                                    LoadedModule::instance().path() + " " + USER_PIN;
        int status = -1;
        return runCommand(command, status);
    }
    bool privilegeIgnored(const std::string& output) const { return output.find("secure=0") != std::string::npos; }
    static long countIn(const fs::path& directory) {
        return fs::exists(directory) ? std::distance(fs::directory_iterator(directory), fs::directory_iterator()) : 0;
    }
    fs::path dir, host;
};

// The module must then read only the system's configuration and write no
// file at all.
TEST_F(PrivilegedHost, IgnoresTheUsersConfigurationAndWritesNoFile) {
    std::string output = run(false);
    ASSERT_NE(std::string::npos, output.find("secure=0 slots=9 login=0x0")) << output;
    EXPECT_LT(0, countIn(dir / "log"));
    EXPECT_LT(0, countIn(dir / "cache"));

    fs::remove_all(dir / "log");
    fs::remove_all(dir / "cache");
    fs::create_directories(dir / "log");
    makePrivileged();
    output = run(false);
    if (privilegeIgnored(output)) GTEST_SKIP() << "the file system ignores the set-group-ID bit (nosuid): " << output;
    EXPECT_NE(std::string::npos, output.find("secure=1")) << output;
    EXPECT_EQ(std::string::npos, output.find("slots=9")) << output;
    EXPECT_NE(std::string::npos, output.find("login=0x0 objects=")) << output;
    EXPECT_EQ(0, countIn(dir / "log"));
    EXPECT_FALSE(fs::exists(dir / "cache"));
    EXPECT_FALSE(fs::exists(dir / "home" / ".amwcache"));
}

// The system's configuration steers a privileged process only when nobody
// but root can have written it: a regular file of root that group and others
// cannot write, not a link. The file is planted at /etc/zentrik.txt in a
// mount namespace of the run's own (an overlay over /etc), which it makes
// inside the bench's so that the bench's service stays the default one.
TEST_F(PrivilegedHost, TakesTheSystemConfigurationOnlyWhenOnlyRootCanHaveWrittenIt) {
    makePrivileged();
    struct Case {
        const char* name;
        ::uid_t owner;
        ::mode_t mode;
        bool link;
        bool taken;
    };
    const Case cases[] = {
        {"root's, 0644", 0, 0644, false, true},
        {"anyone may write", 0, 0666, false, false},
        {"the group may write", 0, 0664, false, false},
        {"a user's", 65534, 0644, false, false},
        {"a link to a user's file", 65534, 0644, true, false},
    };
    const std::string enter =
        theBench().isolated() ? "nsenter --mount=/proc/" + std::to_string(theBench().pcscdPid()) + "/ns/mnt " : "";
    for (const Case& c : cases) {
        const fs::path upper = dir / "etc-upper";
        const fs::path work = dir / "etc-work";
        fs::remove_all(upper);
        fs::remove_all(work);
        fs::create_directories(upper);
        fs::create_directories(work);
        const fs::path written = c.link ? dir / "users.txt" : upper / "zentrik.txt";
        std::ofstream(written) << "pkcs11.slots = 9\n";
        ASSERT_EQ(0, ::chown(written.c_str(), c.owner, 0)) << c.name;
        ASSERT_EQ(0, ::chmod(written.c_str(), c.mode)) << c.name;
        if (c.link) fs::create_symlink(written, upper / "zentrik.txt");
        const std::string command =
            enter + "unshare -m sh -c 'mount --make-rprivate / && mount -t overlay overlay -o lowerdir=/etc,upperdir=" +
            upper.string() + ",workdir=" + work.string() + " /etc && exec env -u PCSCLITE_CSOCK_NAME -u ZENTRIK_CONF " +
            host.string() + " " + LoadedModule::instance().path() + " " + USER_PIN + "'";
        int status = -1;
        const std::string output = runCommand(command, status);
        if (output.find("overlay") != std::string::npos || output.find("unshare") != std::string::npos) {
            GTEST_SKIP() << "no mount namespace with an overlay here: " << output;
        }
        if (privilegeIgnored(output)) GTEST_SKIP() << "the file system ignores the set-group-ID bit (nosuid): " << output;
        EXPECT_EQ(c.taken, output.find("slots=9 ") != std::string::npos) << c.name << ": " << output;
        EXPECT_NE(std::string::npos, output.find("secure=1 ")) << c.name << ": " << output;
    }
}

// pcsc-lite's client library takes PCSCLITE_CSOCK_NAME in a set-group-ID
// process too: run outside the bench's namespace, the host would reach
// whatever service the user named there. With that variable set a
// privileged process sees no service, and C_Initialize answers as it does
// without one (CKR_DEVICE_ERROR). The unprivileged control reaches the card
// through the same variable.
TEST_F(PrivilegedHost, SeesNoServiceThroughASocketTheUserNames) {
    std::string output = run(true);
    ASSERT_NE(std::string::npos, output.find("secure=0 slots=9 login=0x0")) << output;
    makePrivileged();
    output = run(true);
    if (privilegeIgnored(output)) GTEST_SKIP() << "the file system ignores the set-group-ID bit (nosuid): " << output;
    EXPECT_EQ("secure=1 initialize=0x30\n", output);
}
#endif

}  // namespace
}  // namespace sessiontest
