#include <gtest/gtest.h>

#include <functional>

#include "ctl/ctlexception.h"
#include "ctl/pcscreader.h"
#include "fakepcscapi.h"
#include "logcapture.h"

namespace ctl {
namespace {

using testing::FakePcScApi;
using testing::LogCapture;
using testing::StatusAnswer;

std::uint32_t errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CtlException& e) {
        return e.error;
    }
    return 0;
}

TEST(PcScReader, ListKeepsTheServiceOrderOnTheSharedContext) {
    FakePcScApi api;
    api.readers = {L"Zeta", L"Alpha", L"", L"Mid"};
    ScopedPcScApi scoped(api);
    LogCapture log;
    const auto readers = PcScReader::list();
    ASSERT_EQ(3u, readers.size());
    EXPECT_EQ(std::wstring(L"Zeta"), readers[0].getName());
    EXPECT_EQ(std::wstring(L"Alpha"), readers[1].getName());
    EXPECT_EQ(std::wstring(L"Mid"), readers[2].getName());
    EXPECT_EQ(1, api.openContexts) << "kept for the next listing";
    PcScReader::releaseSharedContext();
    EXPECT_EQ(0, api.openContexts);
    EXPECT_TRUE(log.contains("reader_name = Alpha")) << log.text();
    EXPECT_TRUE(log.contains(
        "SCardListReadersW(context, NULL, reinterpret_cast<wchar_t *>(&buf), &buf_len) return value: "
        "0x00000000"));
}

TEST(PcScReader, NoReadersIsAnEmptyListAndNoCard) {
    FakePcScApi api;
    api.listResult = PcScResult::NO_READERS_AVAILABLE;
    api.statusChangeAnswers.push_back(StatusAnswer{PcScResult::NO_READERS_AVAILABLE, {}});
    ScopedPcScApi scoped(api);
    EXPECT_TRUE(PcScReader::list().empty());
    EXPECT_FALSE(PcScReader(L"Gone").isCardPresent());
    EXPECT_EQ(1, api.openContexts) << "one context for both";
}

TEST(PcScReader, OtherListFailuresThrow) {
    FakePcScApi api;
    api.listResult = 0x8010001D;
    ScopedPcScApi scoped(api);
    EXPECT_EQ(0x8010001Du, errorOf([] { PcScReader::list(); }));
    EXPECT_EQ(0, api.openContexts);
}

// A restarted service forgets the contexts of its clients: the shared
// context is made anew and the call repeated once.
TEST(PcScReader, ContextTheServiceForgotIsMadeAnew) {
    FakePcScApi api;
    api.readers = {L"A"};
    ScopedPcScApi scoped(api);
    ASSERT_EQ(1u, PcScReader::list().size());
    api.statusChangeAnswers.push_back(StatusAnswer{0x80100003, {}});
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", 0x22}}});
    EXPECT_TRUE(PcScReader(L"A").isCardPresent());
    EXPECT_EQ(1, api.openContexts);
}

TEST(PcScReader, ContextFailureThrows) {
    FakePcScApi api;
    api.establishResult = 0x8010001D;
    ScopedPcScApi scoped(api);
    EXPECT_EQ(0x8010001Du, errorOf([] { PcScReader::list(); }));
    EXPECT_EQ(0x8010001Du, errorOf([] { PcScReader(L"A").isCardPresent(); }));
}

TEST(PcScReader, CardPresenceIsThePresentBit) {
    FakePcScApi api;
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", 0x22}}});
    api.statusChangeAnswers.push_back(StatusAnswer{0, {{L"A", 0x12}}});
    api.statusChangeAnswers.push_back(StatusAnswer{0x80100009, {}});
    ScopedPcScApi scoped(api);
    const PcScReader reader(L"A");
    EXPECT_TRUE(reader.isCardPresent());
    EXPECT_FALSE(reader.isCardPresent());
    EXPECT_EQ(0x80100009u, errorOf([&] { reader.isCardPresent(); }));
    EXPECT_EQ(1u, api.statusChangeTimeouts.at(0));
    EXPECT_EQ(1, api.openContexts) << "the three checks share one context";
}

TEST(PcScReader, CopiesOwnTheirName) {
    std::wstring name = L"Reader";
    PcScReader original(name);
    name[0] = L'X';
    PcScReader copy = original;
    EXPECT_EQ(std::wstring(L"Reader"), copy.getName());
    EXPECT_NE(original.getName(), copy.getName());
}

}  // namespace
}  // namespace ctl
