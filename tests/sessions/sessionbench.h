// Shared set-up of the session suites: the built module loaded with dlopen,
// one private pcscd for the whole process with the two vpcd readers and a
// pin-pad reader of our own driver, freshly personalised cards for tests that
// change a card, and helpers for the Cryptoki calls.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "cryptoki.h"
#include "loadedmodule.h"

namespace sessiontest {

inline CK_FUNCTION_LIST_PTR p11() { return LoadedModule::instance().list(); }

constexpr const char* USER_PIN = "zq4711";
constexpr const char* SO_PIN = "SoPin#91";
// Keypads type digits only.
constexpr const char* KEYPAD_PIN = "246810";
// Slots of the default reader set, in the service's list order.
constexpr CK_SLOT_ID PLAIN_SLOT = 0;
constexpr CK_SLOT_ID SECOND_PLAIN_SLOT = 1;
constexpr CK_SLOT_ID PINPAD_SLOT = 2;
constexpr CK_SLOT_ID SLOT_WITHOUT_READER = 3;

// The process's variant (see sessions_main.cpp): "", "nocache" or "nopinpad".
const std::string& variant();
// The directory of the process's configuration, trace log and cache.
const std::string& workDirectory();
std::string cacheDirectory();
// All trace log text the module has written so far.
std::string traceLog();
std::string field(const CK_UTF8CHAR* bytes, std::size_t width);

class SessionBench : public ::testing::Test {
public:
    static void shutDown();

protected:
    void SetUp() override;
    void TearDown() override;

    static bench::Bench& theBench() { return *bench_; }
    static std::string readerOfSlot(CK_SLOT_ID slot);

    // A new card image, personalised with the suite's PINs and `extra`
    // arguments, put into the slot's reader (replacing any card there).
    std::string insertFreshCard(CK_SLOT_ID slot, const std::vector<std::string>& extra = {},
                                const std::string& userPin = USER_PIN);
    void insertCard(CK_SLOT_ID slot, const std::string& image);
    void removeCard(CK_SLOT_ID slot);
    bench::CardControl control(CK_SLOT_ID slot);

    CK_SESSION_HANDLE openSession(CK_SLOT_ID slot, CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION);
    // Where most scenarios start: a fresh card (personalised with `extra`) in
    // the plain slot, the module initialised, and `session` a read/write
    // session logged in as the user.
    void startLoggedIn(CK_SESSION_HANDLE& session, const std::vector<std::string>& extra = {});
    // The commands the slot's card received since its statistics were cleared.
    std::uint64_t commandsSent(CK_SLOT_ID slot);
    CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, const std::string& pin);
    CK_STATE sessionState(CK_SESSION_HANDLE session);
    // The 8-byte session PIN the card hands out for the user role while one
    // is valid (a second client asks with the user PIN).
    std::vector<std::uint8_t> currentSessionPin(CK_SLOT_ID slot, const std::string& pin);

private:
    static std::unique_ptr<bench::Bench> bench_;
    static int imageCount_;
};

// A fixture whose every test starts logged in (startLoggedIn).
class LoggedInBench : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (!IsSkipped()) startLoggedIn(session);
    }
    CK_SESSION_HANDLE session = 0;
};

}  // namespace sessiontest
