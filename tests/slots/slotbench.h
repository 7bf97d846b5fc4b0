// Shared set-up of the slot suites: the built module loaded with dlopen, one
// private pcscd for the whole process (pcsc-lite reads its socket path once
// per process) with two vpcd readers and a pin-pad reader of our own driver,
// one personalised card image, and helpers for the Cryptoki calls.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "cryptoki.h"
#include "loadedmodule.h"

namespace slottest {

inline CK_FUNCTION_LIST_PTR p11() { return LoadedModule::instance().list(); }

constexpr const char* PINPAD_READER = "Zentrik PinPad";
// The module-specific slot flag of a slot without a reader.
constexpr CK_FLAGS SLOT_FLAG_NO_READER = 0x1000;
constexpr CK_FLAGS ALWAYS_SET = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;

// The reader set every test starts from.
bench::BenchConfig defaultReaders();
// `count` readers: the two vpcd readers and plain readers of our driver.
bench::BenchConfig plainReaders(std::size_t count, const std::string& prefix = "Zentrik Plain");

// What the process was started with (see slots_main.cpp): the pkcs11.slots
// value written into its configuration, if any.
bool slotSettingGiven();
long slotSetting();
// The directory of the process's configuration and trace log.
const std::string& workDirectory();
// All trace log text the module has written so far.
std::string traceLog();

std::string blankPadded(const std::string& text, std::size_t width);
std::string field(const CK_UTF8CHAR* bytes, std::size_t width);

struct SlotEvent {
    CK_RV rv;
    CK_SLOT_ID slot;
};

class SlotBench : public ::testing::Test {
public:
    // Stops the process's pcscd and cards; called once at the end of main.
    static void shutDown();

protected:
    void SetUp() override;
    void TearDown() override;

    static bench::Bench& theBench() { return *bench_; }
    // PC/SC names of the readers in the service's list order.
    static std::vector<std::string> listedReaders();
    static std::string readerNamed(const std::string& prefix);
    static const std::string& image() { return image_; }

    // Inserts the card unless one is there; removes it unless there is none.
    void ensureCard(const std::string& reader);
    void ensureNoCard(const std::string& reader);
    // Changes the reader set; the default set comes back in TearDown.
    void restartWith(const bench::BenchConfig& config);

    CK_SLOT_INFO slotInfo(CK_SLOT_ID slot);
    std::vector<CK_SLOT_ID> slotList();
    // A blocking C_WaitForSlotEvent on another thread, so that a module that
    // never reports fails the test instead of hanging it: after `limit` the
    // module is finalised to wake the wait.
    SlotEvent waitForEvent(std::chrono::milliseconds limit);
    // The same in two steps, for a test that acts while the wait blocks.
    std::future<SlotEvent> startWaiting();
    SlotEvent finishWaiting(std::future<SlotEvent>& pending, std::chrono::milliseconds limit);
    // Takes every event that is already pending; returns their slots.
    std::vector<CK_SLOT_ID> drainEvents();

private:
    static std::unique_ptr<bench::Bench> bench_;
    static std::string image_;
    bool readersChanged_ = false;
};

}  // namespace slottest
