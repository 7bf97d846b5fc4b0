// Loads the built zentrik-pkcs11.dll the way a Windows application does and
// checks its binary surface: the three exports by name and ordinal, the
// function list layout (version, then unaligned 8-byte pointers from byte 2),
// the packed 72-byte CK_INFO and, with a simulated card in a reader, the
// packed 160-byte CK_TOKEN_INFO. The layouts are read from raw bytes here on
// purpose, so this test does not share the module's own header and catches a
// header that drifts from the Windows Cryptoki conventions.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Win64 is LLP64: unsigned long, and so CK_RV and CK_ULONG, is 32 bits.
using RawRv = unsigned long;
static_assert(sizeof(RawRv) == 4, "CK_RV is 32 bits on Windows");
using VoidArgFunction = RawRv (*)(void*);

constexpr RawRv CKR_OK = 0x0;
constexpr RawRv CKR_ARGUMENTS_BAD = 0x7;
constexpr RawRv CKR_CRYPTOKI_NOT_INITIALIZED = 0x190;
constexpr RawRv CKR_CRYPTOKI_ALREADY_INITIALIZED = 0x191;
constexpr RawRv CKR_TOKEN_NOT_PRESENT = 0xE0;

constexpr const char* MODULE_FILE = "zentrik-pkcs11.dll";
constexpr std::size_t FUNCTION_LIST_SLOTS = 68;
constexpr std::size_t PRIVATE_LIST_SLOTS = 16;
constexpr std::size_t CK_INFO_SIZE = 72;
constexpr std::size_t CK_SLOT_INFO_SIZE = 104;
constexpr std::size_t CK_TOKEN_INFO_SIZE = 160;

// Function list slots beyond the first four.
constexpr std::size_t SLOT_GET_SLOT_LIST = 4;
constexpr std::size_t SLOT_GET_SLOT_INFO = 5;
constexpr std::size_t SLOT_GET_TOKEN_INFO = 6;
constexpr std::size_t SLOT_OPEN_SESSION = 12;
constexpr std::size_t SLOT_CLOSE_SESSION = 13;

// RNG, login required, user PIN initialised, restore key not needed, token
// initialised; a pin-pad reader would add the protected authentication path.
constexpr std::uint32_t PLAIN_READER_TOKEN_FLAGS = 0x42D;
constexpr std::uint32_t CKF_RW_SESSION = 0x2;
constexpr std::uint32_t CKF_SERIAL_SESSION = 0x4;
constexpr std::uint32_t CK_EFFECTIVELY_INFINITE = 0;
constexpr std::uint32_t CK_UNAVAILABLE_INFORMATION = 0xFFFFFFFF;

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

std::string blankPadded(const std::string& text, std::size_t width) {
    std::string field(text);
    field.resize(width, ' ');
    return field;
}

// The little-endian 32-bit value at a byte offset.
std::uint32_t u32At(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

std::string textAt(const unsigned char* bytes, std::size_t offset, std::size_t width) {
    return std::string(bytes + offset, bytes + offset + width);
}

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::uint32_t environmentNumber(const char* name) {
    return static_cast<std::uint32_t>(std::strtoul(environmentValue(name).c_str(), nullptr, 10));
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

// An elevated process inherits its user's environment: ZENTRIK_CONF naming
// a configuration that turns the trace on in a folder of the user's choice
// must not reach the module, which reads only the file in the Windows
// directory. The first traced call of this load builds the configuration.
TEST_F(ModuleLoad, ZentrikConfIsNotReadByTheModule) {
    char temporary[MAX_PATH + 1] = {};
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, temporary));
    const std::string dir = std::string(temporary) + "zentrik-conf-" + std::to_string(GetCurrentProcessId());
    const std::string logs = dir + "\\logs";
    CreateDirectoryA(dir.c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryA(logs.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    const std::string conf = dir + "\\zentrik.txt";
    std::FILE* file = std::fopen(conf.c_str(), "w");
    ASSERT_NE(nullptr, file);
    std::fprintf(file, "loglevel = 1\nlogpath = %s\n", logs.c_str());
    std::fclose(file);
    ASSERT_TRUE(SetEnvironmentVariableA("ZENTRIK_CONF", conf.c_str()));

    ASSERT_NE(nullptr, functionList());
    std::array<unsigned char, CK_INFO_SIZE> info{};
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, listEntry(2)(info.data()));
    SetEnvironmentVariableA("ZENTRIK_CONF", nullptr);

    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((logs + "\\*.log").c_str(), &entry);
    const bool logWritten = search != INVALID_HANDLE_VALUE;
    while (search != INVALID_HANDLE_VALUE) {
        DeleteFileA((logs + "\\" + entry.cFileName).c_str());
        if (!FindNextFileA(search, &entry)) break;
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    DeleteFileA(conf.c_str());
    RemoveDirectoryA(logs.c_str());
    RemoveDirectoryA(dir.c_str());
    EXPECT_FALSE(logWritten);
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

// The card the pcscd wrapper serves (run-with-pcscd.sh --card) and what its
// image says about itself.
struct BenchCard {
    std::string reader;
    std::string emptyReader;
    std::string serial;
    int major = 0;
    int minor = 0;
    std::uint32_t totalMemory = 0;
    std::uint32_t freeMemory = 0;
};

BenchCard benchCard() {
    BenchCard card;
    card.reader = environmentValue("ZENTRIK_BENCH_CARD_READER");
    const std::string readers = environmentValue("ZENTRIK_BENCH_READERS");
    const std::size_t bar = readers.find('|');
    if (bar != std::string::npos) {
        const std::string first = readers.substr(0, bar);
        const std::string second = readers.substr(bar + 1);
        card.emptyReader = first == card.reader ? second : first;
    }
    card.serial = environmentValue("ZENTRIK_BENCH_CARD_SERIAL");
    const std::string version = environmentValue("ZENTRIK_BENCH_CARD_VERSION");
    card.major = std::atoi(version.c_str());
    const std::size_t dot = version.find('.');
    if (dot != std::string::npos) card.minor = std::atoi(version.c_str() + dot + 1);
    card.totalMemory = environmentNumber("ZENTRIK_BENCH_CARD_TOTAL_MEMORY");
    card.freeMemory = environmentNumber("ZENTRIK_BENCH_CARD_FREE_MEMORY");
    return card;
}

class TokenInfoOnWindowsAbi : public ModuleLoad {
protected:
    using GetSlotList = RawRv (*)(unsigned char, std::uint32_t*, std::uint32_t*);
    using GetSlotInfo = RawRv (*)(std::uint32_t, unsigned char*);
    using GetTokenInfo = RawRv (*)(std::uint32_t, unsigned char*);
    using OpenSession = RawRv (*)(std::uint32_t, std::uint32_t, void*, void*, std::uint32_t*);
    using CloseSession = RawRv (*)(std::uint32_t);

    void SetUp() override {
        card = benchCard();
        if (card.reader.empty()) {
            GTEST_SKIP() << "no simulated card (run-with-pcscd.sh --card with ZENTRIK_CARDSIM)";
        }
        ModuleLoad::SetUp();
        ASSERT_NE(nullptr, functionList());
        ASSERT_EQ(CKR_OK, asFunction<VoidArgFunction>(asAddress(byName("C_Initialize")))(nullptr));
        initialized = true;
    }

    void TearDown() override {
        if (initialized) {
            EXPECT_EQ(CKR_OK, listEntry(1)(nullptr));
        }
        ModuleLoad::TearDown();
    }

    template <typename Function>
    Function entry(std::size_t slot) const {
        return asFunction<Function>(pointerAt(functionList(), 2 + slot * sizeof(void*)));
    }

    // The slot whose description is the reader's name.
    std::uint32_t slotOfReader(const std::string& reader) const {
        std::uint32_t count = 0;
        EXPECT_EQ(CKR_OK, entry<GetSlotList>(SLOT_GET_SLOT_LIST)(0, nullptr, &count));
        std::vector<std::uint32_t> slots(count);
        EXPECT_EQ(CKR_OK, entry<GetSlotList>(SLOT_GET_SLOT_LIST)(0, slots.data(), &count));
        for (std::uint32_t slot : slots) {
            std::array<unsigned char, CK_SLOT_INFO_SIZE> info{};
            EXPECT_EQ(CKR_OK, entry<GetSlotInfo>(SLOT_GET_SLOT_INFO)(slot, info.data()));
            if (textAt(info.data(), 0, 64) == blankPadded(reader, 64)) return slot;
        }
        ADD_FAILURE() << "no slot for reader " << reader;
        return 0xFFFFFFFF;
    }

    // C_GetTokenInfo into a buffer with a guard byte on either side, which
    // shows that exactly 160 bytes are written.
    RawRv tokenInfo(std::uint32_t slot, std::array<unsigned char, CK_TOKEN_INFO_SIZE>& info) const {
        std::array<unsigned char, CK_TOKEN_INFO_SIZE + 2> buffer;
        buffer.fill(0xCC);
        const RawRv rv = entry<GetTokenInfo>(SLOT_GET_TOKEN_INFO)(slot, buffer.data() + 1);
        EXPECT_EQ(0xCC, buffer.front());
        EXPECT_EQ(0xCC, buffer.back());
        std::memcpy(info.data(), buffer.data() + 1, CK_TOKEN_INFO_SIZE);
        return rv;
    }

    std::uint32_t sessionCount(std::uint32_t slot) const {
        std::array<unsigned char, CK_TOKEN_INFO_SIZE> info{};
        EXPECT_EQ(CKR_OK, tokenInfo(slot, info));
        EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, u32At(info.data(), 112));
        return u32At(info.data(), 104);
    }

    BenchCard card;
    bool initialized = false;
};

TEST_F(TokenInfoOnWindowsAbi, DescribesTheSimulatedCardByteForByte) {
    const std::uint32_t slot = slotOfReader(card.reader);
    std::array<unsigned char, CK_TOKEN_INFO_SIZE> info;
    info.fill(0xCC);
    ASSERT_EQ(CKR_OK, tokenInfo(slot, info));
    const unsigned char* bytes = info.data();

    const std::string version = std::to_string(card.major) + "." + std::to_string(card.minor);
    EXPECT_EQ(blankPadded("Zentrik " + version + " Ferrix", 32), textAt(bytes, 0, 32));
    EXPECT_EQ(blankPadded("Velmoran s.r.o.", 32), textAt(bytes, 32, 32));
    EXPECT_EQ(blankPadded("Ferrix", 16), textAt(bytes, 64, 16));
    std::string serial = card.serial;
    for (char& digit : serial) digit = static_cast<char>(std::toupper(static_cast<unsigned char>(digit)));
    ASSERT_EQ(16u, serial.size());
    EXPECT_EQ(serial, textAt(bytes, 80, 16));
    EXPECT_EQ(PLAIN_READER_TOKEN_FLAGS, u32At(bytes, 96));
    EXPECT_EQ(CK_EFFECTIVELY_INFINITE, u32At(bytes, 100));
    EXPECT_EQ(0u, u32At(bytes, 104));
    EXPECT_EQ(CK_EFFECTIVELY_INFINITE, u32At(bytes, 108));
    EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, u32At(bytes, 112));
    EXPECT_EQ(16u, u32At(bytes, 116));
    EXPECT_EQ(4u, u32At(bytes, 120));
    ASSERT_LT(0u, card.totalMemory);
    EXPECT_EQ(card.totalMemory, u32At(bytes, 124));
    EXPECT_EQ(card.freeMemory, u32At(bytes, 128));
    EXPECT_EQ(card.totalMemory, u32At(bytes, 132));
    EXPECT_EQ(card.freeMemory, u32At(bytes, 136));
    EXPECT_EQ(card.major, bytes[140]);
    EXPECT_EQ(card.minor, bytes[141]);
    EXPECT_EQ(card.major, bytes[142]);
    EXPECT_EQ(card.minor, bytes[143]);
    EXPECT_EQ(std::string(16, '\0'), textAt(bytes, 144, 16));
}

TEST_F(TokenInfoOnWindowsAbi, CountsTheOpenSessionsOfTheSlot) {
    const std::uint32_t slot = slotOfReader(card.reader);
    auto openSession = entry<OpenSession>(SLOT_OPEN_SESSION);
    auto closeSession = entry<CloseSession>(SLOT_CLOSE_SESSION);
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    ASSERT_EQ(CKR_OK, openSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &first));
    EXPECT_EQ(1u, sessionCount(slot));
    ASSERT_EQ(CKR_OK, openSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &second));
    EXPECT_NE(first, second);
    EXPECT_EQ(2u, sessionCount(slot));
    EXPECT_EQ(CKR_OK, closeSession(first));
    EXPECT_EQ(1u, sessionCount(slot));
    EXPECT_EQ(CKR_OK, closeSession(second));
    EXPECT_EQ(0u, sessionCount(slot));
}

TEST_F(TokenInfoOnWindowsAbi, EmptyReaderHasNoToken) {
    ASSERT_FALSE(card.emptyReader.empty());
    const std::uint32_t slot = slotOfReader(card.emptyReader);
    std::array<unsigned char, CK_TOKEN_INFO_SIZE> info;
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, tokenInfo(slot, info));
}

// Cryptoki templates in the packed Windows layout: CK_ULONG is 32 bits, the
// pointer 64, so an attribute is 16 bytes.
#pragma pack(push, 1)
struct WindowsAttribute {
    std::uint32_t type;
    void* value;
    std::uint32_t length;
};
#pragma pack(pop)
static_assert(sizeof(WindowsAttribute) == 16, "packed CK_ATTRIBUTE on Win64");

// Runs last: the object it makes and destroys changes the card's free memory.
TEST_F(TokenInfoOnWindowsAbi, ObjectsUseFourByteUlongValues) {
    constexpr std::size_t SLOT_LOGIN = 18, SLOT_CREATE_OBJECT = 20, SLOT_DESTROY_OBJECT = 22,
                          SLOT_GET_ATTRIBUTE_VALUE = 24, SLOT_FIND_OBJECTS_INIT = 26, SLOT_FIND_OBJECTS = 27,
                          SLOT_FIND_OBJECTS_FINAL = 28;
    constexpr std::uint32_t CKA_CLASS = 0, CKA_LABEL = 3, CKU_USER = 1, CKO_DATA = 0;
    constexpr RawRv CKR_ATTRIBUTE_VALUE_INVALID = 0x13;
    using Login = RawRv (*)(std::uint32_t, std::uint32_t, const char*, std::uint32_t);
    using CreateObject = RawRv (*)(std::uint32_t, WindowsAttribute*, std::uint32_t, std::uint32_t*);
    using ObjectCall = RawRv (*)(std::uint32_t, std::uint32_t, WindowsAttribute*, std::uint32_t);
    using FindInit = RawRv (*)(std::uint32_t, WindowsAttribute*, std::uint32_t);
    using Find = RawRv (*)(std::uint32_t, std::uint32_t*, std::uint32_t, std::uint32_t*);
    using SessionCall = RawRv (*)(std::uint32_t);
    using Destroy = RawRv (*)(std::uint32_t, std::uint32_t);

    std::uint32_t session = 0;
    ASSERT_EQ(CKR_OK, entry<OpenSession>(SLOT_OPEN_SESSION)(slotOfReader(card.reader),
                                                            CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                                            nullptr, &session));
    ASSERT_EQ(CKR_OK, entry<Login>(SLOT_LOGIN)(session, CKU_USER, "1234", 4));
    std::uint32_t dataClass = CKO_DATA;
    char label[] = "wine";
    WindowsAttribute object[] = {{CKA_CLASS, &dataClass, 4}, {CKA_LABEL, label, 4}};
    std::uint32_t handle = 0;
    ASSERT_EQ(CKR_OK, entry<CreateObject>(SLOT_CREATE_OBJECT)(session, object, 2, &handle));
    std::uint64_t wide = CKO_DATA;
    WindowsAttribute eightBytes[] = {{CKA_CLASS, &wide, 8}};
    std::uint32_t refused = 0;
    EXPECT_EQ(CKR_ATTRIBUTE_VALUE_INVALID, entry<CreateObject>(SLOT_CREATE_OBJECT)(session, eightBytes, 1, &refused));

    std::uint32_t value = 0xFFFFFFFF;
    WindowsAttribute query[] = {{CKA_CLASS, nullptr, 0}};
    ASSERT_EQ(CKR_OK, entry<ObjectCall>(SLOT_GET_ATTRIBUTE_VALUE)(session, handle, query, 1));
    EXPECT_EQ(4u, query[0].length);
    query[0].value = &value;
    ASSERT_EQ(CKR_OK, entry<ObjectCall>(SLOT_GET_ATTRIBUTE_VALUE)(session, handle, query, 1));
    EXPECT_EQ(CKO_DATA, value);

    ASSERT_EQ(CKR_OK, entry<FindInit>(SLOT_FIND_OBJECTS_INIT)(session, object, 2));
    std::uint32_t found[4] = {};
    std::uint32_t count = 0;
    ASSERT_EQ(CKR_OK, entry<Find>(SLOT_FIND_OBJECTS)(session, found, 4, &count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(handle, found[0]);
    EXPECT_EQ(CKR_OK, entry<SessionCall>(SLOT_FIND_OBJECTS_FINAL)(session));
    EXPECT_EQ(CKR_OK, entry<Destroy>(SLOT_DESTROY_OBJECT)(session, handle));
    EXPECT_EQ(CKR_OK, entry<CloseSession>(SLOT_CLOSE_SESSION)(session));
}

}  // namespace
