// The private extension list through the loaded module: the list, the
// entries that answer with constants, and the size query of C_GetCardId.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "loadedmodule.h"

namespace {

CK_FUNCTION_LIST_PTR p11() { return LoadedModule::instance().list(); }
CK_PRIVATE_FUNCTION_LIST_PTR priv() { return LoadedModule::instance().privateList(); }

constexpr CK_ULONG UNAVAILABLE = 0xFFFFFFFFUL;

class PrivateListTest : public ::testing::Test {
protected:
    void SetUp() override { p11()->C_Finalize(nullptr); }
    void TearDown() override { p11()->C_Finalize(nullptr); }
    void initialize() { ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr)); }
};

TEST_F(PrivateListTest, HasSixteenEntriesAndNamesItself) {
    const auto* entries = reinterpret_cast<const CK_C_GetCardId*>(priv());
    for (int i = 0; i < 16; ++i) {
        EXPECT_NE(nullptr, reinterpret_cast<void*>(entries[i])) << "entry " << i;
    }
    EXPECT_EQ(LoadedModule::instance().symbol("C_GetPrivateFunctionList"),
              reinterpret_cast<void*>(priv()->C_GetPrivateFunctionList));
    CK_PRIVATE_FUNCTION_LIST_PTR again = nullptr;
    EXPECT_EQ(CKR_OK, priv()->C_GetPrivateFunctionList(&again));
    EXPECT_EQ(priv(), again);
}

TEST_F(PrivateListTest, GetPrivateFunctionListWithoutAddressIsArgumentsBad) {
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_GetPrivateFunctionList(nullptr));
}

TEST_F(PrivateListTest, P15TokenInfoIsTwoEmptyTextsEvenBeforeInitialize) {
    CK_BYTE info[CK_P15_TOKEN_INFO_SIZE];
    std::memset(info, 0xCC, sizeof info);
    ASSERT_EQ(CKR_OK, priv()->C_GetP15TokenInfo(0, info));
    std::string expected(CK_P15_TOKEN_INFO_SIZE, ' ');
    expected[0] = '\0';
    expected[64] = '\0';
    EXPECT_EQ(expected, std::string(reinterpret_cast<const char*>(info), sizeof info));
}

TEST_F(PrivateListTest, P15TokenInfoWithoutBufferIsArgumentsBad) {
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_GetP15TokenInfo(0, nullptr));
}

TEST_F(PrivateListTest, DataInfoIsUnavailableInEveryOutput) {
    initialize();
    CK_ULONG values[4] = {1, 2, 3, 4};
    ASSERT_EQ(CKR_OK, priv()->C_GetDataInfo(0, &values[0], &values[1], &values[2], &values[3]));
    for (CK_ULONG value : values) {
        EXPECT_EQ(UNAVAILABLE, value);
    }
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_GetDataInfo(0, &values[0], nullptr, &values[2], &values[3]));
}

TEST_F(PrivateListTest, PinPukIsUnavailableWithBothFlagsFalse) {
    initialize();
    CK_ULONG v[8] = {0};
    CK_BBOOL flag1 = 7;
    CK_BBOOL flag2 = 7;
    ASSERT_EQ(CKR_OK, priv()->C_GetPinPuk(0, &v[0], &v[1], &v[2], &flag1, &v[3], &v[4], &v[5], &v[6],
                                           &flag2, &v[7]));
    for (CK_ULONG value : v) {
        EXPECT_EQ(UNAVAILABLE, value);
    }
    EXPECT_EQ(CK_FALSE, flag1);
    EXPECT_EQ(CK_FALSE, flag2);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_GetPinPuk(0, &v[0], &v[1], &v[2], &flag1, &v[3], &v[4], &v[5],
                                                      &v[6], nullptr, &v[7]));
}

TEST_F(PrivateListTest, CanSetPukAndJavaCardFamilyAreTrue) {
    initialize();
    CK_BBOOL canSet = CK_FALSE;
    CK_BBOOL javaCard = CK_FALSE;
    EXPECT_EQ(CKR_OK, priv()->C_CanSetPUK(0, &canSet));
    EXPECT_EQ(CKR_OK, priv()->C_IsJavaCardFamily(0, nullptr, nullptr, &javaCard));
    EXPECT_EQ(CK_TRUE, canSet);
    EXPECT_EQ(CK_TRUE, javaCard);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_CanSetPUK(0, nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_IsJavaCardFamily(0, nullptr, nullptr, nullptr));
}

TEST_F(PrivateListTest, CardIdSizeQueryNeedsNoCard) {
    initialize();
    CK_ULONG length = 0;
    EXPECT_EQ(CKR_OK, priv()->C_GetCardId(42, nullptr, &length));
    EXPECT_EQ(16UL, length);
}

TEST_F(PrivateListTest, CardIdBufferBelowSixteenIsTooSmall) {
    initialize();
    CK_BYTE id[15];
    CK_ULONG length = sizeof id;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, priv()->C_GetCardId(0, id, &length));
    EXPECT_EQ(16UL, length);
}

TEST_F(PrivateListTest, CardIdWithoutLengthIsArgumentsBad) {
    initialize();
    CK_BYTE id[16];
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_GetCardId(0, id, nullptr));
}

// Only the entries without the initialisation test work before C_Initialize.
TEST_F(PrivateListTest, WhatEachEntryAnswersBeforeInitialize) {
    CK_BYTE info[CK_P15_TOKEN_INFO_SIZE];
    CK_BYTE buffer[64];
    CK_ULONG v[8] = {0};
    CK_ULONG length = sizeof buffer;
    CK_BBOOL flag = CK_FALSE;
    CK_PRIVATE_FUNCTION_LIST_PTR list = nullptr;
    CK_UTF8CHAR pin[] = "1234";
    const struct {
        const char* name;
        CK_RV rv;
        CK_RV expected;
    } cases[] = {
        {"C_GetP15TokenInfo", priv()->C_GetP15TokenInfo(0, info), CKR_OK},
        {"C_GetPrivateFunctionList", priv()->C_GetPrivateFunctionList(&list), CKR_OK},
        {"C_UnblockPIN", priv()->C_UnblockPIN(1, pin, 4, pin, 4), CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetVxeiInfo", priv()->C_GetVxeiInfo(0, v, &length), CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetDataInfo", priv()->C_GetDataInfo(0, &v[0], &v[1], &v[2], &v[3]), CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetATR", priv()->C_GetATR(0, buffer, &length), CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetLastDataIndex", priv()->C_GetLastDataIndex(0, nullptr), CKR_FUNCTION_NOT_SUPPORTED},
        {"C_GetPinPuk",
         priv()->C_GetPinPuk(0, &v[0], &v[1], &v[2], &flag, &v[3], &v[4], &v[5], &v[6], &flag, &v[7]),
         CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_MoveCertLast", priv()->C_MoveCertLast(1, nullptr), CKR_FUNCTION_NOT_SUPPORTED},
        {"C_CanSetPUK", priv()->C_CanSetPUK(0, &flag), CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_SetPUK", priv()->C_SetPUK(1, nullptr), CKR_FUNCTION_NOT_SUPPORTED},
        {"C_IsJavaCardFamily", priv()->C_IsJavaCardFamily(0, nullptr, nullptr, &flag),
         CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetAppletVersion", priv()->C_GetAppletVersion(0, &v[0], &v[1], &v[2]),
         CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetDefaultCert", priv()->C_GetDefaultCert(1, buffer, &length), CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_SetDefaultCert", priv()->C_SetDefaultCert(1, buffer, 4), CKR_CRYPTOKI_NOT_INITIALIZED},
        {"C_GetCardId", priv()->C_GetCardId(0, nullptr, &length), CKR_CRYPTOKI_NOT_INITIALIZED},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, c.rv) << c.name;
    EXPECT_EQ(sizeof buffer, length);
    EXPECT_EQ(priv(), list);
}

// Outputs that are missing are refused, never written through, whether or
// not the slot holds a card.
TEST_F(PrivateListTest, MissingOutputsAreArgumentsBad) {
    initialize();
    CK_ULONG v[4] = {0};
    CK_BYTE buffer[16];
    const struct {
        const char* name;
        CK_RV rv;
    } cases[] = {
        {"C_GetVxeiInfo", priv()->C_GetVxeiInfo(0, v, nullptr)},
        {"C_GetATR", priv()->C_GetATR(0, buffer, nullptr)},
        {"C_GetAppletVersion major", priv()->C_GetAppletVersion(0, nullptr, &v[1], &v[2])},
        {"C_GetAppletVersion minor", priv()->C_GetAppletVersion(0, &v[0], nullptr, &v[2])},
        {"C_GetCardId", priv()->C_GetCardId(0, nullptr, nullptr)},
        {"C_GetDefaultCert", priv()->C_GetDefaultCert(1, buffer, nullptr)},
        {"C_SetDefaultCert", priv()->C_SetDefaultCert(1, nullptr, 3)},
        {"C_GetDataInfo", priv()->C_GetDataInfo(0, nullptr, &v[1], &v[2], &v[3])},
    };
    for (const auto& c : cases) EXPECT_EQ(CKR_ARGUMENTS_BAD, c.rv) << c.name;
}

TEST_F(PrivateListTest, AppletVersionWithoutOutputsIsArgumentsBad) {
    initialize();
    CK_ULONG major = 0;
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_GetAppletVersion(0, &major, nullptr, nullptr));
}

}  // namespace
