// Compile-time checks of the binary layout that applications see. Nothing
// here runs: a header change that moves a field, drops the 1-byte packing on
// Windows or changes the width of CK_ULONG stops the build instead of
// corrupting an application's memory.
//
// Windows: every structure packed to 1 byte, CK_ULONG 32 bits, pointers 8
// bytes, so a pointer inside a structure sits at an unaligned offset.
// Linux: the natural LP64 layout every Unix Cryptoki client is compiled with.
#include <cstddef>

#include "cryptoki.h"

namespace {

// Offset of entry `slot` of a table of function pointers that starts at `base`.
constexpr std::size_t entryOffset(std::size_t base, std::size_t slot) {
    return base + slot * sizeof(void*);
}

constexpr std::size_t FUNCTION_LIST_ENTRIES = 68;
constexpr std::size_t PRIVATE_LIST_ENTRIES = 16;

static_assert(sizeof(CK_BYTE) == 1 && sizeof(CK_BBOOL) == 1 && sizeof(CK_UTF8CHAR) == 1);
static_assert(sizeof(CK_VERSION) == 2);
static_assert(offsetof(CK_VERSION, major) == 0 && offsetof(CK_VERSION, minor) == 1);
static_assert(sizeof(CK_RV) == sizeof(CK_ULONG));
static_assert(sizeof(CK_SLOT_ID) == sizeof(CK_ULONG));
static_assert(sizeof(CK_SESSION_HANDLE) == sizeof(CK_ULONG));
static_assert(sizeof(CK_OBJECT_HANDLE) == sizeof(CK_ULONG));
static_assert(sizeof(CK_ATTRIBUTE_TYPE) == sizeof(CK_ULONG));
static_assert(sizeof(CK_MECHANISM_TYPE) == sizeof(CK_ULONG));
static_assert(sizeof(CK_FLAGS) == sizeof(CK_ULONG));

// The standard list: a 2-byte version, then 68 pointers in the standard order
// (from byte 2 on Windows, from the next pointer boundary on Linux).
constexpr std::size_t LIST_BASE = offsetof(CK_FUNCTION_LIST, C_Initialize);
static_assert(offsetof(CK_FUNCTION_LIST, version) == 0);
static_assert(sizeof(CK_FUNCTION_LIST) == entryOffset(LIST_BASE, FUNCTION_LIST_ENTRIES));
static_assert(offsetof(CK_FUNCTION_LIST, C_Initialize) == entryOffset(LIST_BASE, 0));
static_assert(offsetof(CK_FUNCTION_LIST, C_Finalize) == entryOffset(LIST_BASE, 1));
static_assert(offsetof(CK_FUNCTION_LIST, C_GetInfo) == entryOffset(LIST_BASE, 2));
static_assert(offsetof(CK_FUNCTION_LIST, C_GetFunctionList) == entryOffset(LIST_BASE, 3));
static_assert(offsetof(CK_FUNCTION_LIST, C_GetTokenInfo) == entryOffset(LIST_BASE, 6));
static_assert(offsetof(CK_FUNCTION_LIST, C_SetPIN) == entryOffset(LIST_BASE, 11));
static_assert(offsetof(CK_FUNCTION_LIST, C_OpenSession) == entryOffset(LIST_BASE, 12));
static_assert(offsetof(CK_FUNCTION_LIST, C_Login) == entryOffset(LIST_BASE, 18));
static_assert(offsetof(CK_FUNCTION_LIST, C_CreateObject) == entryOffset(LIST_BASE, 20));
static_assert(offsetof(CK_FUNCTION_LIST, C_DestroyObject) == entryOffset(LIST_BASE, 22));
static_assert(offsetof(CK_FUNCTION_LIST, C_GetAttributeValue) == entryOffset(LIST_BASE, 24));
static_assert(offsetof(CK_FUNCTION_LIST, C_FindObjectsFinal) == entryOffset(LIST_BASE, 28));
static_assert(offsetof(CK_FUNCTION_LIST, C_EncryptInit) == entryOffset(LIST_BASE, 29));
static_assert(offsetof(CK_FUNCTION_LIST, C_DecryptInit) == entryOffset(LIST_BASE, 33));
static_assert(offsetof(CK_FUNCTION_LIST, C_DigestInit) == entryOffset(LIST_BASE, 37));
static_assert(offsetof(CK_FUNCTION_LIST, C_SignInit) == entryOffset(LIST_BASE, 42));
static_assert(offsetof(CK_FUNCTION_LIST, C_Sign) == entryOffset(LIST_BASE, 43));
static_assert(offsetof(CK_FUNCTION_LIST, C_VerifyInit) == entryOffset(LIST_BASE, 48));
static_assert(offsetof(CK_FUNCTION_LIST, C_DigestEncryptUpdate) == entryOffset(LIST_BASE, 54));
static_assert(offsetof(CK_FUNCTION_LIST, C_GenerateKey) == entryOffset(LIST_BASE, 58));
static_assert(offsetof(CK_FUNCTION_LIST, C_GenerateKeyPair) == entryOffset(LIST_BASE, 59));
static_assert(offsetof(CK_FUNCTION_LIST, C_WrapKey) == entryOffset(LIST_BASE, 60));
static_assert(offsetof(CK_FUNCTION_LIST, C_SeedRandom) == entryOffset(LIST_BASE, 63));
static_assert(offsetof(CK_FUNCTION_LIST, C_GenerateRandom) == entryOffset(LIST_BASE, 64));
static_assert(offsetof(CK_FUNCTION_LIST, C_GetFunctionStatus) == entryOffset(LIST_BASE, 65));
static_assert(offsetof(CK_FUNCTION_LIST, C_WaitForSlotEvent) == entryOffset(LIST_BASE, 67));

// The private list: sixteen pointers and no version.
static_assert(sizeof(CK_PRIVATE_FUNCTION_LIST) == entryOffset(0, PRIVATE_LIST_ENTRIES));
static_assert(offsetof(CK_PRIVATE_FUNCTION_LIST, C_GetP15TokenInfo) == entryOffset(0, 0));
static_assert(offsetof(CK_PRIVATE_FUNCTION_LIST, C_GetPrivateFunctionList) == entryOffset(0, 1));
static_assert(offsetof(CK_PRIVATE_FUNCTION_LIST, C_GetATR) == entryOffset(0, 5));
static_assert(offsetof(CK_PRIVATE_FUNCTION_LIST, C_GetAppletVersion) == entryOffset(0, 12));
static_assert(offsetof(CK_PRIVATE_FUNCTION_LIST, C_GetCardId) == entryOffset(0, 15));

#if defined(_WIN32)

static_assert(sizeof(CK_ULONG) == 4);
static_assert(sizeof(void*) == 8);
static_assert(LIST_BASE == 2);

static_assert(sizeof(CK_INFO) == 72);
static_assert(offsetof(CK_INFO, cryptokiVersion) == 0);
static_assert(offsetof(CK_INFO, manufacturerID) == 2);
static_assert(offsetof(CK_INFO, flags) == 34);
static_assert(offsetof(CK_INFO, libraryDescription) == 38);
static_assert(offsetof(CK_INFO, libraryVersion) == 70);

static_assert(sizeof(CK_SLOT_INFO) == 104);
static_assert(offsetof(CK_SLOT_INFO, slotDescription) == 0);
static_assert(offsetof(CK_SLOT_INFO, manufacturerID) == 64);
static_assert(offsetof(CK_SLOT_INFO, flags) == 96);
static_assert(offsetof(CK_SLOT_INFO, hardwareVersion) == 100);
static_assert(offsetof(CK_SLOT_INFO, firmwareVersion) == 102);

static_assert(sizeof(CK_TOKEN_INFO) == 160);
static_assert(offsetof(CK_TOKEN_INFO, label) == 0);
static_assert(offsetof(CK_TOKEN_INFO, manufacturerID) == 32);
static_assert(offsetof(CK_TOKEN_INFO, model) == 64);
static_assert(offsetof(CK_TOKEN_INFO, serialNumber) == 80);
static_assert(offsetof(CK_TOKEN_INFO, flags) == 96);
static_assert(offsetof(CK_TOKEN_INFO, ulMaxSessionCount) == 100);
static_assert(offsetof(CK_TOKEN_INFO, ulSessionCount) == 104);
static_assert(offsetof(CK_TOKEN_INFO, ulMaxRwSessionCount) == 108);
static_assert(offsetof(CK_TOKEN_INFO, ulRwSessionCount) == 112);
static_assert(offsetof(CK_TOKEN_INFO, ulMaxPinLen) == 116);
static_assert(offsetof(CK_TOKEN_INFO, ulMinPinLen) == 120);
static_assert(offsetof(CK_TOKEN_INFO, ulTotalPublicMemory) == 124);
static_assert(offsetof(CK_TOKEN_INFO, ulFreePublicMemory) == 128);
static_assert(offsetof(CK_TOKEN_INFO, ulTotalPrivateMemory) == 132);
static_assert(offsetof(CK_TOKEN_INFO, ulFreePrivateMemory) == 136);
static_assert(offsetof(CK_TOKEN_INFO, hardwareVersion) == 140);
static_assert(offsetof(CK_TOKEN_INFO, firmwareVersion) == 142);
static_assert(offsetof(CK_TOKEN_INFO, utcTime) == 144);

static_assert(sizeof(CK_SESSION_INFO) == 16);
static_assert(offsetof(CK_SESSION_INFO, slotID) == 0);
static_assert(offsetof(CK_SESSION_INFO, state) == 4);
static_assert(offsetof(CK_SESSION_INFO, flags) == 8);
static_assert(offsetof(CK_SESSION_INFO, ulDeviceError) == 12);

static_assert(sizeof(CK_MECHANISM_INFO) == 12);
static_assert(offsetof(CK_MECHANISM_INFO, ulMinKeySize) == 0);
static_assert(offsetof(CK_MECHANISM_INFO, ulMaxKeySize) == 4);
static_assert(offsetof(CK_MECHANISM_INFO, flags) == 8);

// 16, not 12: the 8-byte pointer follows the 4-byte type unaligned.
static_assert(sizeof(CK_ATTRIBUTE) == 16);
static_assert(offsetof(CK_ATTRIBUTE, type) == 0);
static_assert(offsetof(CK_ATTRIBUTE, pValue) == 4);
static_assert(offsetof(CK_ATTRIBUTE, ulValueLen) == 12);

static_assert(sizeof(CK_MECHANISM) == 16);
static_assert(offsetof(CK_MECHANISM, mechanism) == 0);
static_assert(offsetof(CK_MECHANISM, pParameter) == 4);
static_assert(offsetof(CK_MECHANISM, ulParameterLen) == 12);

static_assert(sizeof(CK_DATE) == 8);

#else

static_assert(sizeof(CK_ULONG) == 8);
static_assert(LIST_BASE == alignof(void*));

static_assert(sizeof(CK_INFO) == 88);
static_assert(offsetof(CK_INFO, manufacturerID) == 2);
static_assert(offsetof(CK_INFO, flags) == 40);
static_assert(offsetof(CK_INFO, libraryDescription) == 48);
static_assert(offsetof(CK_INFO, libraryVersion) == 80);

static_assert(sizeof(CK_SLOT_INFO) == 112);
static_assert(offsetof(CK_SLOT_INFO, flags) == 96);
static_assert(offsetof(CK_SLOT_INFO, hardwareVersion) == 104);

static_assert(sizeof(CK_TOKEN_INFO) == 208);
static_assert(offsetof(CK_TOKEN_INFO, flags) == 96);
static_assert(offsetof(CK_TOKEN_INFO, ulFreePrivateMemory) == 176);
static_assert(offsetof(CK_TOKEN_INFO, hardwareVersion) == 184);
static_assert(offsetof(CK_TOKEN_INFO, utcTime) == 188);

static_assert(sizeof(CK_SESSION_INFO) == 32);
static_assert(sizeof(CK_MECHANISM_INFO) == 24);
static_assert(sizeof(CK_ATTRIBUTE) == 24);
static_assert(offsetof(CK_ATTRIBUTE, pValue) == 8);
static_assert(sizeof(CK_MECHANISM) == 24);

#endif

}  // namespace
