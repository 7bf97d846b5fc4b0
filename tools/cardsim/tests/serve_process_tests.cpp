// `cardsim serve` as a reader driver meets it: the test listens where a vpcd
// reader would, the program connects as the card, and the frames (2-byte
// big-endian length, payload; a 1-byte payload is a reader control) are
// written here by hand. SIGTERM takes the card out: the connection closes and
// the program ends with status 0, leaving a loadable image.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "cardsim/cardimage.h"
#include "cardtest.h"

extern char** environ;

namespace cardsim::test {
namespace {

using namespace std::chrono_literals;

// The serving process; killed by its PID if a test ends before it did.
class ServeProcess {
public:
    ServeProcess(const std::string& image, std::uint16_t port) {
        const std::string portText = std::to_string(port);
        const char* argv[] = {CARDSIM_BINARY, "serve", image.c_str(), "--port", portText.c_str(), nullptr};
        if (::posix_spawn(&pid_, CARDSIM_BINARY, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
    }
    ~ServeProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    // Exit status after `timeout`, or -1 when it has not ended (or not normally).
    int waitExit(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() >= deadline) return -1;
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool readable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

bool sendFrame(int fd, const Bytes& payload) {
    Bytes frame{static_cast<std::uint8_t>(payload.size() >> 8), static_cast<std::uint8_t>(payload.size() & 0xFF)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}

bool readExact(int fd, std::uint8_t* out, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        if (!readable(fd, 10s)) return false;
        ssize_t n = ::recv(fd, out + got, count - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// One answer frame; an empty optional when the card side closed or stayed silent.
std::optional<Bytes> readFrame(int fd) {
    std::uint8_t head[2];
    if (!readExact(fd, head, 2)) return std::nullopt;
    Bytes payload(static_cast<std::size_t>(head[0] << 8 | head[1]));
    if (!payload.empty() && !readExact(fd, payload.data(), payload.size())) return std::nullopt;
    return payload;
}

std::string roundTrip(int fd, const std::string& apdu) {
    if (!sendFrame(fd, hex(apdu))) return "send failed";
    auto answer = readFrame(fd);
    return answer ? swOf(*answer) : "no answer";
}

class ServeProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = dir.file("card.img");
        saveCardImage(image, personalise(testPersonalisation()));
        listener = std::make_unique<Fd>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_LE(0, listener->get());
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(0, ::bind(listener->get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        ASSERT_EQ(0, ::listen(listener->get(), 1));
        socklen_t length = sizeof addr;
        ASSERT_EQ(0, ::getsockname(listener->get(), reinterpret_cast<sockaddr*>(&addr), &length));
        port = ntohs(addr.sin_port);
    }

    // Starts the card and accepts its connection, as the reader does.
    void insert() {
        serve = std::make_unique<ServeProcess>(image, port);
        ASSERT_LT(0, serve->pid());
        ASSERT_TRUE(readable(listener->get(), 10s)) << "cardsim serve did not connect";
        card = std::make_unique<Fd>(::accept4(listener->get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_LE(0, card->get());
    }

    TempDir dir;
    std::string image;
    std::unique_ptr<Fd> listener;
    std::uint16_t port = 0;
    std::unique_ptr<ServeProcess> serve;
    std::unique_ptr<Fd> card;
};

TEST_F(ServeProcessTest, PowerAtrResetAndApdusFollowTheReaderFrames) {
    insert();
    const int fd = card->get();
    const Bytes expectedAtr = CardEngine::fromState(personalise(testPersonalisation()))->atr();
    ASSERT_TRUE(sendFrame(fd, {0x01}));  // power on: no answer frame
    ASSERT_TRUE(sendFrame(fd, {0x04}));
    auto atr = readFrame(fd);
    ASSERT_TRUE(atr.has_value());
    EXPECT_EQ(toHex(expectedAtr), toHex(*atr));

    EXPECT_EQ("6D00", roundTrip(fd, "80 02 00 00 02"));
    EXPECT_EQ("9000", roundTrip(fd, "00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"));
    EXPECT_EQ("9000", roundTrip(fd, "80 20 01 00 10" + pinField("1234")));
    ASSERT_TRUE(sendFrame(fd, hex("80 50 00 00 01")));
    auto state = readFrame(fd);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ("029000", toHex(*state));

    // A reset answers nothing by itself, gives the ATR again and drops the selection.
    ASSERT_TRUE(sendFrame(fd, {0x02}));
    ASSERT_TRUE(sendFrame(fd, {0x04}));
    atr = readFrame(fd);
    ASSERT_TRUE(atr.has_value());
    EXPECT_EQ(toHex(expectedAtr), toHex(*atr));
    EXPECT_EQ("6D00", roundTrip(fd, "80 02 00 00 02"));

    // Without power the card answers 6F00 and changes nothing.
    ASSERT_TRUE(sendFrame(fd, {0x00}));
    EXPECT_EQ("6F00", roundTrip(fd, "00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"));
}

TEST_F(ServeProcessTest, SigtermRemovesTheCardAndExitsWithStatusZero) {
    insert();
    const int fd = card->get();
    ASSERT_TRUE(sendFrame(fd, {0x01}));
    EXPECT_EQ("9000", roundTrip(fd, "00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"));
    EXPECT_EQ("9000", roundTrip(fd, "80 20 01 00 10" + pinField("1234")));
    EXPECT_EQ("9000", roundTrip(fd, "80 0E 00 00 03 01 02 03"));
    const std::string before = readFile(image);

    ASSERT_EQ(0, ::kill(serve->pid(), SIGTERM));
    EXPECT_EQ(0, serve->waitExit(5s));
    // The reader sees the connection end: that is the removal.
    ASSERT_TRUE(readable(fd, 5s));
    std::uint8_t byte = 0;
    EXPECT_EQ(0, ::recv(fd, &byte, 1, 0));
    EXPECT_EQ(before, readFile(image));
    EXPECT_EQ("010203", toHex(*parseCardImage(before).freshness));
}

TEST_F(ServeProcessTest, EmptyAndUnknownFramesLeaveTheCardAnswering) {
    insert();
    const int fd = card->get();
    ASSERT_TRUE(sendFrame(fd, {0x01}));
    ASSERT_TRUE(sendFrame(fd, {}));      // empty frame: nothing to do
    ASSERT_TRUE(sendFrame(fd, {0x7E}));  // reader control nobody defined
    EXPECT_EQ("6700", roundTrip(fd, "80 02 00"));
    EXPECT_EQ("9000", roundTrip(fd, "00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"));
    EXPECT_EQ("9000", roundTrip(fd, "80 02 00 00 02"));
}

}  // namespace
}  // namespace cardsim::test
