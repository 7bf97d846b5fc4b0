#include "calltrace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "p11exceptions.h"
#include "tracelog.h"

namespace {

std::wstring text(const TraceText& t) {
    return t.c_str();
}

TEST(ScalarText, PrintsDecimalAndEightHexDigits) {
    EXPECT_EQ(L"12 [0x0000000c]", text(formatUlong(12)));
    EXPECT_EQ(L"0 [0x00000000]", text(formatUlong(0)));
    EXPECT_EQ(L"84 [0x00000054]", text(formatUlong(84)));
    EXPECT_EQ(L"2147483648 [0x80000000]", text(formatUlong(0x80000000UL)));
}

TEST(AttributeText, ShowsNameLengthAndValueInUpperCaseHex) {
    unsigned char label[] = {'a', 'B', 0xFE};
    CK_ATTRIBUTE attribute{CKA_LABEL, label, sizeof label};
    EXPECT_EQ(L"[CKA_LABEL, valueLen=3, value=6142FE]", text(formatAttribute(attribute)));
}

TEST(AttributeText, ShowsNullForMissingValue) {
    CK_ATTRIBUTE attribute{CKA_VALUE, nullptr, 40};
    EXPECT_EQ(L"[CKA_VALUE, valueLen=40, value=NULL]", text(formatAttribute(attribute)));
}

TEST(AttributeText, NamesUnknownTypesWithQuestionMarks) {
    unsigned char value[] = {1};
    CK_ATTRIBUTE attribute{CKA_CHECK_VALUE, value, 1};
    EXPECT_EQ(L"[(?\?\?), valueLen=1, value=01]", text(formatAttribute(attribute)));
}

class PrivateKeyComponentTest : public ::testing::TestWithParam<CK_ATTRIBUTE_TYPE> {};

TEST_P(PrivateKeyComponentTest, IsMasked) {
    unsigned char secret[] = {0xDE, 0xAD, 0xBE, 0xEF};
    CK_ATTRIBUTE attribute{GetParam(), secret, sizeof secret};
    std::wstring shown = text(formatAttribute(attribute));
    EXPECT_NE(std::wstring::npos, shown.find(L", valueLen=4, value=***]")) << shown;
    EXPECT_EQ(std::wstring::npos, shown.find(L"DEAD")) << shown;
}

INSTANTIATE_TEST_SUITE_P(AllComponents, PrivateKeyComponentTest,
                         ::testing::Values(CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2,
                                           CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT));

TEST(AttributeText, NeighboursOfPrivateComponentsAreShown) {
    unsigned char value[] = {0x01, 0x00, 0x01};
    CK_ATTRIBUTE exponent{CKA_PUBLIC_EXPONENT, value, sizeof value};
    CK_ATTRIBUTE prime{CKA_PRIME, value, sizeof value};
    EXPECT_EQ(L"[CKA_PUBLIC_EXPONENT, valueLen=3, value=010001]", text(formatAttribute(exponent)));
    EXPECT_EQ(L"[CKA_PRIME, valueLen=3, value=010001]", text(formatAttribute(prime)));
}

TEST(AttributeText, ShowsUpTo256BytesWhole) {
    std::vector<unsigned char> value(256, 0xAB);
    CK_ATTRIBUTE attribute{CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())};
    std::wstring expected = L"[CKA_VALUE, valueLen=256, value=" + std::wstring(512, L'A') + L"]";
    for (std::size_t i = 1; i < 512; i += 2) {
        expected[32 + i] = L'B';
    }
    EXPECT_EQ(expected, text(formatAttribute(attribute)));
}

TEST(AttributeText, CutsLongerValuesAt256BytesAndMarksTheCut) {
    std::vector<unsigned char> value(257, 0x11);
    value[256] = 0x99;
    CK_ATTRIBUTE attribute{CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size())};
    std::wstring expected =
        L"[CKA_VALUE, valueLen=257, value=" + std::wstring(512, L'1') + L" ...]";
    EXPECT_EQ(expected, text(formatAttribute(attribute)));
}

TEST(MechanismText, ShowsTypeLengthAndParameter) {
    unsigned char parameter[] = {0x0A, 0xB0};
    CK_MECHANISM mechanism{CKM_RSA_PKCS_OAEP, parameter, sizeof parameter};
    EXPECT_EQ(L"[mechanismType=9, ulParametrLen=2, pParametr=0AB0]",
              text(formatMechanism(&mechanism)));
    CK_MECHANISM plain{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(L"[mechanismType=1, ulParametrLen=0, pParametr=]", text(formatMechanism(&plain)));
    EXPECT_EQ(L"NULL", text(formatMechanism(nullptr)));
}

TEST(MechanismText, DumpsAtMost1024ParameterBytes) {
    std::vector<unsigned char> parameter(5000, 0x77);
    CK_MECHANISM mechanism{CKM_RSA_PKCS, parameter.data(), static_cast<CK_ULONG>(parameter.size())};
    std::wstring expected =
        L"[mechanismType=1, ulParametrLen=5000, pParametr=" + std::wstring(2048, L'7') + L"]";
    EXPECT_EQ(expected, text(formatMechanism(&mechanism)));
}

TEST(CountText, ShowsAddressAndValueOrNull) {
    CK_ULONG count = 6;
    std::wstring shown = text(formatUlongPointer(&count));
    EXPECT_EQ(0u, shown.find(L"[address=0x")) << shown;
    EXPECT_NE(std::wstring::npos, shown.find(L", value=6]")) << shown;
    EXPECT_EQ(L"NULL", text(formatUlongPointer(nullptr)));
}

TEST(TraceTextBuffer, CutsInsteadOfOverflowing) {
    TraceText t;
    std::vector<unsigned char> bytes(TraceText::CAPACITY * 2, 0xFF);
    t.appendHex(bytes.data(), bytes.size());
    t.append(L"%ls", L"more");
    EXPECT_GT(TraceText::CAPACITY, t.length());
    EXPECT_EQ(t.length(), std::wstring(t.c_str()).size());
}

// Lines as they reach the log.
class TraceLines : public TraceLogTest {};

TEST_F(TraceLines, SuccessIsReturnedByNameWithTrailingBlank) {
    EXPECT_EQ(CKR_OK, logReturn(LOG_FACILITY_PKCS11, CKR_OK));
    EXPECT_NE(std::string::npos, written().find("Returning CKR_OK [0] \n")) << written();
}

TEST_F(TraceLines, FailureIsReturnedByNameDecimalAndFufu) {
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED,
              logReturn(LOG_FACILITY_PKCS11, CKR_CRYPTOKI_NOT_INITIALIZED));
    EXPECT_NE(std::string::npos,
              written().find("Returning CKR_CRYPTOKI_NOT_INITIALIZED [400] FUFU\n"))
        << written();
}

TEST_F(TraceLines, NumericFormShowsDecimalAndHex) {
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED,
              logReturnNumeric(LOG_FACILITY_PKCS11, CKR_FUNCTION_NOT_SUPPORTED));
    EXPECT_NE(std::string::npos, written().find("Returning 84 [0x00000054]\n")) << written();
}

TEST_F(TraceLines, NoReturnFormWritesNothing) {
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL,
              logReturn(LOG_FACILITY_PKCS11, CKR_BUFFER_TOO_SMALL, ReturnForm::NONE));
    EXPECT_EQ(std::string::npos, written().find("Returning")) << written();
}

TEST_F(TraceLines, ExceptionIsLoggedWithItsMessage) {
    logException(LOG_FACILITY_PKCS11, SlotNotFoundException(17));
    EXPECT_NE(std::string::npos, written().find("EXCEPTION CAUGHT invalid SLOT_ID 17\n"))
        << written();
}

TEST_F(TraceLines, ParametersOutputsAndPresence) {
    traceParameter(L"hSession", 12);
    traceOutput(L"*pulCount", 6);
    tracePresence(L"pApplication != 0", nullptr);
    tracePresence(L"pInfo != 0", this);
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("hSession = 12 [0x0000000c]\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("[OUT] *pulCount = 6 [0x00000006]\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("pApplication != 0 = false\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("pInfo != 0 = true\n")) << lines;
}

TEST_F(TraceLines, TemplateIsOneLinePerAttributeWithSecretsMasked) {
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    unsigned char exponent[] = {0x5E, 0xC2, 0xE7, 0x5E};
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                 {CKA_PRIVATE_EXPONENT, exponent, sizeof exponent}};
    traceTemplate(L"pTemplate", attributes, 2);
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("pTemplate[0] = [CKA_CLASS, valueLen=")) << lines;
    EXPECT_NE(std::string::npos,
              lines.find("pTemplate[1] = [CKA_PRIVATE_EXPONENT, valueLen=4, value=***]"))
        << lines;
    EXPECT_EQ(std::string::npos, lines.find("5EC2E75E")) << lines;
}

TEST_F(TraceLines, MissingTemplateIsLoggedAsNull) {
    traceTemplate(L"pTemplate", nullptr, 3);
    EXPECT_NE(std::string::npos, written().find("pTemplate = NULL\n")) << written();
}

}  // namespace
