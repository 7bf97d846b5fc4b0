#include "cknames.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct NamedCase {
    CK_ULONG value;
    const wchar_t* name;
};

class ReturnValueNameTest : public ::testing::TestWithParam<NamedCase> {};

TEST_P(ReturnValueNameTest, NamesTheValue) {
    EXPECT_EQ(std::wstring(GetParam().name), getCkrName(GetParam().value));
}

INSTANTIATE_TEST_SUITE_P(KnownValues, ReturnValueNameTest,
                         ::testing::Values(NamedCase{0x0, L"CKR_OK"},
                                           NamedCase{0x5, L"CKR_GENERAL_ERROR"},
                                           NamedCase{0x7, L"CKR_ARGUMENTS_BAD"},
                                           NamedCase{0x54, L"CKR_FUNCTION_NOT_SUPPORTED"},
                                           NamedCase{0x6A, L"CKR_KEY_UNEXTRACTABLE"},
                                           NamedCase{0xB8, L"CKR_SESSION_READ_WRITE_SO_EXISTS"},
                                           NamedCase{0x150, L"CKR_BUFFER_TOO_SMALL"},
                                           NamedCase{0x190, L"CKR_CRYPTOKI_NOT_INITIALIZED"},
                                           NamedCase{0x191, L"CKR_CRYPTOKI_ALREADY_INITIALIZED"},
                                           NamedCase{0x1A1, L"CKR_MUTEX_NOT_LOCKED"},
                                           NamedCase{0x80000000UL, L"CKR_VENDOR_DEFINED"}));

class UnknownReturnValueTest : public ::testing::TestWithParam<CK_RV> {};

TEST_P(UnknownReturnValueTest, PrintsQuestionMarks) {
    EXPECT_EQ(std::wstring(L"(?\?\?)"), getCkrName(GetParam()));
}

// 0x200 is a later addition to the interface and deliberately unnamed.
INSTANTIATE_TEST_SUITE_P(Gaps, UnknownReturnValueTest,
                         ::testing::Values(0x4UL, 0x52UL, 0x61UL, 0x111UL, 0x1A2UL, 0x1B0UL,
                                           0x200UL, 0x80000001UL, ~0UL));

TEST(ReturnValueNames, NameExactlyEightyFiveValues) {
    int named = 0;
    for (CK_RV rv = 0; rv <= 0x300; ++rv) {
        named += std::wstring(getCkrName(rv)) != L"(?\?\?)";
    }
    named += std::wstring(getCkrName(CKR_VENDOR_DEFINED)) != L"(?\?\?)";
    EXPECT_EQ(85, named);
}

class AttributeTypeNameTest : public ::testing::TestWithParam<NamedCase> {};

TEST_P(AttributeTypeNameTest, NamesTheType) {
    EXPECT_EQ(std::wstring(GetParam().name), getCkaName(GetParam().value));
}

INSTANTIATE_TEST_SUITE_P(
    KnownTypes, AttributeTypeNameTest,
    ::testing::Values(NamedCase{0x0, L"CKA_CLASS"}, NamedCase{0x3, L"CKA_LABEL"},
                      NamedCase{0x11, L"CKA_VALUE"}, NamedCase{0x86, L"CKA_TRUSTED"},
                      NamedCase{0x102, L"CKA_ID"}, NamedCase{0x123, L"CKA_PRIVATE_EXPONENT"},
                      NamedCase{0x128, L"CKA_COEFFICIENT"}, NamedCase{0x134, L"CKA_SUBPRIME_BITS"},
                      NamedCase{0x180, L"CKA_ECDSA_PARAMS"},
                      NamedCase{0x200, L"CKA_SECONDARY_AUTH"},
                      NamedCase{0x201, L"CKA_AUTH_PIN_FLAGS"}, NamedCase{0x302, L"CKA_HAS_RESET"},
                      NamedCase{0x80000000UL, L"CKA_VENDOR_DEFINED"}));

class UnknownAttributeTypeTest : public ::testing::TestWithParam<CK_ATTRIBUTE_TYPE> {};

TEST_P(UnknownAttributeTypeTest, PrintsQuestionMarks) {
    EXPECT_EQ(std::wstring(L"(?\?\?)"), getCkaName(GetParam()));
}

// Types the module never names, even where the interface defines them.
INSTANTIATE_TEST_SUITE_P(Unnamed, UnknownAttributeTypeTest,
                         ::testing::Values(0x90UL, 0x87UL, 0x202UL, 0x40000211UL, 0x500UL,
                                           0x80000001UL, ~0UL));

TEST(AttributeTypeNames, NameExactlyFiftyNineTypes) {
    int named = 0;
    for (CK_ATTRIBUTE_TYPE type = 0; type <= 0x700; ++type) {
        named += std::wstring(getCkaName(type)) != L"(?\?\?)";
    }
    named += std::wstring(getCkaName(CKA_VENDOR_DEFINED)) != L"(?\?\?)";
    EXPECT_EQ(59, named);
}

}  // namespace
