// The slot table as applications see it: C_GetSlotList and C_GetSlotInfo
// against the real pcscd, with cards inserted and removed by the bench.
#include <algorithm>
#include <cstring>

#include "slotbench.h"

namespace slottest {
namespace {

class SlotList : public SlotBench {};

TEST_F(SlotList, ThreeReadersGiveSixSlotsWithTheReadersFirstInListOrder) {
    const std::vector<std::string> readers = listedReaders();
    ASSERT_EQ(3u, readers.size());
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));

    const std::vector<CK_SLOT_ID> slots = slotList();
    EXPECT_EQ((std::vector<CK_SLOT_ID>{0, 1, 2, 3, 4, 5}), slots);
    for (CK_SLOT_ID slot : slots) {
        SCOPED_TRACE(slot);
        const CK_SLOT_INFO info = slotInfo(slot);
        if (slot < readers.size()) {
            EXPECT_EQ(blankPadded(readers[slot], 64), field(info.slotDescription, 64));
            EXPECT_EQ(ALWAYS_SET, info.flags);
        } else {
            EXPECT_EQ(blankPadded("empty", 64), field(info.slotDescription, 64));
            EXPECT_EQ(ALWAYS_SET | SLOT_FLAG_NO_READER, info.flags);
        }
        EXPECT_EQ(blankPadded("Unknown manufacturer", 32), field(info.manufacturerID, 32));
        EXPECT_EQ(0, info.hardwareVersion.major);
        EXPECT_EQ(0, info.hardwareVersion.minor);
        EXPECT_EQ(0, info.firmwareVersion.major);
        EXPECT_EQ(0, info.firmwareVersion.minor);
    }
}

// With tokenPresent only the slots whose reader holds a card are listed, by
// their own numbers, and the first of them has a token to describe.
TEST_F(SlotList, TokenPresentListsOnlyTheSlotsWhoseReaderHoldsACard) {
    const std::vector<std::string> readers = listedReaders();
    ASSERT_EQ(3u, readers.size());
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const struct {
        const char* name;
        std::vector<CK_SLOT_ID> withCard;
    } cases[] = {{"no card", {}}, {"card in the second reader", {1}}, {"cards in the first and the third", {0, 2}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (CK_SLOT_ID slot = 0; slot < readers.size(); ++slot) {
            const bool wanted = std::count(c.withCard.begin(), c.withCard.end(), slot) != 0;
            wanted ? ensureCard(readers[slot]) : ensureNoCard(readers[slot]);
        }
        CK_ULONG count = 0;
        ASSERT_EQ(CKR_OK, p11()->C_GetSlotList(CK_TRUE, nullptr, &count));
        std::vector<CK_SLOT_ID> present(count);
        ASSERT_EQ(CKR_OK, p11()->C_GetSlotList(CK_TRUE, present.data(), &count));
        present.resize(count);
        EXPECT_EQ(c.withCard, present);
        EXPECT_EQ((std::vector<CK_SLOT_ID>{0, 1, 2, 3, 4, 5}), slotList()) << "without the flag every slot";
        if (!present.empty()) {
            CK_TOKEN_INFO token;
            EXPECT_EQ(CKR_OK, p11()->C_GetTokenInfo(present[0], &token));
        }
    }
}

TEST_F(SlotList, BufferTooSmallIsRefusedAndAnswersTheCountNeeded) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    std::vector<CK_SLOT_ID> slots(5, 0xAA);
    CK_ULONG count = 5;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11()->C_GetSlotList(CK_FALSE, slots.data(), &count));
    EXPECT_EQ(slotList().size(), count);
    EXPECT_EQ(std::vector<CK_SLOT_ID>(5, 0xAA), slots);
    // Grown to the count answered, the buffer is big enough.
    slots.assign(count, 0xAA);
    EXPECT_EQ(CKR_OK, p11()->C_GetSlotList(CK_FALSE, slots.data(), &count));
    EXPECT_EQ(slotList(), slots);
}

TEST_F(SlotList, LargerBufferGetsTheSlotsAndTheRealCount) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    std::vector<CK_SLOT_ID> slots(9, 0xAA);
    CK_ULONG count = 9;
    ASSERT_EQ(CKR_OK, p11()->C_GetSlotList(CK_FALSE, slots.data(), &count));
    EXPECT_EQ(6u, count);
    EXPECT_EQ((std::vector<CK_SLOT_ID>{0, 1, 2, 3, 4, 5, 0xAA, 0xAA, 0xAA}), slots);
}

TEST_F(SlotList, BadArgumentsAndUnknownSlotsAreRefused) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_SLOT_ID slots[6];
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetSlotList(CK_FALSE, nullptr, nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetSlotList(CK_FALSE, slots, nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetSlotInfo(0, nullptr));
    CK_SLOT_INFO info;
    for (CK_SLOT_ID unknown : {CK_SLOT_ID{6}, CK_SLOT_ID{7}, CK_SLOT_ID{0xFFFFFFFF}, ~CK_SLOT_ID{0}}) {
        EXPECT_EQ(CKR_SLOT_ID_INVALID, p11()->C_GetSlotInfo(unknown, &info)) << unknown;
    }
}

TEST_F(SlotList, EveryQueryNeedsInitialisation) {
    CK_ULONG count = 0;
    CK_SLOT_INFO info;
    CK_MECHANISM_INFO mechanismInfo;
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_GetSlotList(CK_FALSE, nullptr, &count));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_GetSlotInfo(0, &info));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_GetMechanismList(0, nullptr, &count));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_GetMechanismInfo(0, CKM_RSA_PKCS, &mechanismInfo));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_WaitForSlotEvent(0, &slot, nullptr));
}

class TokenPresence : public SlotBench, public ::testing::WithParamInterface<const char*> {};

TEST_P(TokenPresence, FlagFollowsInsertionAndRemoval) {
    const std::string reader = readerNamed(GetParam());
    const std::vector<std::string> readers = listedReaders();
    const CK_SLOT_ID slot =
        static_cast<CK_SLOT_ID>(std::find(readers.begin(), readers.end(), reader) - readers.begin());
    ASSERT_LT(slot, readers.size());
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));

    EXPECT_EQ(ALWAYS_SET, slotInfo(slot).flags);
    ensureCard(reader);
    EXPECT_EQ(ALWAYS_SET | CKF_TOKEN_PRESENT, slotInfo(slot).flags);
    for (CK_SLOT_ID other = 0; other < readers.size(); ++other) {
        if (other != slot) {
            EXPECT_EQ(ALWAYS_SET, slotInfo(other).flags) << "slot " << other;
        }
    }
    ensureNoCard(reader);
    EXPECT_EQ(ALWAYS_SET, slotInfo(slot).flags);
}

INSTANTIATE_TEST_SUITE_P(EachReaderKind, TokenPresence,
                         ::testing::Values("Zentrik Virtual 00 00", "Zentrik Virtual 00 01", PINPAD_READER));

TEST_F(SlotList, EightReadersGiveEightSlots) {
    restartWith(plainReaders(8));
    const std::vector<std::string> readers = listedReaders();
    ASSERT_EQ(8u, readers.size());
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const std::vector<CK_SLOT_ID> slots = slotList();
    ASSERT_EQ(8u, slots.size());
    for (CK_SLOT_ID slot = 0; slot < 8; ++slot) {
        EXPECT_EQ(slot, slots[slot]);
        const CK_SLOT_INFO info = slotInfo(slot);
        EXPECT_EQ(blankPadded(readers[slot], 64), field(info.slotDescription, 64)) << "slot " << slot;
        EXPECT_EQ(ALWAYS_SET, info.flags) << "slot " << slot;
    }
    CK_SLOT_INFO info;
    EXPECT_EQ(CKR_SLOT_ID_INVALID, p11()->C_GetSlotInfo(8, &info));
}

TEST_F(SlotList, SlotWhoseReaderWentAwayUnnoticedStillAnswersWithoutAToken) {
    // The table is only updated by the slot event wait; an application that
    // never waits still asks about a slot whose reader has gone.
    const std::vector<std::string> before = listedReaders();
    const CK_SLOT_ID pinPadSlot = static_cast<CK_SLOT_ID>(
        std::find(before.begin(), before.end(), readerNamed(PINPAD_READER)) - before.begin());
    ASSERT_LT(pinPadSlot, before.size());
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    bench::BenchConfig config;
    config.readers = {};
    restartWith(config);

    CK_SLOT_INFO info;
    ASSERT_EQ(CKR_OK, p11()->C_GetSlotInfo(pinPadSlot, &info));
    EXPECT_EQ(blankPadded(before[pinPadSlot], 64), field(info.slotDescription, 64));
    EXPECT_EQ(ALWAYS_SET, info.flags);
}

TEST_F(SlotList, TableIsBuiltAfreshOnEveryInitialisation) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    ASSERT_EQ(6u, slotList().size());
    ASSERT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
    CK_ULONG count = 0;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_GetSlotList(CK_FALSE, nullptr, &count));
    restartWith(plainReaders(7));
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const std::vector<std::string> readers = listedReaders();
    ASSERT_EQ(7u, slotList().size());
    EXPECT_EQ(blankPadded(readers[6], 64), field(slotInfo(6).slotDescription, 64));
}

TEST_F(SlotList, CountsAreTracedWithAddressAndValue) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_SLOT_ID slots[6];
    CK_ULONG count = 5;
    ASSERT_EQ(CKR_BUFFER_TOO_SMALL, p11()->C_GetSlotList(CK_FALSE, slots, &count));
    count = 6;
    ASSERT_EQ(CKR_OK, p11()->C_GetSlotList(CK_FALSE, slots, &count));
    CK_ULONG withToken = 0;
    ASSERT_EQ(CKR_OK, p11()->C_GetSlotList(CK_TRUE, nullptr, &withToken));
    char address[32];
    std::snprintf(address, sizeof address, "0x%llx", static_cast<unsigned long long>(
                                                        reinterpret_cast<std::uintptr_t>(&count)));
    const std::string log = traceLog();
    EXPECT_NE(std::string::npos, log.find("Entering C_GetSlotList()")) << log;
    EXPECT_NE(std::string::npos, log.find(std::string("pulCount = [address=") + address + ", value=5]")) << log;
    EXPECT_NE(std::string::npos, log.find(std::string("pulCount = [address=") + address + ", value=6]")) << log;
    EXPECT_NE(std::string::npos, log.find("tokenPresent = 1 [0x00000001]")) << log;
    EXPECT_NE(std::string::npos, log.find("[OUT] *pulCount = 6 [0x00000006]")) << log;
    EXPECT_NE(std::string::npos, log.find("Returning CKR_BUFFER_TOO_SMALL [336] FUFU")) << log;
}

}  // namespace
}  // namespace slottest
