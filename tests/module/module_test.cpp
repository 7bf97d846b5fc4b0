// The module's outer surface, through the function lists of the loaded
// library: the lists themselves, initialisation and finalisation, the library
// description, the initialisation test of every locked function and the
// unsupported functions.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "loadedmodule.h"

namespace {

CK_FUNCTION_LIST_PTR p11() { return LoadedModule::instance().list(); }
CK_PRIVATE_FUNCTION_LIST_PTR priv() { return LoadedModule::instance().privateList(); }

// Every test starts and ends with the module uninitialised.
class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override { p11()->C_Finalize(nullptr); }
    void TearDown() override { p11()->C_Finalize(nullptr); }
};

struct CallCase {
    const char* name;
    std::function<CK_RV()> call;
};

void PrintTo(const CallCase& c, std::ostream* os) { *os << c.name; }

std::string caseName(const ::testing::TestParamInfo<CallCase>& info) { return info.param.name; }

TEST_F(ModuleTest, FunctionListHasVersion220AndEveryEntry) {
    CK_FUNCTION_LIST_PTR list = p11();
    EXPECT_EQ(2, list->version.major);
    EXPECT_EQ(20, list->version.minor);
    const auto* entries = reinterpret_cast<const CK_C_Initialize*>(&list->C_Initialize);
    for (int i = 0; i < 68; ++i) {
        EXPECT_NE(nullptr, reinterpret_cast<void*>(entries[i])) << "entry " << i;
    }
    EXPECT_EQ(LoadedModule::instance().symbol("C_Initialize"), reinterpret_cast<void*>(list->C_Initialize));
    EXPECT_EQ(LoadedModule::instance().symbol("C_GetFunctionList"),
              reinterpret_cast<void*>(list->C_GetFunctionList));
}

TEST_F(ModuleTest, GetFunctionListAnswersAtAnyTime) {
    CK_FUNCTION_LIST_PTR before = nullptr;
    EXPECT_EQ(CKR_OK, p11()->C_GetFunctionList(&before));
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_FUNCTION_LIST_PTR during = nullptr;
    EXPECT_EQ(CKR_OK, p11()->C_GetFunctionList(&during));
    ASSERT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
    CK_FUNCTION_LIST_PTR after = nullptr;
    EXPECT_EQ(CKR_OK, p11()->C_GetFunctionList(&after));
    EXPECT_EQ(p11(), before);
    EXPECT_EQ(before, during);
    EXPECT_EQ(before, after);
}

TEST_F(ModuleTest, GetFunctionListWithoutAddressIsArgumentsBad) {
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetFunctionList(nullptr));
}

TEST_F(ModuleTest, InitializeTwiceIsAlreadyInitialized) {
    EXPECT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, p11()->C_Initialize(nullptr));
}

TEST_F(ModuleTest, FinalizeTwiceIsNotInitialized) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    EXPECT_EQ(CKR_OK, p11()->C_Finalize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_Finalize(nullptr));
}

TEST_F(ModuleTest, InitializeAndFinalizeRepeat) {
    for (int cycle = 0; cycle < 3; ++cycle) {
        EXPECT_EQ(CKR_OK, p11()->C_Initialize(nullptr)) << "cycle " << cycle;
        EXPECT_EQ(CKR_OK, p11()->C_Finalize(nullptr)) << "cycle " << cycle;
    }
}

TEST_F(ModuleTest, InitializeIgnoresItsArguments) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = 0xFFFF0000UL;  // not a flag of any kind
    int reserved = 0;
    args.pReserved = &reserved;  // must be null by the book
    EXPECT_EQ(CKR_OK, p11()->C_Initialize(&args));
}

TEST_F(ModuleTest, InitializeAcceptsHalfAMutexCallbackSet) {
    CK_C_INITIALIZE_ARGS args{};
    args.CreateMutex = [](CK_VOID_PTR_PTR) -> CK_RV { return CKR_GENERAL_ERROR; };
    args.flags = CKF_OS_LOCKING_OK;
    EXPECT_EQ(CKR_OK, p11()->C_Initialize(&args));
}

TEST_F(ModuleTest, GetInfoBeforeInitializeIsNotInitialized) {
    CK_INFO info;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_GetInfo(&info));
}

TEST_F(ModuleTest, GetInfoWithoutBufferIsArgumentsBad) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_GetInfo(nullptr));
}

TEST_F(ModuleTest, GetInfoDescribesTheLibraryWithBlankPaddedTexts) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    CK_INFO info;
    std::memset(&info, 0xCC, sizeof info);
    ASSERT_EQ(CKR_OK, p11()->C_GetInfo(&info));
    EXPECT_EQ(2, info.cryptokiVersion.major);
    EXPECT_EQ(20, info.cryptokiVersion.minor);
    EXPECT_EQ(std::string("Velmoran s.r.o.") + std::string(17, ' '),
              std::string(reinterpret_cast<const char*>(info.manufacturerID), sizeof info.manufacturerID));
    EXPECT_EQ(0UL, info.flags);
    EXPECT_EQ(std::string("Zentrik 3.0 PKCS#11") + std::string(13, ' '),
              std::string(reinterpret_cast<const char*>(info.libraryDescription),
                          sizeof info.libraryDescription));
    EXPECT_EQ(3, info.libraryVersion.major);
    EXPECT_EQ(0, info.libraryVersion.minor);
}

// The case tables are built while tests are registered, before main() has
// prepared the configuration, so the calls reach the module only when run.

// Locked functions refuse to work before C_Initialize, whatever they are
// given; the arguments below would be refused too, so only the
// initialisation test can answer.
std::vector<CallCase> lockedCalls() {
    return {
        {"C_Finalize", [] { return p11()->C_Finalize(nullptr); }},
        {"C_GetInfo", [] { return p11()->C_GetInfo(nullptr); }},
        {"C_GetSlotList", [] { return p11()->C_GetSlotList(CK_FALSE, nullptr, nullptr); }},
        {"C_GetSlotInfo", [] { return p11()->C_GetSlotInfo(0, nullptr); }},
        {"C_GetTokenInfo", [] { return p11()->C_GetTokenInfo(0, nullptr); }},
        {"C_GetMechanismList", [] { return p11()->C_GetMechanismList(0, nullptr, nullptr); }},
        {"C_GetMechanismInfo", [] { return p11()->C_GetMechanismInfo(0, CKM_RSA_PKCS, nullptr); }},
        {"C_SetPIN", [] { return p11()->C_SetPIN(1, nullptr, 0, nullptr, 0); }},
        {"C_OpenSession", [] { return p11()->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr); }},
        {"C_CloseSession", [] { return p11()->C_CloseSession(1); }},
        {"C_CloseAllSessions", [] { return p11()->C_CloseAllSessions(0); }},
        {"C_GetSessionInfo", [] { return p11()->C_GetSessionInfo(1, nullptr); }},
        {"C_Login", [] { return p11()->C_Login(1, CKU_USER, nullptr, 0); }},
        {"C_Logout", [] { return p11()->C_Logout(1); }},
        {"C_CreateObject", [] { return p11()->C_CreateObject(1, nullptr, 0, nullptr); }},
        {"C_DestroyObject", [] { return p11()->C_DestroyObject(1, 1); }},
        {"C_GetAttributeValue", [] { return p11()->C_GetAttributeValue(1, 1, nullptr, 0); }},
        {"C_SetAttributeValue", [] { return p11()->C_SetAttributeValue(1, 1, nullptr, 0); }},
        {"C_FindObjectsInit", [] { return p11()->C_FindObjectsInit(1, nullptr, 0); }},
        {"C_FindObjects", [] { return p11()->C_FindObjects(1, nullptr, 0, nullptr); }},
        {"C_FindObjectsFinal", [] { return p11()->C_FindObjectsFinal(1); }},
        {"C_DecryptInit", [] { return p11()->C_DecryptInit(1, nullptr, 1); }},
        {"C_Decrypt", [] { return p11()->C_Decrypt(1, nullptr, 0, nullptr, nullptr); }},
        {"C_SignInit", [] { return p11()->C_SignInit(1, nullptr, 1); }},
        {"C_Sign", [] { return p11()->C_Sign(1, nullptr, 0, nullptr, nullptr); }},
        {"C_SignUpdate", [] { return p11()->C_SignUpdate(1, nullptr, 0); }},
        {"C_SignFinal", [] { return p11()->C_SignFinal(1, nullptr, nullptr); }},
        {"C_GenerateKeyPair",
         [] { return p11()->C_GenerateKeyPair(1, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr); }},
        {"C_SeedRandom", [] { return p11()->C_SeedRandom(1, nullptr, 0); }},
        {"C_GenerateRandom", [] { return p11()->C_GenerateRandom(1, nullptr, 0); }},
        {"C_UnblockPIN", [] { return priv()->C_UnblockPIN(1, nullptr, 0, nullptr, 0); }},
        {"C_GetVxeiInfo", [] { return priv()->C_GetVxeiInfo(0, nullptr, nullptr); }},
        {"C_GetDataInfo", [] { return priv()->C_GetDataInfo(0, nullptr, nullptr, nullptr, nullptr); }},
        {"C_GetATR", [] { return priv()->C_GetATR(0, nullptr, nullptr); }},
        {"C_GetPinPuk",
         [] {
             return priv()->C_GetPinPuk(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
         }},
        {"C_CanSetPUK", [] { return priv()->C_CanSetPUK(0, nullptr); }},
        {"C_IsJavaCardFamily", [] { return priv()->C_IsJavaCardFamily(0, nullptr, nullptr, nullptr); }},
        {"C_GetAppletVersion", [] { return priv()->C_GetAppletVersion(0, nullptr, nullptr, nullptr); }},
        {"C_GetDefaultCert", [] { return priv()->C_GetDefaultCert(1, nullptr, nullptr); }},
        {"C_SetDefaultCert", [] { return priv()->C_SetDefaultCert(1, nullptr, 0); }},
        {"C_GetCardId", [] { return priv()->C_GetCardId(0, nullptr, nullptr); }},
    };
}

class LockedBeforeInitializeTest : public ModuleTest, public ::testing::WithParamInterface<CallCase> {};

TEST_P(LockedBeforeInitializeTest, IsNotInitialized) {
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, GetParam().call());
}

INSTANTIATE_TEST_SUITE_P(LockedFunctions, LockedBeforeInitializeTest, ::testing::ValuesIn(lockedCalls()),
                         caseName);

// Unsupported functions answer the same before and after C_Initialize and
// never look at their arguments, which are all null or zero here.
std::vector<CallCase> unsupportedCalls() {
    return {
        {"C_InitToken", [] { return p11()->C_InitToken(0, nullptr, 0, nullptr); }},
        {"C_InitPIN", [] { return p11()->C_InitPIN(0, nullptr, 0); }},
        {"C_GetOperationState", [] { return p11()->C_GetOperationState(0, nullptr, nullptr); }},
        {"C_SetOperationState", [] { return p11()->C_SetOperationState(0, nullptr, 0, 0, 0); }},
        {"C_CopyObject", [] { return p11()->C_CopyObject(0, 0, nullptr, 0, nullptr); }},
        {"C_GetObjectSize", [] { return p11()->C_GetObjectSize(0, 0, nullptr); }},
        {"C_EncryptInit", [] { return p11()->C_EncryptInit(0, nullptr, 0); }},
        {"C_Encrypt", [] { return p11()->C_Encrypt(0, nullptr, 0, nullptr, nullptr); }},
        {"C_EncryptUpdate", [] { return p11()->C_EncryptUpdate(0, nullptr, 0, nullptr, nullptr); }},
        {"C_EncryptFinal", [] { return p11()->C_EncryptFinal(0, nullptr, nullptr); }},
        {"C_DecryptUpdate", [] { return p11()->C_DecryptUpdate(0, nullptr, 0, nullptr, nullptr); }},
        {"C_DecryptFinal", [] { return p11()->C_DecryptFinal(0, nullptr, nullptr); }},
        {"C_DigestInit", [] { return p11()->C_DigestInit(0, nullptr); }},
        {"C_Digest", [] { return p11()->C_Digest(0, nullptr, 0, nullptr, nullptr); }},
        {"C_DigestUpdate", [] { return p11()->C_DigestUpdate(0, nullptr, 0); }},
        {"C_DigestKey", [] { return p11()->C_DigestKey(0, 0); }},
        {"C_DigestFinal", [] { return p11()->C_DigestFinal(0, nullptr, nullptr); }},
        {"C_SignRecoverInit", [] { return p11()->C_SignRecoverInit(0, nullptr, 0); }},
        {"C_SignRecover", [] { return p11()->C_SignRecover(0, nullptr, 0, nullptr, nullptr); }},
        {"C_VerifyInit", [] { return p11()->C_VerifyInit(0, nullptr, 0); }},
        {"C_Verify", [] { return p11()->C_Verify(0, nullptr, 0, nullptr, 0); }},
        {"C_VerifyUpdate", [] { return p11()->C_VerifyUpdate(0, nullptr, 0); }},
        {"C_VerifyFinal", [] { return p11()->C_VerifyFinal(0, nullptr, 0); }},
        {"C_VerifyRecoverInit", [] { return p11()->C_VerifyRecoverInit(0, nullptr, 0); }},
        {"C_VerifyRecover", [] { return p11()->C_VerifyRecover(0, nullptr, 0, nullptr, nullptr); }},
        {"C_DigestEncryptUpdate", [] { return p11()->C_DigestEncryptUpdate(0, nullptr, 0, nullptr, nullptr); }},
        {"C_DecryptDigestUpdate", [] { return p11()->C_DecryptDigestUpdate(0, nullptr, 0, nullptr, nullptr); }},
        {"C_SignEncryptUpdate", [] { return p11()->C_SignEncryptUpdate(0, nullptr, 0, nullptr, nullptr); }},
        {"C_DecryptVerifyUpdate", [] { return p11()->C_DecryptVerifyUpdate(0, nullptr, 0, nullptr, nullptr); }},
        {"C_GenerateKey", [] { return p11()->C_GenerateKey(0, nullptr, nullptr, 0, nullptr); }},
        {"C_WrapKey", [] { return p11()->C_WrapKey(0, nullptr, 0, 0, nullptr, nullptr); }},
        {"C_UnwrapKey", [] { return p11()->C_UnwrapKey(0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr); }},
        {"C_DeriveKey", [] { return p11()->C_DeriveKey(0, nullptr, 0, nullptr, 0, nullptr); }},
        {"C_GetFunctionStatus", [] { return p11()->C_GetFunctionStatus(0); }},
        {"C_CancelFunction", [] { return p11()->C_CancelFunction(0); }},
        {"C_GetLastDataIndex", [] { return priv()->C_GetLastDataIndex(0, nullptr); }},
        {"C_MoveCertLast", [] { return priv()->C_MoveCertLast(0, nullptr); }},
        {"C_SetPUK", [] { return priv()->C_SetPUK(0, nullptr); }},
    };
}

class UnsupportedTest : public ModuleTest, public ::testing::WithParamInterface<CallCase> {};

TEST_P(UnsupportedTest, IsNotSupportedBeforeInitialize) {
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, GetParam().call());
}

TEST_P(UnsupportedTest, IsNotSupportedAfterInitialize) {
    ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, GetParam().call());
}

INSTANTIATE_TEST_SUITE_P(UnsupportedFunctions, UnsupportedTest, ::testing::ValuesIn(unsupportedCalls()),
                         caseName);

TEST_F(ModuleTest, WaitForSlotEventWithoutSlotAddressIsArgumentsBad) {
    EXPECT_EQ(CKR_ARGUMENTS_BAD, p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, nullptr, nullptr));
}

TEST_F(ModuleTest, WaitForSlotEventBeforeInitializeIsNotInitialized) {
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr));
}

// Many threads through the lock at once, with initialisation changing under
// them: every call ends in one of its documented results.
TEST_F(ModuleTest, ConcurrentCallsEndInDocumentedResults) {
    std::vector<std::thread> threads;
    std::atomic<int> unexpected{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&unexpected, t] {
            for (int i = 0; i < 200; ++i) {
                if (t == 0) {
                    CK_RV rv = i % 2 == 0 ? p11()->C_Initialize(nullptr) : p11()->C_Finalize(nullptr);
                    unexpected += rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED &&
                                  rv != CKR_CRYPTOKI_NOT_INITIALIZED;
                } else {
                    CK_INFO info;
                    CK_RV rv = p11()->C_GetInfo(&info);
                    unexpected += rv != CKR_OK && rv != CKR_CRYPTOKI_NOT_INITIALIZED;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, unexpected.load());
}

}  // namespace
