// The user's own files on a shared machine: what another user (or the user,
// against a privileged host) plants at the names the module writes and reads
// is neither followed nor waited on, and what the module creates is private.
#include "platform.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fileinspection.h"

namespace {

namespace fs = std::filesystem;

using fileinspection::modeOf;
using fileinspection::readAll;

class PrivateFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/zentrik-private-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        root = pattern;
        victim = root / "victim";
        std::ofstream(victim) << "precious";
        cacheDir = root / "cache";
        cardDir = cacheDir / "CARD";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::unique_ptr<platform::PrivateDirectory> openCard(bool create, std::string& problem) {
        return platform::PrivateDirectory::open(cardDir.string(), create, 2, problem);
    }
    // Writes `text` as the file `name` of the card directory the way the
    // cache does: a temporary file, then the rename.
    bool writeFile(const std::string& name, const std::string& text) {
        std::string problem;
        auto directory = openCard(true, problem);
        if (!directory) return false;
        std::string temporary;
        std::FILE* file = directory->createTemporary(name, temporary, problem);
        if (file == nullptr) return false;
        const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        return std::fclose(file) == 0 && written && directory->replace(temporary, name);
    }

    fs::path root, victim, cacheDir, cardDir;
};

TEST_F(PrivateFiles, CreatedDirectoriesAndFilesAreTheOwnersAlone) {
    const mode_t saved = ::umask(0);
    const bool written = writeFile("3", "records");
    ::umask(saved);
    ASSERT_TRUE(written);
    EXPECT_EQ(0700u, modeOf(cacheDir));
    EXPECT_EQ(0700u, modeOf(cardDir));
    EXPECT_EQ(0600u, modeOf(cardDir / "3"));
    EXPECT_EQ("records", readAll(cardDir / "3"));
}

TEST_F(PrivateFiles, ReplacingLeavesNoTemporaryFileBehind) {
    ASSERT_TRUE(writeFile("3", "old"));
    ASSERT_TRUE(writeFile("3", "new"));
    EXPECT_EQ("new", readAll(cardDir / "3"));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(cardDir), fs::directory_iterator()));
}

TEST_F(PrivateFiles, LinkPlantedAtAFileNameIsReplacedNotFollowed) {
    fs::create_directories(cardDir);
    fs::create_symlink(victim, cardDir / "3");
    std::string problem;
    auto directory = openCard(false, problem);
    ASSERT_TRUE(directory) << problem;
    EXPECT_EQ(nullptr, directory->openForReading("3", problem));
    EXPECT_EQ("it is a symbolic link", problem);

    ASSERT_TRUE(writeFile("3", "records"));
    EXPECT_EQ("precious", readAll(victim));
    EXPECT_FALSE(fs::is_symlink(cardDir / "3"));
    EXPECT_EQ("records", readAll(cardDir / "3"));
}

TEST_F(PrivateFiles, FifoPlantedAtAFileNameIsRefusedWithoutWaiting) {
    fs::create_directories(cardDir);
    ASSERT_EQ(0, ::mkfifo((cardDir / "3").c_str(), 0600));
    std::string problem;
    auto directory = openCard(false, problem);
    ASSERT_TRUE(directory) << problem;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(nullptr, directory->openForReading("3", problem));
    EXPECT_EQ("it is not a regular file", problem);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_TRUE(writeFile("3", "records"));
    EXPECT_TRUE(fs::is_regular_file(cardDir / "3"));
}

struct DirectoryCase {
    const char* name;
    void (*plant)(const fs::path& cacheDir, const fs::path& cardDir, const fs::path& elsewhere);
    const char* problem;
};

void PrintTo(const DirectoryCase& c, std::ostream* os) { *os << c.name; }

class UnusableDirectory : public PrivateFiles,
                          public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(UnusableDirectory, IsRefusedAndNothingIsWrittenThrough) {
    const fs::path elsewhere = root / "elsewhere";
    fs::create_directories(elsewhere);
    GetParam().plant(cacheDir, cardDir, elsewhere);
    std::string problem;
    EXPECT_EQ(nullptr, openCard(true, problem));
    EXPECT_NE(std::string::npos, problem.find(GetParam().problem)) << problem;
    EXPECT_FALSE(writeFile("3", "records"));
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

INSTANTIATE_TEST_SUITE_P(
    Planted, UnusableDirectory,
    ::testing::Values(
        DirectoryCase{"card_directory_is_a_link",
                      [](const fs::path& cache, const fs::path& card, const fs::path& elsewhere) {
                          fs::create_directories(cache);
                          fs::permissions(cache, fs::perms::owner_all);
                          fs::create_directory_symlink(elsewhere, card);
                      },
                      "not a directory"},
        DirectoryCase{"cache_directory_is_a_link",
                      [](const fs::path& cache, const fs::path&, const fs::path& elsewhere) {
                          fs::create_directory_symlink(elsewhere, cache);
                      },
                      "not a directory"},
        DirectoryCase{"cache_directory_writable_by_others",
                      [](const fs::path& cache, const fs::path&, const fs::path&) {
                          fs::create_directories(cache);
                          fs::permissions(cache, fs::perms::all);
                      },
                      "others may write to it"},
        DirectoryCase{"card_directory_writable_by_the_group",
                      [](const fs::path& cache, const fs::path& card, const fs::path&) {
                          fs::create_directories(card);
                          fs::permissions(cache, fs::perms::owner_all);
                          fs::permissions(card, fs::perms::owner_all | fs::perms::group_write);
                      },
                      "others may write to it"},
        DirectoryCase{"card_directory_of_another_user",
                      [](const fs::path& cache, const fs::path& card, const fs::path&) {
                          fs::create_directories(card);
                          fs::permissions(cache, fs::perms::owner_all);
                          // Only root can give a directory away; others skip.
                          if (::lchown(card.c_str(), 65534, 65534) != 0) {
                              GTEST_SKIP() << "needs root to make another user's directory";
                          }
                      },
                      "belongs to another user"}),
    [](const ::testing::TestParamInfo<DirectoryCase>& info) { return std::string(info.param.name); });

TEST_F(PrivateFiles, ReadingAFileOfAnotherUserIsRefused) {
    ASSERT_TRUE(writeFile("3", "records"));
    if (::lchown((cardDir / "3").c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "needs root to make another user's file";
    }
    std::string problem;
    auto directory = openCard(false, problem);
    ASSERT_TRUE(directory) << problem;
    EXPECT_EQ(nullptr, directory->openForReading("3", problem));
    EXPECT_EQ("it belongs to another user", problem);
}

TEST_F(PrivateFiles, TraceFileIsCreatedForItsOwnerOnly) {
    const fs::path log = root / "trace.log";
    const mode_t saved = ::umask(0);
    const bool appended = platform::appendToFile(log.string(), "line\n");
    ::umask(saved);
    ASSERT_TRUE(appended);
    EXPECT_EQ(0600u, modeOf(log));
    EXPECT_TRUE(platform::appendToFile(log.string(), "more\n"));
    EXPECT_EQ("line\nmore\n", readAll(log));
}

TEST_F(PrivateFiles, TraceFileNameHoldingALinkOrAFifoIsNotWritten) {
    const fs::path link = root / "link.log";
    fs::create_symlink(victim, link);
    EXPECT_FALSE(platform::appendToFile(link.string(), "line\n"));
    EXPECT_EQ("precious", readAll(victim));

    const fs::path fifo = root / "fifo.log";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    // A reader on the FIFO makes a plain open succeed and write into it.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_LE(0, reader);
    EXPECT_FALSE(platform::appendToFile(fifo.string(), "line\n"));
    char byte;
    EXPECT_GE(0, ::read(reader, &byte, 1));
    ::close(reader);

    const fs::path hardLink = root / "hard.log";
    fs::create_hard_link(victim, hardLink);
    EXPECT_FALSE(platform::appendToFile(hardLink.string(), "line\n"));
    EXPECT_EQ("precious", readAll(victim));
}

// What a privileged process reads as its configuration: only a regular file
// of root that no one else may change; a link, another owner, a file group or
// others may write, a FIFO or a directory are refused, the FIFO at once.
TEST_F(PrivateFiles, SystemFileIsReadOnlyWhenOnlyRootCanHaveWrittenIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "files of root and of another owner need root";
    const fs::path file = root / "zentrik.txt";
    std::ofstream(file) << "loglevel = 1\n";
    struct Case {
        const char* name;
        ::mode_t mode;
        ::uid_t owner;
        bool opened;
    };
    const Case cases[] = {
        {"root, 0644", 0644, 0, true},           {"root, 0600", 0600, 0, true},
        {"group may write", 0664, 0, false},     {"others may write", 0646, 0, false},
        {"anyone may write", 0666, 0, false},    {"another owner", 0644, 65534, false},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, ::chown(file.c_str(), c.owner, 0));
        ASSERT_EQ(0, ::chmod(file.c_str(), c.mode));
        std::FILE* opened = platform::openSystemFile(file.string());
        EXPECT_EQ(c.opened, opened != nullptr) << c.name;
        if (opened != nullptr) {
            char line[32] = {};
            EXPECT_NE(nullptr, std::fgets(line, sizeof line, opened)) << c.name;
            EXPECT_EQ(std::string("loglevel = 1\n"), line) << c.name;
            std::fclose(opened);
        }
    }
    ASSERT_EQ(0, ::chown(file.c_str(), 0, 0));
    ASSERT_EQ(0, ::chmod(file.c_str(), 0644));
    fs::create_symlink(file, root / "link");
    ASSERT_EQ(0, ::mkfifo((root / "fifo").c_str(), 0644));
    for (const char* refused : {"link", "fifo", "cache"}) {
        fs::create_directories(cacheDir);
        EXPECT_EQ(nullptr, platform::openSystemFile((root / refused).string())) << refused;
    }
}

// Turns among processes: a process waits while another holds the turn (a
// forked child inherits none of its parent's), gets it when it is given back
// or its holder dies, and never waits for a turn of another key.
TEST_F(PrivateFiles, ProcessTurnsPassFromProcessToProcess) {
    std::string problem;
    auto cache = platform::PrivateDirectory::open(cacheDir.string(), true, 1, problem);
    ASSERT_TRUE(cache) << problem;
    fs::create_symlink(victim, cacheDir / "planted");
    EXPECT_EQ(nullptr, platform::ProcessTurns::open(*cache, "planted", problem));
    EXPECT_EQ("it is a symbolic link", problem);
    auto turns = platform::ProcessTurns::open(*cache, "turns", problem);
    ASSERT_TRUE(turns) << problem;
    EXPECT_EQ(0600u, modeOf(cacheDir / "turns"));

    int report[2];
    ASSERT_EQ(0, ::pipe(report));
    // A child takes turn `key` and reports how it got it ('a' at once, 'w'
    // after waiting for another process, 'n' not at all), then gives it back
    // unless it `dies` holding it.
    std::vector<pid_t> children;
    const auto child = [&](std::uint32_t key, bool dies) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(10);
            const char got = "awn"[static_cast<int>(turns->take(key))];
            if (::write(report[1], &got, 1) != 1) ::_exit(2);
            if (!dies) turns->give(key);
            ::_exit(0);
        }
        children.push_back(pid);
    };
    const auto reported = [&](int milliseconds) {
        pollfd ready{report[0], POLLIN, 0};
        char got = '-';
        if (::poll(&ready, 1, milliseconds) != 1 || ::read(report[0], &got, 1) != 1) return '-';
        return got;
    };
    EXPECT_EQ(platform::ProcessTurns::Taken::AT_ONCE, turns->take(7));
    child(8, false);
    EXPECT_EQ('a', reported(5000)) << "another key's turn";
    child(7, true);
    EXPECT_EQ('-', reported(300)) << "the turn was taken while this process held it";
    turns->give(7);
    EXPECT_EQ('w', reported(5000));
    // Once the child has died holding it, the next one gets it at once.
    const auto reap = [&] {
        int status = -1;
        EXPECT_EQ(children.back(), ::waitpid(children.back(), &status, 0));
        EXPECT_EQ(0, status);
        children.pop_back();
    };
    reap();
    child(7, false);
    EXPECT_EQ('a', reported(5000));
    reap();
    EXPECT_EQ(platform::ProcessTurns::Taken::AT_ONCE, turns->take(7));
    for (pid_t pid : children) {
        int status = -1;
        EXPECT_EQ(pid, ::waitpid(pid, &status, 0));
        EXPECT_EQ(0, status);
    }
    ::close(report[0]);
    ::close(report[1]);
}

}  // namespace
