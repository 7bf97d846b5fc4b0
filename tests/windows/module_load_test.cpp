// Loads the built zentrik-pkcs11.dll the way a Windows application does and
// checks its binary surface: the three exports by name and ordinal, the
// function list layout (version, then unaligned 8-byte pointers from byte 2)
// and the packed 72-byte CK_INFO. The layouts are read from raw bytes here on
// purpose, so this test does not share the module's own header and catches a
// header that drifts from the Windows Cryptoki conventions.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// Win64 is LLP64: unsigned long, and so CK_RV and CK_ULONG, is 32 bits.
using RawRv = unsigned long;
static_assert(sizeof(RawRv) == 4, "CK_RV is 32 bits on Windows");
using VoidArgFunction = RawRv (*)(void*);

constexpr RawRv CKR_OK = 0x0;
constexpr RawRv CKR_ARGUMENTS_BAD = 0x7;
constexpr RawRv CKR_CRYPTOKI_NOT_INITIALIZED = 0x190;
constexpr RawRv CKR_CRYPTOKI_ALREADY_INITIALIZED = 0x191;

constexpr const char* MODULE_FILE = "zentrik-pkcs11.dll";
constexpr std::size_t FUNCTION_LIST_SLOTS = 68;
constexpr std::size_t PRIVATE_LIST_SLOTS = 16;
constexpr std::size_t CK_INFO_SIZE = 72;

struct Export {
    const char* name;
    WORD ordinal;
};
constexpr std::array<Export, 3> EXPORTS{{
    {"C_GetPrivateFunctionList", 1},
    {"C_GetFunctionList", 2},
    {"C_Initialize", 3},
}};

// Reads the pointer stored at a byte offset that need not be aligned.
const void* pointerAt(const void* base, std::size_t offset) {
    const void* value;
    std::memcpy(&value, static_cast<const unsigned char*>(base) + offset, sizeof value);
    return value;
}

const void* asAddress(FARPROC procedure) { return reinterpret_cast<const void*>(procedure); }

template <typename Function>
Function asFunction(const void* address) {
    return reinterpret_cast<Function>(const_cast<void*>(address));
}

std::string blankPadded(const char* text, std::size_t width) {
    std::string field(text);
    field.resize(width, ' ');
    return field;
}

class ModuleLoad : public ::testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryA(MODULE_FILE);
        ASSERT_NE(nullptr, module) << "LoadLibraryA failed, error " << GetLastError();
    }

    void TearDown() override {
        if (module != nullptr) {
            EXPECT_TRUE(FreeLibrary(module) != FALSE);
        }
    }

    FARPROC byName(const char* name) const { return GetProcAddress(module, name); }
    FARPROC byOrdinal(WORD ordinal) const {
        return GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    }

    // The standard function list as raw bytes.
    const unsigned char* functionList() const {
        auto getFunctionList =
            asFunction<RawRv (*)(const void**)>(asAddress(byName("C_GetFunctionList")));
        const void* list = nullptr;
        if (getFunctionList == nullptr || getFunctionList(&list) != CKR_OK) {
            return nullptr;
        }
        return static_cast<const unsigned char*>(list);
    }

    VoidArgFunction listEntry(std::size_t slot) const {
        return asFunction<VoidArgFunction>(pointerAt(functionList(), 2 + slot * sizeof(void*)));
    }

    HMODULE module = nullptr;
};

TEST_F(ModuleLoad, ExportsResolveByNameAndByOrdinal) {
    for (const Export& entry : EXPORTS) {
        SCOPED_TRACE(entry.name);
        FARPROC named = byName(entry.name);
        ASSERT_NE(nullptr, named);
        EXPECT_EQ(asAddress(named), asAddress(byOrdinal(entry.ordinal)));
    }
}

TEST_F(ModuleLoad, NothingElseIsExported) {
    EXPECT_EQ(nullptr, asAddress(byOrdinal(4)));
    for (const char* hidden : {"C_Finalize", "C_GetInfo", "C_OpenSession", "C_Sign"}) {
        SCOPED_TRACE(hidden);
        EXPECT_EQ(nullptr, asAddress(byName(hidden)));
    }
}

TEST_F(ModuleLoad, GetFunctionListRefusesNullPointer) {
    auto getFunctionList = asFunction<RawRv (*)(const void**)>(asAddress(byName("C_GetFunctionList")));
    ASSERT_NE(nullptr, getFunctionList);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, getFunctionList(nullptr));
}

TEST_F(ModuleLoad, FunctionListIsVersion220WithUnalignedPointersFromByteTwo) {
    const unsigned char* list = functionList();
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(2, list[0]);
    EXPECT_EQ(20, list[1]);
    // Slot 0 is C_Initialize and slot 3 C_GetFunctionList: the same code as the exports.
    EXPECT_EQ(asAddress(byName("C_Initialize")), pointerAt(list, 2 + 0 * sizeof(void*)));
    EXPECT_EQ(asAddress(byName("C_GetFunctionList")), pointerAt(list, 2 + 3 * sizeof(void*)));
    for (std::size_t slot = 0; slot < FUNCTION_LIST_SLOTS; ++slot) {
        SCOPED_TRACE(slot);
        EXPECT_NE(nullptr, pointerAt(list, 2 + slot * sizeof(void*)));
    }
}

TEST_F(ModuleLoad, PrivateFunctionListHasSixteenEntriesWithoutVersion) {
    auto getPrivate =
        asFunction<RawRv (*)(const void**)>(asAddress(byName("C_GetPrivateFunctionList")));
    ASSERT_NE(nullptr, getPrivate);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, getPrivate(nullptr));
    const void* table = nullptr;
    ASSERT_EQ(CKR_OK, getPrivate(&table));
    ASSERT_NE(nullptr, table);
    // Entry 1 is C_GetPrivateFunctionList itself.
    EXPECT_EQ(asAddress(byName("C_GetPrivateFunctionList")), pointerAt(table, 1 * sizeof(void*)));
    for (std::size_t slot = 0; slot < PRIVATE_LIST_SLOTS; ++slot) {
        SCOPED_TRACE(slot);
        EXPECT_NE(nullptr, pointerAt(table, slot * sizeof(void*)));
    }
}

TEST_F(ModuleLoad, GetInfoBeforeInitializeIsRefused) {
    ASSERT_NE(nullptr, functionList());
    VoidArgFunction getInfo = listEntry(2);
    std::array<unsigned char, CK_INFO_SIZE> info{};
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, getInfo(info.data()));
}

TEST_F(ModuleLoad, InitializeGetInfoFinalizeThroughTheExportsAndTheList) {
    ASSERT_NE(nullptr, functionList());
    auto initialize = asFunction<VoidArgFunction>(asAddress(byName("C_Initialize")));
    VoidArgFunction finalize = listEntry(1);
    VoidArgFunction getInfo = listEntry(2);

    ASSERT_EQ(CKR_OK, initialize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, initialize(nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, getInfo(nullptr));

    // One guard byte on either side shows that exactly 72 bytes are written.
    std::array<unsigned char, CK_INFO_SIZE + 2> buffer;
    buffer.fill(0xCC);
    unsigned char* info = buffer.data() + 1;
    EXPECT_EQ(CKR_OK, getInfo(info));
    EXPECT_EQ(0xCC, buffer.front());
    EXPECT_EQ(0xCC, buffer.back());

    EXPECT_EQ(2, info[0]);
    EXPECT_EQ(20, info[1]);
    EXPECT_EQ(blankPadded("Velmoran s.r.o.", 32), std::string(info + 2, info + 34));
    std::uint32_t flags;
    std::memcpy(&flags, info + 34, sizeof flags);
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(blankPadded("Zentrik 3.0 PKCS#11", 32), std::string(info + 38, info + 70));
    EXPECT_EQ(3, info[70]);
    EXPECT_EQ(0, info[71]);

    EXPECT_EQ(CKR_OK, finalize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, finalize(nullptr));
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, getInfo(info));
}

TEST_F(ModuleLoad, InitializeFinalizeCycleRepeats) {
    auto initialize = asFunction<VoidArgFunction>(asAddress(byName("C_Initialize")));
    ASSERT_NE(nullptr, functionList());
    VoidArgFunction finalize = listEntry(1);
    for (int cycle = 0; cycle < 3; ++cycle) {
        SCOPED_TRACE(cycle);
        EXPECT_EQ(CKR_OK, initialize(nullptr));
        EXPECT_EQ(CKR_OK, finalize(nullptr));
    }
}

}  // namespace
