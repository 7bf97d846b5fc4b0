// C_WaitForSlotEvent against the real pcscd: cards present at start, cards
// inserted and removed later, readers that come and go across a pcscd
// restart, and C_Finalize waking a blocked waiter.
#include <algorithm>
#include <thread>

#include "slotbench.h"

namespace slottest {
namespace {

using namespace std::chrono_literals;

class SlotEvents : public SlotBench {
protected:
    static CK_SLOT_ID slotOf(const std::string& reader) {
        const std::vector<std::string> readers = listedReaders();
        return static_cast<CK_SLOT_ID>(std::find(readers.begin(), readers.end(), reader) - readers.begin());
    }
    std::string descriptionOf(CK_SLOT_ID slot) {
        const CK_SLOT_INFO info = slotInfo(slot);
        std::string text = field(info.slotDescription, 64);
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
};

TEST_F(SlotEvents, FirstEventsAreTheCardsAlreadyPresentInReaderOrder) {
    const std::string first = readerNamed("Zentrik Virtual 00 00");
    const std::string pinPad = readerNamed(PINPAD_READER);
    ensureCard(pinPad);
    ensureCard(first);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const std::vector<CK_SLOT_ID> expected{slotOf(first), slotOf(pinPad)};
    ASSERT_LT(expected[0], expected[1]);
    EXPECT_EQ(expected, drainEvents());
}

TEST_F(SlotEvents, DontBlockWithNothingPendingAnswersNoEventAtOnce) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    EXPECT_EQ(std::vector<CK_SLOT_ID>{}, drainEvents());
    const auto start = std::chrono::steady_clock::now();
    CK_SLOT_ID slot = 0xFFFF;
    EXPECT_EQ(CKR_NO_EVENT, p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(CK_SLOT_ID{0xFFFF}, slot);
}

TEST_F(SlotEvents, NullSlotPointerIsRefused) {
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr));
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_WaitForSlotEvent(0, nullptr, nullptr));
}

TEST_F(SlotEvents, BlockingWaitReportsTheSlotOfACardInsertedAndRemovedLater) {
    const std::string reader = readerNamed("Zentrik Virtual 00 01");
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    drainEvents();

    std::future<SlotEvent> pending = startWaiting();
    std::this_thread::sleep_for(200ms);
    // The waiter holds no module-wide lock: other calls go on meanwhile.
    EXPECT_EQ(ALWAYS_SET, slotInfo(slotOf(reader)).flags);
    EXPECT_EQ(6u, slotList().size());
    ensureCard(reader);
    SlotEvent inserted = finishWaiting(pending, 10s);
    EXPECT_EQ(CKR_OK, inserted.rv);
    EXPECT_EQ(slotOf(reader), inserted.slot);

    pending = startWaiting();
    ensureNoCard(reader);
    SlotEvent removed = finishWaiting(pending, 10s);
    EXPECT_EQ(CKR_OK, removed.rv);
    EXPECT_EQ(slotOf(reader), removed.slot);
}

TEST_F(SlotEvents, FinalizeWakesABlockedWaiterWithNotInitialized) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        drainEvents();
        std::future<SlotEvent> pending = startWaiting();
        std::this_thread::sleep_for(150ms);
        ASSERT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
        ASSERT_EQ(std::future_status::ready, pending.wait_for(5s));
        EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, pending.get().rv);
    }
}

TEST_F(SlotEvents, FinalizeRacingWaitersNeverReportsFromAGoneTable) {
    // Waiters that start just before, during and after C_Finalize, blocking
    // and not: every one ends, with an event or as not initialised.
    for (int cycle = 0; cycle < 10; ++cycle) {
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        std::vector<std::future<CK_RV>> waiters;
        for (int i = 0; i < 4; ++i) {
            waiters.push_back(std::async(std::launch::async, [i] {
                CK_SLOT_ID slot;
                return p11()->C_WaitForSlotEvent(i % 2 == 0 ? 0 : CKF_DONT_BLOCK, &slot, nullptr);
            }));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(cycle * 5));
        ASSERT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
        for (auto& waiter : waiters) {
            ASSERT_EQ(std::future_status::ready, waiter.wait_for(5s)) << "cycle " << cycle;
            const CK_RV rv = waiter.get();
            EXPECT_TRUE(rv == CKR_CRYPTOKI_NOT_INITIALIZED || rv == CKR_NO_EVENT || rv == CKR_OK)
                << "cycle " << cycle << " rv " << rv;
        }
    }
}

TEST_F(SlotEvents, PcscdRestartWithOneReaderFewerAndOneNewGivesReaderEvents) {
    const std::string pinPad = readerNamed(PINPAD_READER);
    const CK_SLOT_ID pinPadSlot = slotOf(pinPad);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    drainEvents();

    // pcscd goes away while the wait blocks, and comes back without the
    // pin-pad reader but with a new plain reader.
    std::future<SlotEvent> pending = startWaiting();
    std::this_thread::sleep_for(200ms);
    bench::BenchConfig config;
    config.readers = {{"Zentrik Extra", bench::ReaderSpec::Kind::PLAIN}};
    restartWith(config);
    const SlotEvent disconnected = finishWaiting(pending, 15s);
    ASSERT_EQ(CKR_OK, disconnected.rv) << "the wait did not survive the restart";
    EXPECT_EQ(pinPadSlot, disconnected.slot);

    // The new reader lands in the lowest empty slot: the one just emptied.
    const SlotEvent connected = waitForEvent(10s);
    ASSERT_EQ(CKR_OK, connected.rv);
    EXPECT_EQ(pinPadSlot, connected.slot);
    EXPECT_EQ(readerNamed("Zentrik Extra"), descriptionOf(pinPadSlot));
    EXPECT_EQ(ALWAYS_SET, slotInfo(pinPadSlot).flags);
    EXPECT_EQ(readerNamed("Zentrik Virtual 00 00"), descriptionOf(slotOf(readerNamed("Zentrik Virtual 00 00"))));
    EXPECT_EQ(6u, slotList().size());
    EXPECT_EQ(std::vector<CK_SLOT_ID>{}, drainEvents());

    // The module keeps listening on the new daemon.
    pending = startWaiting();
    ensureCard(readerNamed("Zentrik Extra"));
    const SlotEvent inserted = finishWaiting(pending, 10s);
    EXPECT_EQ(CKR_OK, inserted.rv);
    EXPECT_EQ(pinPadSlot, inserted.slot);
    EXPECT_EQ(ALWAYS_SET | CKF_TOKEN_PRESENT, slotInfo(pinPadSlot).flags);
}

TEST_F(SlotEvents, ReaderAndCardWithoutASlotGiveNoEvent) {
    restartWith(plainReaders(6));
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    ASSERT_EQ(6u, slotList().size());
    drainEvents();

    // Every slot holds a reader: a seventh reader gets none, and neither it
    // nor a card put into it is reported.
    std::future<SlotEvent> pending = startWaiting();
    std::this_thread::sleep_for(200ms);
    restartWith(plainReaders(7));
    const std::vector<std::string> readers = listedReaders();
    ASSERT_EQ(7u, readers.size());
    ensureCard(readers[6]);
    EXPECT_EQ(std::future_status::timeout, pending.wait_for(1s)) << "an event without a slot was reported";

    const std::string bound = readerNamed("Zentrik Virtual 00 00");
    ensureCard(bound);
    const SlotEvent event = finishWaiting(pending, 10s);
    EXPECT_EQ(CKR_OK, event.rv);
    EXPECT_EQ(slotOf(bound), event.slot);
    for (CK_SLOT_ID slot = 0; slot < 6; ++slot) {
        EXPECT_EQ(readers[slot], descriptionOf(slot)) << "slot " << slot;
    }
}

}  // namespace
}  // namespace slottest
