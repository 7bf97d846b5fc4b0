// The configured slot count (pkcs11.slots) against the number of readers.
// Runs once per setting, each in a process of its own (see slots_main.cpp).
#include "slotbench.h"

namespace slottest {
namespace {

class SlotCountSetting : public SlotBench {};

// What the setting asks for: a positive value is a minimum, anything else
// keeps the default of six.
std::size_t configuredSlots(long setting) { return setting > 0 ? static_cast<std::size_t>(setting) : 6; }

TEST_F(SlotCountSetting, SlotCountIsTheLargerOfReadersAndSetting) {
    const std::vector<std::string> readers = listedReaders();
    ASSERT_EQ(3u, readers.size());
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const std::size_t expected = std::max(readers.size(), configuredSlots(slotSetting()));
    const std::vector<CK_SLOT_ID> slots = slotList();
    ASSERT_EQ(expected, slots.size()) << "pkcs11.slots = " << slotSetting();
    for (CK_SLOT_ID slot = 0; slot < expected; ++slot) {
        EXPECT_EQ(slot, slots[slot]);
        const CK_SLOT_INFO info = slotInfo(slot);
        const std::string description = slot < readers.size() ? readers[slot] : "empty";
        EXPECT_EQ(blankPadded(description, 64), field(info.slotDescription, 64)) << "slot " << slot;
    }
    CK_SLOT_INFO info;
    EXPECT_EQ(CKR_SLOT_ID_INVALID, p11()->C_GetSlotInfo(expected, &info));
}

TEST_F(SlotCountSetting, MoreReadersThanTheSettingStillGetASlotEach) {
    restartWith(plainReaders(7));
    const std::vector<std::string> readers = listedReaders();
    ASSERT_EQ(7u, readers.size());
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    EXPECT_EQ(std::max<std::size_t>(7, configuredSlots(slotSetting())), slotList().size());
    EXPECT_EQ(blankPadded(readers[6], 64), field(slotInfo(6).slotDescription, 64));
}

}  // namespace
}  // namespace slottest
