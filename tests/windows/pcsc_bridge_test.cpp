// winscard as the Windows build sees it under Wine with the bridge, against a
// private pcscd with vpcd readers (see run-with-pcscd.sh). The expected reader
// names come from the script that configured pcscd.
#include <windows.h>
#include <winscard.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> splitMultiString(const wchar_t* text, DWORD length) {
    std::vector<std::wstring> names;
    DWORD offset = 0;
    while (offset < length && text[offset] != L'\0') {
        std::wstring name(text + offset);
        offset += static_cast<DWORD>(name.size()) + 1;
        names.push_back(name);
    }
    return names;
}

// ZENTRIK_BENCH_READERS: the reader names separated by '|', plain ASCII.
std::vector<std::wstring> expectedReaders() {
    std::vector<std::wstring> names;
    const char* list = std::getenv("ZENTRIK_BENCH_READERS");
    if (list == nullptr) {
        return names;
    }
    std::stringstream stream(list);
    std::string name;
    while (std::getline(stream, name, '|')) {
        names.emplace_back(name.begin(), name.end());
    }
    return names;
}

class WinScardBridge : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("ZENTRIK_BENCH_READERS") == nullptr) {
            GTEST_SKIP() << "needs the private pcscd of run-with-pcscd.sh";
        }
        ASSERT_EQ(SCARD_S_SUCCESS,
                  SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context));
    }
    void TearDown() override {
        if (context != 0) {
            EXPECT_EQ(SCARD_S_SUCCESS, SCardReleaseContext(context));
        }
    }

    SCARDCONTEXT context = 0;
};

TEST_F(WinScardBridge, ContextIsValidUntilReleased) {
    EXPECT_EQ(SCARD_S_SUCCESS, SCardIsValidContext(context));
}

TEST_F(WinScardBridge, ListReadersWideWithAutoAllocateNamesTheBenchReaders) {
    wchar_t* names = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(SCARD_S_SUCCESS,
              SCardListReadersW(context, nullptr, reinterpret_cast<wchar_t*>(&names), &length));
    ASSERT_NE(nullptr, names);
    EXPECT_EQ(expectedReaders(), splitMultiString(names, length));
    EXPECT_EQ(SCARD_S_SUCCESS, SCardFreeMemory(context, names));
}

TEST_F(WinScardBridge, ListReadersReportsTheLengthAndRefusesASmallBuffer) {
    DWORD needed = 0;
    ASSERT_EQ(SCARD_S_SUCCESS, SCardListReadersW(context, nullptr, nullptr, &needed));
    std::size_t expectedLength = 1;  // the final empty string
    for (const std::wstring& name : expectedReaders()) {
        expectedLength += name.size() + 1;
    }
    EXPECT_EQ(expectedLength, needed);

    std::vector<wchar_t> small(needed - 1);
    DWORD smallLength = static_cast<DWORD>(small.size());
    EXPECT_EQ(static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER),
              SCardListReadersW(context, nullptr, small.data(), &smallLength));

    std::vector<wchar_t> exact(needed);
    DWORD exactLength = needed;
    ASSERT_EQ(SCARD_S_SUCCESS, SCardListReadersW(context, nullptr, exact.data(), &exactLength));
    EXPECT_EQ(expectedReaders(), splitMultiString(exact.data(), exactLength));
}

TEST_F(WinScardBridge, StatusChangeReportsEmptyReadersWithoutACard) {
    std::vector<std::wstring> readers = expectedReaders();
    ASSERT_FALSE(readers.empty());
    std::vector<SCARD_READERSTATEW> states(readers.size());
    for (std::size_t i = 0; i < readers.size(); ++i) {
        states[i] = SCARD_READERSTATEW{};
        states[i].szReader = readers[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    ASSERT_EQ(SCARD_S_SUCCESS, SCardGetStatusChangeW(context, 0, states.data(),
                                                     static_cast<DWORD>(states.size())));
    for (const SCARD_READERSTATEW& state : states) {
        EXPECT_EQ(static_cast<DWORD>(SCARD_STATE_EMPTY), state.dwEventState & SCARD_STATE_EMPTY);
        EXPECT_EQ(0u, state.dwEventState & SCARD_STATE_PRESENT);
        EXPECT_EQ(0u, state.cbAtr);
    }
}

TEST_F(WinScardBridge, StatusChangeTimesOutWhenNothingChanges) {
    std::vector<std::wstring> readers = expectedReaders();
    ASSERT_FALSE(readers.empty());
    SCARD_READERSTATEW state{};
    state.szReader = readers.front().c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    ASSERT_EQ(SCARD_S_SUCCESS, SCardGetStatusChangeW(context, 0, &state, 1));
    state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    EXPECT_EQ(static_cast<LONG>(SCARD_E_TIMEOUT), SCardGetStatusChangeW(context, 50, &state, 1));
}

TEST_F(WinScardBridge, ConnectingToAnEmptyReaderReportsNoCard) {
    std::vector<std::wstring> readers = expectedReaders();
    ASSERT_FALSE(readers.empty());
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    EXPECT_EQ(static_cast<LONG>(SCARD_E_NO_SMARTCARD),
              SCardConnectW(context, readers.front().c_str(), SCARD_SHARE_SHARED,
                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol));
    EXPECT_EQ(0u, card);
}

TEST_F(WinScardBridge, UnknownReaderIsRefused) {
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    EXPECT_EQ(static_cast<LONG>(SCARD_E_UNKNOWN_READER),
              SCardConnectW(context, L"No Such Reader 00 00", SCARD_SHARE_SHARED,
                            SCARD_PROTOCOL_T1, &card, &protocol));
}

}  // namespace
