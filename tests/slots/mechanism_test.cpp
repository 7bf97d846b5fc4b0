// The mechanisms every slot offers, whatever it holds: key-pair generation,
// then PKCS #1 v1.5, OAEP, PSS and the hash-and-sign mechanisms.
#include "slotbench.h"

namespace slottest {
namespace {

class Mechanisms : public SlotBench {
protected:
    void SetUp() override {
        SlotBench::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    }
};

const std::vector<CK_MECHANISM_TYPE> OFFERED = {
    CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_RSA_PKCS,           CKM_RSA_PKCS_OAEP,       CKM_RSA_PKCS_PSS,
    CKM_SHA1_RSA_PKCS,         CKM_SHA224_RSA_PKCS,    CKM_SHA256_RSA_PKCS,     CKM_SHA384_RSA_PKCS,
    CKM_SHA512_RSA_PKCS,       CKM_SHA1_RSA_PKCS_PSS,  CKM_SHA224_RSA_PKCS_PSS, CKM_SHA256_RSA_PKCS_PSS,
    CKM_SHA384_RSA_PKCS_PSS,   CKM_SHA512_RSA_PKCS_PSS};

TEST_F(Mechanisms, ListHasKeyPairGenerationThenRsaOnEverySlot) {
    ensureCard(readerNamed(PINPAD_READER));
    for (CK_SLOT_ID slot : slotList()) {
        SCOPED_TRACE(slot);
        CK_ULONG count = 0;
        ASSERT_EQ(CKR_OK, p11()->C_GetMechanismList(slot, nullptr, &count));
        EXPECT_EQ(OFFERED.size(), count);
        std::vector<CK_MECHANISM_TYPE> list(OFFERED.size() + 1, 0xAA);
        count = static_cast<CK_ULONG>(list.size());
        ASSERT_EQ(CKR_OK, p11()->C_GetMechanismList(slot, list.data(), &count));
        EXPECT_EQ(OFFERED.size(), count);
        std::vector<CK_MECHANISM_TYPE> expected = OFFERED;
        expected.push_back(0xAA);
        EXPECT_EQ(expected, list);
    }
}

// The caller learns the count it needs; nothing is written into the buffer.
TEST_F(Mechanisms, ListBufferTooSmallAnswersTheCountNeeded) {
    CK_ULONG needed = 0;
    ASSERT_EQ(CKR_OK, p11()->C_GetMechanismList(0, nullptr, &needed));
    ASSERT_GT(needed, 1u);
    std::vector<CK_MECHANISM_TYPE> list(needed, 0xAA);
    CK_ULONG count = 1;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11()->C_GetMechanismList(5, list.data(), &count));
    EXPECT_EQ(needed, count);
    EXPECT_EQ(CK_MECHANISM_TYPE{0xAA}, list[0]);
    count = 0;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, p11()->C_GetMechanismList(0, list.data(), &count));
    EXPECT_EQ(needed, count);
    EXPECT_EQ(CKR_OK, p11()->C_GetMechanismList(0, list.data(), &count));
}

TEST_F(Mechanisms, ListRefusesNullCountAndUnknownSlot) {
    CK_MECHANISM_TYPE list[2];
    CK_ULONG count = 2;
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetMechanismList(0, list, nullptr));
    EXPECT_EQ(CKR_SLOT_ID_INVALID, p11()->C_GetMechanismList(6, list, &count));
    EXPECT_EQ(2u, count);
}

struct MechanismCase {
    CK_MECHANISM_TYPE type;
    CK_ULONG minKeySize;
    CK_ULONG maxKeySize;
    CK_FLAGS flags;
};

void PrintTo(const MechanismCase& c, std::ostream* os) { *os << "mechanism " << c.type; }

class MechanismInfo : public Mechanisms, public ::testing::WithParamInterface<MechanismCase> {};

TEST_P(MechanismInfo, IsTheSameOnFilledAndEmptySlots) {
    const MechanismCase expected = GetParam();
    for (CK_SLOT_ID slot : {CK_SLOT_ID{0}, CK_SLOT_ID{2}, CK_SLOT_ID{5}}) {
        CK_MECHANISM_INFO info{0xAA, 0xAA, 0xAA};
        ASSERT_EQ(CKR_OK, p11()->C_GetMechanismInfo(slot, expected.type, &info)) << "slot " << slot;
        EXPECT_EQ(expected.minKeySize, info.ulMinKeySize);
        EXPECT_EQ(expected.maxKeySize, info.ulMaxKeySize);
        EXPECT_EQ(expected.flags, info.flags);
    }
}

INSTANTIATE_TEST_SUITE_P(OfferedMechanisms, MechanismInfo,
                         ::testing::Values(MechanismCase{CKM_RSA_PKCS_KEY_PAIR_GEN, 1024, 2048, 0x10001},
                                           MechanismCase{CKM_RSA_PKCS, 1024, 2048, 0xA01},
                                           MechanismCase{CKM_RSA_PKCS_OAEP, 1024, 2048, 0x201},
                                           MechanismCase{CKM_RSA_PKCS_PSS, 1024, 2048, 0x801},
                                           MechanismCase{CKM_SHA256_RSA_PKCS, 1024, 2048, 0x801},
                                           MechanismCase{CKM_SHA512_RSA_PKCS_PSS, 1024, 2048, 0x801}));

TEST_F(Mechanisms, InfoOfAnotherMechanismIsInvalid) {
    for (CK_MECHANISM_TYPE type : {CKM_SHA_1, CKM_RSA_X_509, CK_MECHANISM_TYPE{2}, CK_MECHANISM_TYPE{0x80000000}}) {
        CK_MECHANISM_INFO info{0xAA, 0xAA, 0xAA};
        EXPECT_EQ(CKR_MECHANISM_INVALID, p11()->C_GetMechanismInfo(0, type, &info)) << type;
        EXPECT_EQ(CK_ULONG{0xAA}, info.ulMinKeySize);
    }
}

TEST_F(Mechanisms, InfoChecksTheSlotBeforeTheType) {
    CK_MECHANISM_INFO info;
    EXPECT_EQ(CKR_SLOT_ID_INVALID, p11()->C_GetMechanismInfo(6, CKM_SHA_1, &info));
    EXPECT_EQ(CKR_SLOT_ID_INVALID, p11()->C_GetMechanismInfo(6, CKM_RSA_PKCS, &info));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetMechanismInfo(0, CKM_RSA_PKCS, nullptr));
}

}  // namespace
}  // namespace slottest
