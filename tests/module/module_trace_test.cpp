// What the loaded module writes into its trace log. This suite runs in its
// own process with the log turned on (see module_main.cpp).
#include <gtest/gtest.h>

#include <string>

#include "loadedmodule.h"
#include "traceconfig.h"

namespace {

CK_FUNCTION_LIST_PTR p11() { return LoadedModule::instance().list(); }

class ModuleTrace : public ::testing::Test {
protected:
    void SetUp() override {
        p11()->C_Finalize(nullptr);
        start = traceconfig::logText().size();
    }
    void TearDown() override { p11()->C_Finalize(nullptr); }
    std::string written() const { return traceconfig::logText().substr(start); }

    std::size_t start = 0;
};

TEST_F(ModuleTrace, LogBeginsWithTheBuildLine) {
    CK_INFO info;
    p11()->C_GetInfo(&info);
    EXPECT_NE(std::string::npos, traceconfig::logText().find("BUILT ON ")) << traceconfig::logText();
}

TEST_F(ModuleTrace, LockedFunctionBeforeInitializeLogsNotInitialized) {
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_Login(1, CKU_USER, nullptr, 0));
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("Entering C_Login()")) << lines;
    EXPECT_NE(std::string::npos, lines.find("Returning CKR_CRYPTOKI_NOT_INITIALIZED [400] FUFU\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("Leaving C_Login\n")) << lines;
}

TEST_F(ModuleTrace, GetFunctionListWithoutAddressReturnsInNumericForm) {
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetFunctionList(nullptr));
    EXPECT_NE(std::string::npos, written().find("Returning 7 [0x00000007]\n")) << written();
}

TEST_F(ModuleTrace, VerifyReturnsInNumericFormAndOtherUnsupportedByName) {
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, p11()->C_Verify(0, nullptr, 0, nullptr, 0));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, p11()->C_Digest(0, nullptr, 0, nullptr, nullptr));
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("Returning 84 [0x00000054]\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("Returning CKR_FUNCTION_NOT_SUPPORTED [84] FUFU\n")) << lines;
}

TEST_F(ModuleTrace, InitializeAndGetInfoAreTracedWithTheirResults) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetInfo(nullptr));
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("Entering C_Initialize()")) << lines;
    EXPECT_NE(std::string::npos, lines.find("Returning CKR_OK [0] \n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("pInfo != 0 = false\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("Returning CKR_ARGUMENTS_BAD [7] FUFU\n")) << lines;
}

TEST_F(ModuleTrace, PinsNeverReachTheLog) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_UTF8CHAR pin[] = "pin-1357-secret";
    CK_UTF8CHAR newPin[] = "new-2468-secret";
    p11()->C_Login(1, CKU_USER, pin, sizeof pin - 1);
    p11()->C_SetPIN(1, pin, sizeof pin - 1, newPin, sizeof newPin - 1);
    LoadedModule::instance().privateList()->C_UnblockPIN(1, pin, sizeof pin - 1, newPin, sizeof newPin - 1);
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("Entering C_Login()")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("1357")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("2468")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("70696E2D")) << lines;  // "pin-" in hexadecimal
}

TEST_F(ModuleTrace, PrivateKeyComponentsInTemplatesAreMasked) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
    CK_BYTE exponent[] = {0xC0, 0xFF, 0xEE, 0x42};
    CK_BYTE prime[] = {0xBA, 0xDD, 0xCA, 0xFE};
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                 {CKA_PRIVATE_EXPONENT, exponent, sizeof exponent},
                                 {CKA_PRIME_1, prime, sizeof prime}};
    p11()->C_CreateObject(1, attributes, 3, nullptr);
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("pTemplate[1] = [CKA_PRIVATE_EXPONENT, valueLen=4, value=***]"))
        << lines;
    EXPECT_NE(std::string::npos, lines.find("pTemplate[2] = [CKA_PRIME_1, valueLen=4, value=***]")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("C0FFEE42")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("BADDCAFE")) << lines;
}

// The value of a private data object shows its length only: in a creation
// template that asks for one, and in a change or read of a data object's
// handle (whose privacy is not known before the card is asked).
TEST_F(ModuleTrace, PrivateDataObjectValuesInTemplatesAreMasked) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE secret[] = {0x5E, 0xC2, 0xE7, 0x01};
    CK_ATTRIBUTE privateData[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                                  {CKA_PRIVATE, &yes, sizeof yes},
                                  {CKA_VALUE, secret, sizeof secret}};
    CK_OBJECT_HANDLE handle = 0;
    p11()->C_CreateObject(1, privateData, 3, &handle);
    p11()->C_SetAttributeValue(1, 4242, &privateData[2], 1);
    p11()->C_GetAttributeValue(1, 4242, &privateData[2], 1);
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("pTemplate[2] = [CKA_VALUE, valueLen=4, value=***]")) << lines;
    EXPECT_NE(std::string::npos, lines.find("pTemplate[0] = [CKA_VALUE, valueLen=4, value=***]")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("5EC2E701")) << lines;

    // A public data object's value and a certificate's stay readable.
    CK_BBOOL no = CK_FALSE;
    CK_ATTRIBUTE publicData[] = {{CKA_CLASS, &dataClass, sizeof dataClass},
                                 {CKA_PRIVATE, &no, sizeof no},
                                 {CKA_VALUE, secret, sizeof secret}};
    p11()->C_CreateObject(1, publicData, 3, &handle);
    EXPECT_NE(std::string::npos, written().find("5EC2E701")) << written();
}

// C_Sign and C_Decrypt trace the arguments they name, C_GetAttributeValue its
// input template.
TEST_F(ModuleTrace, SignDecryptAndAttributeReadsTraceTheirArguments) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_BYTE data[4] = {1, 2, 3, 4};
    CK_ULONG length = 0;
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_Sign(4242, data, sizeof data, nullptr, &length));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_Decrypt(4242, data, sizeof data, data, &length));
    CK_BYTE label[] = {0x4C, 0x42};
    CK_ATTRIBUTE read[] = {{CKA_LABEL, label, sizeof label}};
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_GetAttributeValue(4242, 1, read, 1));
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("ulDataLen = 4 [0x00000004]\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("pSignature == 0 = true\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("ulEncryptedDataLen = 4 [0x00000004]\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("pData == 0 = false\n")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("pData != 0")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("pEncryptedData")) << lines;
    EXPECT_NE(std::string::npos, lines.find("pTemplate[0] = [CKA_LABEL, valueLen=2, value=4C42]")) << lines;
}

}  // namespace
