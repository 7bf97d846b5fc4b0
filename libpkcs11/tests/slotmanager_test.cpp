// The slot table and the slot event wait over an in-process PC/SC service,
// for what the real pcscd cannot be made to do on demand: refuse a context,
// fail a status wait with an unexpected code, refuse a cancel, report a card
// at the very moment C_Finalize runs, or offer reader names longer than a
// slot description. Everything else is tested through the real pcscd
// (tests/slots).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "ctl/pcscapi.h"
#include "internal/slotmanager.h"
#include "p11functions.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t STATE_EMPTY = 0x0010;

// Answers the calls of the slot manager and the reader event listener; every
// other call fails.
class FakeService : public ctl::PcScApi {
public:
    std::uint32_t establishResult = 0;
    std::vector<std::wstring> readers;
    // Reader lists answered before `readers`, one per listing.
    std::deque<std::vector<std::wstring>> listings;
    std::set<std::wstring> cards;
    std::uint32_t cancelResult = 0;
    // Set to report, on the next status wait, that the number of readers
    // changed (the service's plug-and-play notification).
    bool readersChanged = false;
    // Runs in place of blocking in a status wait with no change to report;
    // its result is the wait's result. Without it the wait blocks until
    // cancelled.
    std::function<std::uint32_t()> onBlockingWait;

    std::uint32_t establishContext(ctl::PcScContext* context) override {
        *context = 1;
        return establishResult;
    }
    std::uint32_t releaseContext(ctl::PcScContext) override { return 0; }
    std::uint32_t listReaders(ctl::PcScContext, std::vector<std::wstring>& names) override {
        names = readers;
        if (!listings.empty()) {
            names = listings.front();
            listings.pop_front();
        }
        return names.empty() ? ctl::PcScResult::NO_READERS_AVAILABLE : 0;
    }
    std::uint32_t getStatusChange(ctl::PcScContext, std::uint32_t timeout, ctl::PcScReaderState* states,
                                  std::size_t count) override {
        bool changed = false;
        for (std::size_t i = 0; i < count; ++i) {
            ctl::PcScReaderState& s = states[i];
            if (s.readerName == ctl::PNP_NOTIFICATION_READER) {
                s.eventState = s.currentState & ~ctl::PcScState::CHANGED;
                if (readersChanged) {
                    s.eventState |= ctl::PcScState::CHANGED;
                    readersChanged = false;
                    changed = true;
                }
                continue;
            }
            s.eventState = cards.count(s.readerName) != 0 ? ctl::PcScState::PRESENT : STATE_EMPTY;
            if ((s.eventState & ~ctl::PcScState::CHANGED) != (s.currentState & ~ctl::PcScState::CHANGED)) {
                s.eventState |= ctl::PcScState::CHANGED;
                changed = true;
            }
        }
        if (changed) return 0;
        if (timeout == 0) return ctl::PcScResult::TIMEOUT;
        if (onBlockingWait) return onBlockingWait();
        std::unique_lock<std::mutex> lock(mutex);
        ++blockedWaits;
        woken.notify_all();
        woken.wait(lock, [this] { return cancelled; });
        cancelled = false;
        return ctl::PcScResult::CANCELLED;
    }
    std::uint32_t cancel(ctl::PcScContext) override {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
        woken.notify_all();
        return cancelResult;
    }
    // Until a wait blocks in the service.
    void awaitBlockedWait() {
        std::unique_lock<std::mutex> lock(mutex);
        woken.wait_for(lock, 5s, [this] { return blockedWaits > 0; });
    }

    std::uint32_t connect(ctl::PcScContext, const std::wstring&, std::uint32_t, std::uint32_t, ctl::PcScHandle*,
                          std::uint32_t*) override {
        return FAILURE;
    }
    std::uint32_t status(ctl::PcScHandle, std::uint32_t*, std::uint32_t*, std::uint8_t*, std::uint32_t*) override {
        return FAILURE;
    }
    std::uint32_t beginTransaction(ctl::PcScHandle) override { return FAILURE; }
    std::uint32_t endTransaction(ctl::PcScHandle, std::uint32_t) override { return FAILURE; }
    std::uint32_t disconnect(ctl::PcScHandle, std::uint32_t) override { return FAILURE; }
    std::uint32_t transmit(ctl::PcScHandle, bool, const std::uint8_t*, std::uint32_t, std::uint8_t*,
                           std::uint32_t*) override {
        return FAILURE;
    }
    std::uint32_t control(ctl::PcScHandle, std::uint32_t, const std::uint8_t*, std::uint32_t, std::uint8_t*,
                          std::uint32_t, std::uint32_t*) override {
        return FAILURE;
    }
    std::uint32_t featureRequestControlCode() const override { return 0; }
    bool isServiceStopped(std::uint32_t) const override { return false; }
    bool isServiceUnavailable(std::uint32_t) const override { return false; }
    std::uint32_t waitForServiceStart(unsigned, const std::atomic<bool>&) override { return FAILURE; }

private:
    static constexpr std::uint32_t FAILURE = 0x80100001;
    std::mutex mutex;
    std::condition_variable woken;
    bool cancelled = false;
    int blockedWaits = 0;
};

// Runs `action` at the slot manager's wait points for the lifetime of the
// object, on whichever thread reaches them.
class ScopedWaitHook {
public:
    explicit ScopedWaitHook(std::function<void(SlotManager::WaitPoint)> action) {
        current() = std::move(action);
        SlotManager::setWaitHook(&forward);
    }
    ~ScopedWaitHook() {
        SlotManager::setWaitHook(nullptr);
        current() = nullptr;
    }
    ScopedWaitHook(const ScopedWaitHook&) = delete;
    ScopedWaitHook& operator=(const ScopedWaitHook&) = delete;

private:
    static std::function<void(SlotManager::WaitPoint)>& current() {
        static std::function<void(SlotManager::WaitPoint)> action;
        return action;
    }
    static void forward(SlotManager::WaitPoint point) { current()(point); }
};

std::string slotDescription(CK_SLOT_ID id) {
    CK_SLOT_INFO info;
    if (C_GetSlotInfo(id, &info) != CKR_OK) return "(no slot)";
    std::string text(reinterpret_cast<const char*>(info.slotDescription), 64);
    return text.substr(0, text.find_last_not_of(' ') + 1);
}

class SlotManagerOverFakeService : public ::testing::Test {
protected:
    void SetUp() override { C_Finalize(nullptr); }
    void TearDown() override {
        service.cancelResult = 0;
        C_Finalize(nullptr);
    }

    CK_ULONG slotCount() {
        CK_ULONG count = 0;
        EXPECT_EQ(CKR_OK, C_GetSlotList(CK_FALSE, nullptr, &count));
        return count;
    }

    FakeService service;
    ctl::ScopedPcScApi installed{service};
};

TEST_F(SlotManagerOverFakeService, ServiceRefusingAContextIsADeviceErrorAndLeavesTheModuleUninitialised) {
    service.establishResult = ctl::PcScResult::NO_SERVICE;
    EXPECT_EQ(CKR_DEVICE_ERROR, C_Initialize(nullptr));
    CK_ULONG count = 0;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetSlotList(CK_FALSE, nullptr, &count));
    service.establishResult = 0;
    EXPECT_EQ(CKR_OK, C_Initialize(nullptr));
}

TEST_F(SlotManagerOverFakeService, NoReadersGiveTheConfiguredNumberOfEmptySlots) {
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    ASSERT_EQ(6u, slotCount());
    CK_SLOT_INFO info;
    ASSERT_EQ(CKR_OK, C_GetSlotInfo(0, &info));
    EXPECT_EQ(std::string("empty") + std::string(59, ' '),
              std::string(reinterpret_cast<const char*>(info.slotDescription), 64));
    EXPECT_EQ(CK_FLAGS{0x1006}, info.flags);
}

TEST_F(SlotManagerOverFakeService, LongReaderNamesAreCutWithoutSplittingACharacter) {
    // 63 ASCII bytes, then a two-byte character that does not fit, then more.
    const std::wstring longName = std::wstring(63, L'R') + L"\u00e9tage 00 00";
    const std::wstring exactName = std::wstring(62, L'S') + L"\u00e9";
    service.readers = {longName, exactName};
    service.cards = {longName};
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    CK_SLOT_INFO info;
    ASSERT_EQ(CKR_OK, C_GetSlotInfo(0, &info));
    EXPECT_EQ(std::string(63, 'R') + " ", std::string(reinterpret_cast<const char*>(info.slotDescription), 64));
    EXPECT_EQ(CK_FLAGS{0x7}, info.flags);
    ASSERT_EQ(CKR_OK, C_GetSlotInfo(1, &info));
    EXPECT_EQ(std::string(62, 'S') + "\xC3\xA9", std::string(reinterpret_cast<const char*>(info.slotDescription), 64));
    EXPECT_EQ(CK_FLAGS{0x6}, info.flags);
}

TEST_F(SlotManagerOverFakeService, UnexpectedFailureOfTheStatusWaitIsADeviceError) {
    service.readers = {L"Reader A"};
    service.onBlockingWait = [] { return std::uint32_t{0x80100014}; };
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    CK_SLOT_ID slot = 0xFFFF;
    EXPECT_EQ(CKR_NO_EVENT, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_EQ(CKR_DEVICE_ERROR, C_WaitForSlotEvent(0, &slot, nullptr));
    EXPECT_EQ(CK_SLOT_ID{0xFFFF}, slot);
    // The module stays usable.
    EXPECT_EQ(6u, slotCount());
}

TEST_F(SlotManagerOverFakeService, CardReportedWhileFinalizeRunsIsNotReportedAsAnEvent) {
    service.readers = {L"Reader A"};
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    CK_SLOT_ID slot = 0xFFFF;
    ASSERT_EQ(CKR_NO_EVENT, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    // The waiter is inside the service when C_Finalize (from another thread,
    // modelled here by the service itself) tears the table down; the service
    // then reports a card.
    service.onBlockingWait = [this] {
        EXPECT_EQ(CKR_OK, C_Finalize(nullptr));
        service.cards = {L"Reader A"};
        return std::uint32_t{0};
    };
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, C_WaitForSlotEvent(0, &slot, nullptr));
    EXPECT_EQ(CK_SLOT_ID{0xFFFF}, slot);
    CK_ULONG count = 0;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, C_GetSlotList(CK_FALSE, nullptr, &count));
}

TEST_F(SlotManagerOverFakeService, FinalizeSucceedsWhenTheListenerCannotBeCancelled) {
    service.readers = {L"Reader A"};
    service.cancelResult = ctl::PcScResult::NO_SERVICE;
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ(CKR_OK, C_Finalize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, C_Finalize(nullptr));
    service.cancelResult = 0;
    EXPECT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ(6u, slotCount());
}

TEST_F(SlotManagerOverFakeService, ReaderConnectedAgainLandsInTheLowestEmptySlot) {
    service.readers = {L"Reader A", L"Reader B", L"Reader C"};
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    CK_SLOT_ID slot = 0xFFFF;
    ASSERT_EQ(CKR_NO_EVENT, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));

    // A and B go away: their slots 0 and 1 are reported and emptied.
    service.readers = {L"Reader C"};
    service.readersChanged = true;
    ASSERT_EQ(CKR_OK, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_EQ(CK_SLOT_ID{0}, slot);
    ASSERT_EQ(CKR_OK, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_EQ(CK_SLOT_ID{1}, slot);

    // B comes back alone and takes slot 0, not its old slot 1.
    service.readers = {L"Reader C", L"Reader B"};
    service.readersChanged = true;
    ASSERT_EQ(CKR_OK, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_EQ(CK_SLOT_ID{0}, slot);
    EXPECT_EQ(CKR_NO_EVENT, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));

    CK_SLOT_INFO info;
    ASSERT_EQ(CKR_OK, C_GetSlotInfo(0, &info));
    EXPECT_EQ(std::string("Reader B"), std::string(reinterpret_cast<const char*>(info.slotDescription), 8));
    EXPECT_EQ(CK_FLAGS{CKF_REMOVABLE_DEVICE | CKF_HW_SLOT}, info.flags);
    ASSERT_EQ(CKR_OK, C_GetSlotInfo(1, &info));
    EXPECT_EQ(std::string("empty   "), std::string(reinterpret_cast<const char*>(info.slotDescription), 8));
    EXPECT_EQ(CK_FLAGS{CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | 0x1000}, info.flags);
    ASSERT_EQ(CKR_OK, C_GetSlotInfo(2, &info));
    EXPECT_EQ(std::string("Reader C"), std::string(reinterpret_cast<const char*>(info.slotDescription), 8));
}

TEST_F(SlotManagerOverFakeService, NonBlockingWaitDoesNotQueueBehindABlockedWaiter) {
    service.readers = {L"Reader A"};
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    auto blocked = std::async(std::launch::async, [] {
        CK_SLOT_ID slot;
        return C_WaitForSlotEvent(0, &slot, nullptr);
    });
    service.awaitBlockedWait();
    const auto start = std::chrono::steady_clock::now();
    CK_SLOT_ID slot = 0xFFFF;
    EXPECT_EQ(CKR_NO_EVENT, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(CKR_OK, C_Finalize(nullptr));
    ASSERT_EQ(std::future_status::ready, blocked.wait_for(5s));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, blocked.get());
}

TEST_F(SlotManagerOverFakeService, NonBlockingWaitOvertakenByABlockingWaiterReturnsAtOnce) {
    service.readers = {L"Reader A"};
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    std::future<CK_RV> blocking;
    std::atomic<bool> overtaken{false};
    // The non-blocking caller has found the listener free; before it claims
    // it, a blocking waiter takes it and blocks in the service.
    ScopedWaitHook hook([&](SlotManager::WaitPoint point) {
        if (point != SlotManager::WaitPoint::BEFORE_CLAIMING_LISTENER || overtaken.exchange(true)) return;
        blocking = std::async(std::launch::async, [] {
            CK_SLOT_ID slot;
            return C_WaitForSlotEvent(0, &slot, nullptr);
        });
        service.awaitBlockedWait();
    });
    auto nonBlocking = std::async(std::launch::async, [] {
        CK_SLOT_ID slot = 0xFFFF;
        return C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
    });
    // Only a failing run waits here: a non-blocking call that queued behind
    // the endless wait is freed by C_Finalize below.
    const bool returnedAtOnce = nonBlocking.wait_for(10s) == std::future_status::ready;
    EXPECT_EQ(true, returnedAtOnce);
    EXPECT_EQ(CKR_OK, C_Finalize(nullptr));
    if (returnedAtOnce) {
        EXPECT_EQ(CKR_NO_EVENT, nonBlocking.get());
    }
    ASSERT_EQ(true, blocking.valid());
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, blocking.get());
}

TEST_F(SlotManagerOverFakeService, EventAppliedWhileFinalizeRunsIsNotReported) {
    service.readers = {L"Reader A"};
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    CK_SLOT_ID slot = 0xFFFF;
    ASSERT_EQ(CKR_NO_EVENT, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    service.readers = {L"Reader A", L"Reader B"};
    service.readersChanged = true;
    // The event has passed the waiter's check of the table when C_Finalize
    // (another thread in an application) tears the table down.
    ScopedWaitHook hook([](SlotManager::WaitPoint point) {
        if (point == SlotManager::WaitPoint::BEFORE_APPLYING_EVENT) {
            EXPECT_EQ(CKR_OK, C_Finalize(nullptr));
        }
    });
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_EQ(CK_SLOT_ID{0xFFFF}, slot);
}

TEST_F(SlotManagerOverFakeService, ReaderPluggedWhileTheTableIsBuiltIsBoundToOneSlot) {
    // The table takes the listener's listing, which finds only A; B, plugged
    // a moment later, arrives as the listener's event and gets one slot.
    service.listings = {{L"Reader A"}, {L"Reader A", L"Reader B"}};
    service.readers = {L"Reader A", L"Reader B"};
    ASSERT_EQ(CKR_OK, C_Initialize(nullptr));
    EXPECT_EQ("empty", slotDescription(1));
    service.readersChanged = true;
    CK_SLOT_ID slot = 0xFFFF;
    EXPECT_EQ(CKR_OK, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_EQ(CK_SLOT_ID{1}, slot);
    slot = 0xFFFF;
    EXPECT_EQ(CKR_NO_EVENT, C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_EQ(CK_SLOT_ID{0xFFFF}, slot);
    const std::vector<std::string> expected = {"Reader A", "Reader B", "empty", "empty", "empty", "empty"};
    for (CK_SLOT_ID id = 0; id < expected.size(); ++id) EXPECT_EQ(expected[id], slotDescription(id)) << id;
}

}  // namespace
