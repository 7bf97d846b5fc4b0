#include "sessionbench.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace sessiontest {

std::unique_ptr<bench::Bench> SessionBench::bench_;
int SessionBench::imageCount_ = 0;

std::string cacheDirectory() { return (fs::path(workDirectory()) / "cache").string(); }

std::string traceLog() {
    std::stringstream all;
    for (const auto& entry : fs::directory_iterator(fs::path(workDirectory()) / "log")) {
        std::ifstream file(entry.path(), std::ios::binary);
        all << file.rdbuf();
    }
    return all.str();
}

std::string field(const CK_UTF8CHAR* bytes, std::size_t width) {
    return std::string(reinterpret_cast<const char*>(bytes), width);
}

void SessionBench::shutDown() { bench_.reset(); }

void SessionBench::SetUp() {
    if (!bench::Bench::toolsAvailable()) GTEST_SKIP() << "cardsim or libifdzentrik.so was not built";
    if (!bench_) bench_ = std::make_unique<bench::Bench>();
    p11()->C_Finalize(nullptr);
    for (CK_SLOT_ID slot : {PLAIN_SLOT, SECOND_PLAIN_SLOT, PINPAD_SLOT}) removeCard(slot);
}

void SessionBench::TearDown() {
    if (!bench_) return;
    p11()->C_Finalize(nullptr);
}

std::string SessionBench::readerOfSlot(CK_SLOT_ID slot) {
    bench::PcscClient client;
    return client.readers().at(slot);
}

std::string SessionBench::insertFreshCard(CK_SLOT_ID slot, const std::vector<std::string>& extra,
                                          const std::string& userPin) {
    std::vector<std::string> args = {"--user-pin", userPin, "--so-pin", SO_PIN};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string image =
        bench_->personalise("card" + std::to_string(++imageCount_) + ".img", args);
    insertCard(slot, image);
    return image;
}

void SessionBench::insertCard(CK_SLOT_ID slot, const std::string& image) {
    removeCard(slot);
    bench_->insert(readerOfSlot(slot), image);
}

void SessionBench::removeCard(CK_SLOT_ID slot) {
    const std::string reader = readerOfSlot(slot);
    if (bench_->cardPid(reader) >= 0) bench_->remove(reader);
}

bench::CardControl SessionBench::control(CK_SLOT_ID slot) {
    return bench_->control(readerOfSlot(slot));
}

CK_SESSION_HANDLE SessionBench::openSession(CK_SLOT_ID slot, CK_FLAGS flags) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(CKR_OK, p11()->C_OpenSession(slot, flags, nullptr, nullptr, &session));
    return session;
}

void SessionBench::startLoggedIn(CK_SESSION_HANDLE& session, const std::vector<std::string>& extra) {
    insertFreshCard(PLAIN_SLOT, extra);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
}

std::uint64_t SessionBench::commandsSent(CK_SLOT_ID slot) {
    std::uint64_t sum = 0;
    for (const auto& [ins, n] : control(slot).counters()) sum += n;
    return sum;
}

CK_RV SessionBench::login(CK_SESSION_HANDLE session, CK_USER_TYPE user, const std::string& pin) {
    std::string copy = pin;
    return p11()->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR_PTR>(copy.data()), copy.size());
}

CK_STATE SessionBench::sessionState(CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info{};
    EXPECT_EQ(CKR_OK, p11()->C_GetSessionInfo(session, &info));
    return info.state;
}

std::vector<std::uint8_t> SessionBench::currentSessionPin(CK_SLOT_ID slot, const std::string& pin) {
    bench::PcscClient client;
    bench::PcscCard card = client.connect(readerOfSlot(slot));
    EXPECT_EQ(0x9000, card.transmitSw(bench::fromHex("00A4040009F056584652010000 41")));
    bench::Bytes verify = bench::fromHex("8020010010");
    bench::Bytes field(16, 0);
    std::copy(pin.begin(), pin.end(), field.begin());
    verify.insert(verify.end(), field.begin(), field.end());
    EXPECT_EQ(0x9000, card.transmitSw(verify));
    bench::Bytes answer = card.transmit(bench::fromHex("802E010008"));
    EXPECT_EQ(0x9000, bench::PcscCard::statusWord(answer));
    card.transmitSw(bench::fromHex("8022010000"));
    answer.resize(answer.size() >= 2 ? answer.size() - 2 : 0);
    return answer;
}

}  // namespace sessiontest
