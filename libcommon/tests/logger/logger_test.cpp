#include "logger.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "configuration.h"
#include "logger_test_support.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Collects what the logger appends to its file between construction and lines().
class NewLines {
public:
    NewLines() : offset(readFile(Logger::instance().getFileName()).size()) {}
    std::vector<std::string> lines() const {
        return splitLines(readFile(Logger::instance().getFileName()).substr(offset));
    }

private:
    std::size_t offset;
};

const std::regex HEADER(R"(T(\d+) (\d\d)\.(\d\d)\.(\d{4}) (\d\d):(\d\d):(\d\d)\.(\d{2,3}) ([A-Z0-9_]+) *)");

struct ParsedLine {
    bool valid = false;
    unsigned long threadId = 0;
    std::string facility;
    std::size_t column = 0;  // where the message starts
    std::string message;
};

// Splits a line into header and message, taking the message to start at
// `column`; valid when everything before it is a well-formed header.
ParsedLine parseAt(const std::string& line, std::size_t column) {
    ParsedLine parsed;
    if (line.size() < column) {
        return parsed;
    }
    std::smatch m;
    const std::string header = line.substr(0, column);
    if (!std::regex_match(header, m, HEADER)) {
        return parsed;
    }
    parsed.valid = true;
    parsed.threadId = std::stoul(m[1].str());
    parsed.facility = m[9].str();
    parsed.column = column;
    parsed.message = line.substr(column);
    return parsed;
}

std::size_t columnFor(int depth) { return static_cast<std::size_t>(45 + 2 * depth); }

// Applications finalise the module from their own static destructors; the
// logger must still work then (under AddressSanitizer a destroyed lock would
// show here at exit).
struct LogsAtExit {
    ~LogsAtExit() {
        TraceScope scope(LOG_FACILITY_PKCS11, "C_Finalize");
        Logger::instance().log(LOG_FACILITY_PKCS11, L"logged from a static destructor");
    }
} logsAtExit;

TEST(LoggerOn, IsEnabledByConfiguration) {
    EXPECT_TRUE(Logger::instance().isEnabled());
}

TEST(LoggerOn, FileNameIsPrefixExecutableAndFileTime) {
    const std::string name = Logger::instance().getFileName();
    const std::string dir = loggertest::logDirectory() + "/";
    ASSERT_EQ(dir, name.substr(0, dir.size()));
    std::smatch m;
    const std::string base = name.substr(dir.size());
    ASSERT_TRUE(std::regex_match(base, m, std::regex(R"(vxpkcs11-libcommon_logger_tests-(\d+)\.log)")))
        << base;
    // The number is a FILETIME: 100-ns ticks since 1601, so within the last
    // few minutes when converted back.
    const std::uint64_t ticks = std::stoull(m[1].str());
    const std::uint64_t now = platform::systemTimeAsFileTime();
    EXPECT_LE(ticks, now);
    EXPECT_GT(ticks, now - 600ULL * 10000000ULL);
    EXPECT_TRUE(fs::exists(name));
}

TEST(LoggerOn, FirstLineIsBuildStampFollowedByEmptyLine) {
    const std::vector<std::string> lines = splitLines(readFile(Logger::instance().getFileName()));
    ASSERT_GE(lines.size(), 2u);
    const ParsedLine first = parseAt(lines[0], columnFor(0));
    ASSERT_TRUE(first.valid) << lines[0];
    EXPECT_EQ("LOGGER", first.facility);
    EXPECT_TRUE(std::regex_match(first.message,
                                 std::regex(R"(BUILT ON [A-Z][a-z]{2} [ 0-9]\d \d{4} \d\d:\d\d:\d\d)")))
        << first.message;
    EXPECT_EQ("", lines[1]);
}

TEST(LoggerOn, LineHasThreadTimestampFacilityAndMessageAtColumn45) {
    NewLines capture;
    Logger::instance().log(LOG_FACILITY_PKCS11, L"plain message %d", 42);
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(1u, lines.size());
    const ParsedLine parsed = parseAt(lines[0], columnFor(0));
    ASSERT_TRUE(parsed.valid) << lines[0];
    EXPECT_EQ(platform::currentThreadId(), parsed.threadId);
    EXPECT_EQ("PKCS11", parsed.facility);
    EXPECT_EQ("plain message 42", parsed.message);
    // The date in the header is today's (unless the day just changed).
    const platform::LocalTime now = platform::localTime();
    char today[16];
    std::snprintf(today, sizeof today, "%02d.%02d.%d", now.day, now.month, now.year);
    if (now.hour != 0 || now.minute != 0) {
        EXPECT_NE(std::string::npos, lines[0].find(today)) << lines[0];
    }
}

TEST(LoggerOn, NarrowAndWideStringsBothPrintTheirText) {
    NewLines capture;
    Logger::instance().log(LOG_FACILITY_CTL, L"%s / %ls / [%5s] / [%-4ls] / %.3s", "narrow", L"wide",
                           "ab", L"cd", "truncated");
    Logger::instance().log(LOG_FACILITY_CTL, L"%s = %ls", "\xC4\x8Dte\xC4\x8Dka", L"\u010Dte\u010Dka");
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("narrow / wide / [   ab] / [cd  ] / tru", parseAt(lines[0], columnFor(0)).message);
    // Non-ASCII text is written as UTF-8, whatever the process locale.
    EXPECT_EQ("\xC4\x8Dte\xC4\x8Dka = \xC4\x8Dte\xC4\x8Dka", parseAt(lines[1], columnFor(0)).message);
}

TEST(LoggerOn, NumbersFormatLikePrintf) {
    NewLines capture;
    Logger::instance().log(LOG_FACILITY_AMW, L"%d %u %X %08x %i %ld %lld %c %%", -5, 7u, 0xABCDu, 0x54u, 12,
                           -3L, 1LL << 40, 'Z');
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("-5 7 ABCD 00000054 12 -3 1099511627776 Z %", parseAt(lines[0], columnFor(0)).message);
}

TEST(LoggerOn, NullFormatAndNullStringsDoNotCrash) {
    NewLines capture;
    Logger::instance().log(LOG_FACILITY_AMW, nullptr);
    Logger::instance().log(nullptr, L"%s|%ls", static_cast<const char*>(nullptr),
                           static_cast<const wchar_t*>(nullptr));
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("", parseAt(lines[0], columnFor(0)).message);
    EXPECT_EQ("(null)|(null)", lines[1].substr(columnFor(0)));
}

TEST(LoggerOn, FormatIsCutAt1023Characters) {
    NewLines capture;
    const std::wstring longFormat(2000, L'x');
    Logger::instance().log(LOG_FACILITY_AMW, longFormat.c_str());
    // A conversion beyond the cut is not applied: its argument is never read.
    const std::wstring cutConversion = std::wstring(1022, L'y') + L"%d";
    Logger::instance().log(LOG_FACILITY_AMW, cutConversion.c_str(), 5);
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::string(1023, 'x'), parseAt(lines[0], columnFor(0)).message);
    EXPECT_EQ(std::string(1022, 'y') + "%", parseAt(lines[1], columnFor(0)).message);
}

TEST(LoggerOn, NestedScopesIndentTwoColumnsPerLevel) {
    NewLines capture;
    {
        TraceScope outer(LOG_FACILITY_PKCS11, "C_Outer");
        Logger::instance().log(LOG_FACILITY_PKCS11, L"depth one");
        {
            TraceScope inner(LOG_FACILITY_AMW, "innerCall");
            Logger::instance().log(LOG_FACILITY_AMW, L"depth two");
        }
    }
    const std::vector<std::string> lines = capture.lines();
    struct Expected {
        int depth;
        const char* facility;
        const char* message;
    };
    const Expected expected[] = {
        {0, "PKCS11", "Entering C_Outer()"}, {1, "PKCS11", "depth one"},
        {1, "AMW", "Entering innerCall()"},  {2, "AMW", "depth two"},
        {1, "AMW", "Leaving innerCall"},     {0, "PKCS11", "Leaving C_Outer"},
    };
    ASSERT_EQ(std::size(expected) + 1, lines.size());
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const ParsedLine parsed = parseAt(lines[i], columnFor(expected[i].depth));
        ASSERT_TRUE(parsed.valid) << lines[i];
        EXPECT_EQ(expected[i].facility, parsed.facility) << lines[i];
        EXPECT_EQ(expected[i].message, parsed.message) << lines[i];
    }
    // The outermost "Leaving" is followed by an empty line.
    EXPECT_EQ("", lines.back());
    EXPECT_EQ(0, Logger::instance().getIndent());
}

TEST(LoggerOn, EachThreadKeepsItsOwnDepth) {
    std::mutex m;
    std::condition_variable cv;
    int stage = 0;
    auto waitFor = [&](int s) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return stage >= s; });
    };
    auto advance = [&](int s) {
        {
            std::lock_guard<std::mutex> lock(m);
            stage = s;
        }
        cv.notify_all();
    };
    NewLines capture;
    platform::ThreadId deepThread = 0;
    std::thread deep([&] {
        deepThread = platform::currentThreadId();
        TraceScope a(LOG_FACILITY_PKCS11, "first");
        TraceScope b(LOG_FACILITY_PKCS11, "second");
        advance(1);
        waitFor(2);
        Logger::instance().log(LOG_FACILITY_PKCS11, L"deep after shallow");
    });
    waitFor(1);
    // This thread has no scope open while the other is two levels deep.
    Logger::instance().log(LOG_FACILITY_CTL, L"shallow");
    EXPECT_EQ(0, Logger::instance().getIndent());
    advance(2);
    deep.join();

    int checked = 0;
    for (const std::string& line : capture.lines()) {
        if (line.find("shallow") == std::string::npos) {
            continue;
        }
        const bool isDeep = line.find("deep after shallow") != std::string::npos;
        const ParsedLine parsed = parseAt(line, columnFor(isDeep ? 2 : 0));
        ASSERT_TRUE(parsed.valid) << line;
        EXPECT_EQ(isDeep ? deepThread : platform::currentThreadId(), parsed.threadId);
        ++checked;
    }
    EXPECT_EQ(2, checked);
}

// Only a scope that ends at depth 0 closes an outermost call; one that an
// unbalanced decrease left ending at -1 writes no empty line.
TEST(LoggerOn, OnlyAScopeEndingAtDepthZeroWritesTheEmptyLine) {
    NewLines capture;
    {
        TraceScope scope(LOG_FACILITY_AMW, "unbalanced");
        EXPECT_EQ(0, Logger::instance().decreaseIndent());
    }
    EXPECT_EQ(0, Logger::instance().increaseIndent());
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Leaving unbalanced", parseAt(lines[1], 43).message);
}

TEST(LoggerOn, UnbalancedLeaveMovesColumnTo43) {
    NewLines capture;
    EXPECT_EQ(-1, Logger::instance().decreaseIndent());
    Logger::instance().log(LOG_FACILITY_AMW, L"left of the column");
    EXPECT_EQ(0, Logger::instance().increaseIndent());
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(1u, lines.size());
    const ParsedLine parsed = parseAt(lines[0], 43);
    ASSERT_TRUE(parsed.valid) << lines[0];
    EXPECT_EQ("left of the column", parsed.message);
}

std::vector<unsigned char> countingBytes(std::size_t n) {
    std::vector<unsigned char> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    return bytes;
}

std::string hexOf(const std::vector<unsigned char>& bytes, std::size_t from, std::size_t to) {
    std::string text;
    char piece[4];
    for (std::size_t i = from; i < to; ++i) {
        std::snprintf(piece, sizeof piece, " %02X", bytes[i]);
        text += piece;
    }
    return text;
}

TEST(LoggerOn, HexDumpOfSixteenBytesIsOneLine) {
    const std::vector<unsigned char> bytes = countingBytes(16);
    NewLines capture;
    Logger::instance().logHex(LOG_FACILITY_AMWFERRIX_APDU, L"send_buff = ", bytes.data(), bytes.size(), true);
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("send_buff = " + hexOf(bytes, 0, 16), parseAt(lines[0], columnFor(0)).message);
}

TEST(LoggerOn, HexDumpOfSeventeenBytesWrapsUnderTheFirstByte) {
    const std::vector<unsigned char> bytes = countingBytes(17);
    NewLines capture;
    {
        TraceScope scope(LOG_FACILITY_AMWFERRIX, "transmit");
        Logger::instance().logHex(LOG_FACILITY_AMWFERRIX_APDU, L"buffer = ", bytes.data(), bytes.size(),
                                  true);
    }
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(5u, lines.size());  // Entering, two dump lines, Leaving, empty line
    const ParsedLine first = parseAt(lines[1], columnFor(1));
    const ParsedLine second = parseAt(lines[2], columnFor(1));
    ASSERT_TRUE(first.valid) << lines[1];
    ASSERT_TRUE(second.valid) << lines[2];
    EXPECT_EQ("buffer = " + hexOf(bytes, 0, 16), first.message);
    EXPECT_EQ(std::string(9, ' ') + hexOf(bytes, 16, 17), second.message);
    // The first byte follows the label; a search for " 01" would also find
    // the hour of the timestamp between 01:00 and 01:59.
    const std::size_t firstByte = lines[1].find("buffer = ") + std::string("buffer = ").size();
    EXPECT_EQ(firstByte, lines[2].find(hexOf(bytes, 16, 17)));
}

TEST(LoggerOn, HexDumpWithoutWrapIsOneLine) {
    const std::vector<unsigned char> bytes = countingBytes(40);
    NewLines capture;
    Logger::instance().logHex(LOG_FACILITY_AMW, L"data = ", bytes.data(), bytes.size(), false);
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("data = " + hexOf(bytes, 0, 40), parseAt(lines[0], columnFor(0)).message);
}

TEST(LoggerOn, HexDumpOf6144BytesIsWrittenAnd6145IsNot) {
    const std::vector<unsigned char> bytes = countingBytes(6145);
    NewLines capture;
    Logger::instance().logHex(LOG_FACILITY_AMW, L"big = ", bytes.data(), 6144, true);
    Logger::instance().logHex(LOG_FACILITY_AMW, L"bigger = ", bytes.data(), 6145, true);
    Logger::instance().logHexAscii(LOG_FACILITY_AMW, L"ascii = ", bytes.data(), 6145);
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(6144u / 16 + 2, lines.size());
    std::string dumped;
    for (std::size_t i = 0; i < 6144 / 16; ++i) {
        const ParsedLine parsed = parseAt(lines[i], columnFor(0));
        ASSERT_TRUE(parsed.valid) << lines[i];
        dumped += parsed.message.substr(6);  // after the label or its blanks
    }
    EXPECT_EQ(hexOf(bytes, 0, 6144), dumped);
    EXPECT_EQ("bigger = extremely large buffer, not logged (len = 0x1801)",
              parseAt(lines[6144 / 16], columnFor(0)).message);
    EXPECT_EQ("ascii = extremely large buffer, not logged (len = 0x1801)",
              parseAt(lines[6144 / 16 + 1], columnFor(0)).message);
}

TEST(LoggerOn, HexDumpOfNullDataSaysNull) {
    NewLines capture;
    Logger::instance().logHex(LOG_FACILITY_AMW, L"pRandomData = ", nullptr, 12, true);
    Logger::instance().logHexAscii(LOG_FACILITY_AMW, L"pData = ", nullptr, 3);
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("pRandomData = NULL", parseAt(lines[0], columnFor(0)).message);
    EXPECT_EQ("pData = NULL", parseAt(lines[1], columnFor(0)).message);
}

TEST(LoggerOn, HexAsciiShowsPrintableBytesAndDotsForTheRest) {
    const unsigned char bytes[] = {'A', 'b', ' ', '~', 0x80, 0xFF, 0x00, '\n', 0x7F, '9'};
    NewLines capture;
    Logger::instance().logHexAscii(LOG_FACILITY_AMW, L"atr = ", bytes, sizeof bytes);
    Logger::instance().logHexAscii(LOG_FACILITY_AMW, L"empty = ", bytes, 0);
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("atr =  41 62 20 7E 80 FF 00 0A 7F 39 | Ab ~.....9", parseAt(lines[0], columnFor(0)).message);
    EXPECT_EQ("empty =  | ", parseAt(lines[1], columnFor(0)).message);
}

TEST(LoggerOn, ConcurrentLinesNeverInterleave) {
    NewLines capture;
    auto writer = [](wchar_t mark) {
        const std::wstring text(300, mark);
        for (int i = 0; i < 50; ++i) {
            Logger::instance().log(LOG_FACILITY_AMW, L"%ls", text.c_str());
        }
    };
    std::thread a(writer, L'a');
    std::thread b(writer, L'b');
    a.join();
    b.join();
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(100u, lines.size());
    for (const std::string& line : lines) {
        const ParsedLine parsed = parseAt(line, columnFor(0));
        ASSERT_TRUE(parsed.valid) << line;
        EXPECT_TRUE(parsed.message == std::string(300, 'a') || parsed.message == std::string(300, 'b'));
    }
}

// Entries far above the C library's stream buffer, from several threads and a
// second process at once: each must reach the file as one piece.
TEST(LoggerOn, LongEntriesOfThreadsAndProcessesNeverInterleave) {
    constexpr std::size_t LENGTH = 40 * 1024;
    constexpr int ENTRIES = 12;
    const char marks[] = {'a', 'b', 'c', 'd', 'p'};
    NewLines capture;
    auto writer = [](char mark) {
        const std::string text(LENGTH, mark);
        for (int i = 0; i < ENTRIES; ++i) {
            Logger::instance().log(LOG_FACILITY_AMW, L"%s", text.c_str());
        }
    };
    int go[2];
    ASSERT_EQ(0, ::pipe(go));
    const pid_t child = ::fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        char start = 0;
        ::close(go[1]);
        if (::read(go[0], &start, 1) == 1) writer('p');
        ::_exit(0);
    }
    ::close(go[0]);
    std::vector<std::thread> threads;
    for (char mark : {'a', 'b', 'c', 'd'}) threads.emplace_back(writer, mark);
    EXPECT_EQ(1, ::write(go[1], "g", 1));
    ::close(go[1]);
    for (std::thread& t : threads) t.join();
    int status = -1;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_EQ(0, status);

    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(static_cast<std::size_t>(ENTRIES) * sizeof marks, lines.size());
    std::map<char, int> perMark;
    for (const std::string& line : lines) {
        const ParsedLine parsed = parseAt(line, columnFor(0));
        ASSERT_TRUE(parsed.valid) << line.substr(0, 80);
        ASSERT_EQ(LENGTH, parsed.message.size()) << line.substr(0, 80);
        ASSERT_EQ(std::string(LENGTH, parsed.message[0]), parsed.message) << line.substr(0, 80);
        ++perMark[parsed.message[0]];
    }
    for (char mark : marks) EXPECT_EQ(ENTRIES, perMark[mark]) << mark;
}

TEST(ConfigurationSingleton, ReadsTheFileNamedByTheEnvironment) {
    const Configuration& c = Configuration::instance();
    EXPECT_EQ(&c, &Configuration::instance());
    EXPECT_TRUE(c.logEnabled);
    EXPECT_EQ(loggertest::logDirectory() + "/", c.logPath);
    EXPECT_EQ(3u, c.slotCount);
    const char* home = std::getenv("HOME");
    ASSERT_NE(nullptr, home);
    EXPECT_EQ(std::string(home) + "/.amwcache/", c.cacheDirectory);
    EXPECT_FALSE(c.disablePinPad);
}

// Runs first in its process (main() touches neither singleton): threads that
// race for the first use all get the one instance.
TEST(LoggerOffFirstUse, ConcurrentFirstUsersShareOneInstance) {
    constexpr int THREADS = 8;
    const Logger* loggers[THREADS] = {};
    const Configuration* configurations[THREADS] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < THREADS; ++i) {
        threads.emplace_back([i, &loggers, &configurations] {
            TraceScope scope(LOG_FACILITY_PKCS11, "C_Initialize");
            loggers[i] = &Logger::instance();
            configurations[i] = &Configuration::instance();
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (int i = 1; i < THREADS; ++i) {
        EXPECT_EQ(loggers[0], loggers[i]);
        EXPECT_EQ(configurations[0], configurations[i]);
    }
    EXPECT_EQ(&Logger::instance(), loggers[0]);
}

TEST(LoggerOff, CreatesNoFileWhateverTheLogPath) {
    Logger& logger = Logger::instance();
    EXPECT_FALSE(logger.isEnabled());
    EXPECT_EQ("", logger.getFileName());
    {
        TraceScope scope(LOG_FACILITY_PKCS11, "C_Initialize");
        logger.log(LOG_FACILITY_PKCS11, L"%s", "not written");
        const unsigned char bytes[] = {1, 2, 3};
        logger.logHex(LOG_FACILITY_PKCS11, L"x = ", bytes, sizeof bytes, true);
        logger.logHexAscii(LOG_FACILITY_PKCS11, L"x = ", bytes, sizeof bytes);
    }
    EXPECT_TRUE(fs::is_empty(loggertest::logDirectory()));
    EXPECT_FALSE(fs::exists("vxpkcs11-libcommon_logger_tests-0.log"));
    for (const auto& entry : fs::directory_iterator(fs::current_path())) {
        EXPECT_EQ(std::string::npos, entry.path().filename().string().find("vxpkcs11-"))
            << entry.path();
    }
}

}  // namespace
