// C_GetTokenInfo of a personalised card, field by field, and its refusals.
#include <cstring>

#include "sessionbench.h"

namespace sessiontest {
namespace {

class TokenInfo : public SessionBench {};

constexpr CK_FLAGS PLAIN_READER_FLAGS = 0x42D;
constexpr CK_FLAGS PINPAD_READER_FLAGS = 0x52D;

CK_TOKEN_INFO tokenInfo(CK_SLOT_ID slot) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0xCC, sizeof info);
    EXPECT_EQ(CKR_OK, p11()->C_GetTokenInfo(slot, &info));
    return info;
}

TEST_F(TokenInfo, DescribesTheCardInEveryField) {
    insertFreshCard(PLAIN_SLOT, {"--serial", "0123456789ABCDEF", "--version", "3.1",
                                 "--memory-blocks", "400", "--block-size", "256"});
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_TOKEN_INFO info = tokenInfo(PLAIN_SLOT);

    EXPECT_EQ("Zentrik 3.1 Ferrix              ", field(info.label, 32));
    EXPECT_EQ("Velmoran s.r.o.                 ", field(info.manufacturerID, 32));
    EXPECT_EQ("Ferrix          ", field(info.model, 16));
    EXPECT_EQ("0123456789ABCDEF", field(info.serialNumber, 16));
    EXPECT_EQ(PLAIN_READER_FLAGS, info.flags);
    EXPECT_EQ(CK_EFFECTIVELY_INFINITE, info.ulMaxSessionCount);
    EXPECT_EQ(0u, info.ulSessionCount);
    EXPECT_EQ(CK_EFFECTIVELY_INFINITE, info.ulMaxRwSessionCount);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, info.ulRwSessionCount);
    EXPECT_EQ(16u, info.ulMaxPinLen);
    EXPECT_EQ(4u, info.ulMinPinLen);
    EXPECT_EQ(400u * 256u, info.ulTotalPublicMemory);
    EXPECT_EQ(info.ulTotalPublicMemory, info.ulTotalPrivateMemory);
    EXPECT_LE(info.ulFreePublicMemory, info.ulTotalPublicMemory);
    EXPECT_LT(0u, info.ulFreePublicMemory);
    EXPECT_EQ(info.ulFreePublicMemory, info.ulFreePrivateMemory);
    EXPECT_EQ(3, info.hardwareVersion.major);
    EXPECT_EQ(1, info.hardwareVersion.minor);
    EXPECT_EQ(3, info.firmwareVersion.major);
    EXPECT_EQ(1, info.firmwareVersion.minor);
    EXPECT_EQ(std::string(16, '\0'), std::string(reinterpret_cast<const char*>(info.utcTime), 16));
}

TEST_F(TokenInfo, OtherVersionAndShortSerialArePaddedWithBlanks) {
    insertFreshCard(PLAIN_SLOT, {"--serial", "00000000000000AB", "--version", "4.12"});
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    const CK_TOKEN_INFO info = tokenInfo(PLAIN_SLOT);
    EXPECT_EQ("Zentrik 4.12 Ferrix             ", field(info.label, 32));
    EXPECT_EQ("00000000000000AB", field(info.serialNumber, 16));
}

TEST_F(TokenInfo, PinPadReaderAddsTheProtectedAuthenticationPath) {
    const std::string image = insertFreshCard(PINPAD_SLOT);
    insertCard(PLAIN_SLOT, image);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    EXPECT_EQ(PINPAD_READER_FLAGS, tokenInfo(PINPAD_SLOT).flags);
    EXPECT_EQ(PLAIN_READER_FLAGS, tokenInfo(PLAIN_SLOT).flags);
}

TEST_F(TokenInfo, CountsTheOpenSessionsOfItsSlot) {
    insertFreshCard(PLAIN_SLOT);
    insertFreshCard(SECOND_PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    openSession(PLAIN_SLOT, CKF_SERIAL_SESSION);
    openSession(PLAIN_SLOT);
    const CK_SESSION_HANDLE third = openSession(PLAIN_SLOT);
    openSession(SECOND_PLAIN_SLOT);
    EXPECT_EQ(3u, tokenInfo(PLAIN_SLOT).ulSessionCount);
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, tokenInfo(PLAIN_SLOT).ulRwSessionCount);
    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(third));
    EXPECT_EQ(2u, tokenInfo(PLAIN_SLOT).ulSessionCount);
}

TEST_F(TokenInfo, RefusesSlotsWithoutACardAndBadArguments) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_TOKEN_INFO info;
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11()->C_GetTokenInfo(PLAIN_SLOT, &info));
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, p11()->C_GetTokenInfo(SLOT_WITHOUT_READER, &info));
    EXPECT_EQ(CKR_SLOT_ID_INVALID, p11()->C_GetTokenInfo(999, &info));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetTokenInfo(PLAIN_SLOT, nullptr));
    ASSERT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_GetTokenInfo(PLAIN_SLOT, &info));
}

}  // namespace
}  // namespace sessiontest
