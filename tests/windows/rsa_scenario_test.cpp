// A Windows application's whole session with the card, through the built
// zentrik-pkcs11.dll under Wine, the winscard bridge and the real pcscd with a
// simulated card (run-with-pcscd.sh --card): initialise, slot and token
// information, open a session, log in, generate a 1024-bit key pair on the
// card, read the public key, sign (PKCS #1 v1.5 and SHA-256 with PSS),
// decrypt (PKCS #1 v1.5 and OAEP with a label), destroy the keys, finalise.
//
// The Cryptoki structures are spelled out here in the Windows layout (1-byte
// packing, 32-bit CK_ULONG, 64-bit pointers) instead of taken from the
// module's header, so a DLL built with another layout (an 8-byte CK_ULONG,
// natural alignment) fails this test. The RSA public operation that checks
// the signature and makes the ciphertext is a small bignum routine of the
// test's own, and the PSS and OAEP masks use the project's SHA-256 (checked
// against the FIPS 180-4 answers in its own tests): the executable has no
// crypto library.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sha256.h"
#include "smallbignum.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Rv = unsigned long;
static_assert(sizeof(Rv) == 4, "CK_RV and CK_ULONG are 32 bits on Windows");
using Ulong = std::uint32_t;

constexpr Rv CKR_OK = 0x0;
constexpr Ulong CKF_TOKEN_PRESENT = 0x1, CKF_RW_SESSION = 0x2, CKF_SERIAL_SESSION = 0x4;
constexpr Ulong CKF_GENERATE_KEY_PAIR = 0x10000, CKF_SIGN = 0x800, CKF_DECRYPT = 0x200;
constexpr Ulong CKU_USER = 1;
constexpr Ulong CKO_PUBLIC_KEY = 2, CKO_PRIVATE_KEY = 3, CKK_RSA = 0;
constexpr Ulong CKM_RSA_PKCS_KEY_PAIR_GEN = 0x0, CKM_RSA_PKCS = 0x1, CKM_RSA_PKCS_OAEP = 0x9,
                CKM_SHA256_RSA_PKCS_PSS = 0x43, CKM_SHA256 = 0x250, CKG_MGF1_SHA256 = 0x2, CKZ_DATA_SPECIFIED = 0x1;
constexpr Ulong CKA_CLASS = 0x0, CKA_TOKEN = 0x1, CKA_PRIVATE = 0x2, CKA_LABEL = 0x3, CKA_KEY_TYPE = 0x100,
                CKA_ID = 0x102, CKA_SENSITIVE = 0x103, CKA_ENCRYPT = 0x104, CKA_DECRYPT = 0x105,
                CKA_SIGN = 0x108, CKA_VERIFY = 0x10A, CKA_MODULUS = 0x120, CKA_MODULUS_BITS = 0x121,
                CKA_PUBLIC_EXPONENT = 0x122;

#pragma pack(push, 1)
struct Attribute {
    Ulong type;
    void* value;
    Ulong length;
};
struct Mechanism {
    Ulong mechanism;
    void* parameter;
    Ulong parameterLength;
};
struct PssParams {
    Ulong hashAlg;
    Ulong mgf;
    Ulong sLen;
};
struct OaepParams {
    Ulong hashAlg;
    Ulong mgf;
    Ulong source;
    void* sourceData;
    Ulong sourceDataLength;
};
struct MechanismInfo {
    Ulong minKeySize;
    Ulong maxKeySize;
    Ulong flags;
};
#pragma pack(pop)
static_assert(sizeof(Attribute) == 16 && sizeof(Mechanism) == 16, "packed Win64 layout");
static_assert(sizeof(MechanismInfo) == 12, "packed CK_MECHANISM_INFO");
static_assert(sizeof(PssParams) == 12 && sizeof(OaepParams) == 24, "packed RSA mechanism parameters");
constexpr std::size_t CK_INFO_SIZE = 72, CK_SLOT_INFO_SIZE = 104, CK_TOKEN_INFO_SIZE = 160;

// Positions in the function list (after the two version bytes).
enum ListEntry : std::size_t {
    FINALIZE = 1, GET_INFO = 2, GET_SLOT_LIST = 4, GET_SLOT_INFO = 5, GET_TOKEN_INFO = 6,
    GET_MECHANISM_INFO = 8, OPEN_SESSION = 12, CLOSE_SESSION = 13, LOGIN = 18, LOGOUT = 19,
    DESTROY_OBJECT = 22, GET_ATTRIBUTE_VALUE = 24, FIND_OBJECTS_INIT = 26, FIND_OBJECTS = 27,
    FIND_OBJECTS_FINAL = 28, DECRYPT_INIT = 33, DECRYPT = 34, SIGN_INIT = 42, SIGN = 43,
    GENERATE_KEY_PAIR = 59,
};

using smallbignum::modPow;

Bytes sha256Of(const Bytes& data) {
    std::uint8_t digest[Sha256::DIGEST_SIZE];
    Sha256::digest(data.data(), data.size(), digest);
    return Bytes(digest, digest + sizeof digest);
}

// XORs MGF1-SHA-256 of the seed into `target`.
void mgf1Sha256Xor(const Bytes& seed, std::uint8_t* target, std::size_t length) {
    for (std::uint32_t counter = 0; counter * 32 < length; ++counter) {
        Bytes input = seed;
        for (int shift = 24; shift >= 0; shift -= 8) input.push_back(static_cast<std::uint8_t>(counter >> shift));
        const Bytes mask = sha256Of(input);
        for (std::size_t i = 0; i < 32 && counter * 32 + i < length; ++i) target[counter * 32 + i] ^= mask[i];
    }
}

// EMSA-PSS verification for a 1024-bit key, SHA-256, a 32-byte salt: the
// encoded message is s^e mod n.
bool pssVerifies(const Bytes& encoded, const Bytes& message) {
    if (encoded.size() != 128 || encoded.back() != 0xBC) return false;
    const Bytes h(encoded.begin() + 95, encoded.begin() + 127);
    Bytes db(encoded.begin(), encoded.begin() + 95);
    mgf1Sha256Xor(h, db.data(), db.size());
    db[0] &= 0x7F;
    for (std::size_t i = 0; i < 62; ++i) {
        if (db[i] != 0) return false;
    }
    if (db[62] != 0x01) return false;
    Bytes prime(8, 0);
    const Bytes mHash = sha256Of(message);
    prime.insert(prime.end(), mHash.begin(), mHash.end());
    prime.insert(prime.end(), db.begin() + 63, db.end());
    return sha256Of(prime) == h;
}

// EME-OAEP with SHA-256 for a 128-byte modulus: 00 | maskedSeed | maskedDB.
Bytes oaepEncode(const Bytes& message, const Bytes& label) {
    Bytes db = sha256Of(label);
    db.resize(95 - message.size() - 1, 0x00);
    db.push_back(0x01);
    db.insert(db.end(), message.begin(), message.end());
    Bytes seed(32);
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(0x3B * i + 7);
    mgf1Sha256Xor(seed, db.data(), db.size());
    mgf1Sha256Xor(db, seed.data(), seed.size());
    Bytes encoded{0x00};
    encoded.insert(encoded.end(), seed.begin(), seed.end());
    encoded.insert(encoded.end(), db.begin(), db.end());
    return encoded;
}

TEST(SmallBignum, MatchesKnownResults) {
    EXPECT_EQ(Bytes({0x01, 0xBD}), modPow({0x04}, {0x0D}, {0x01, 0xF1}));  // 4^13 mod 497 = 445
    // 2^64 = 8 (mod 2^61 - 1), so (2^64 - 1)^2 = 7^2 = 49: carries across limbs.
    EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0, 49}),
              modPow({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x02},
                     {0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

// --- The scenario. -----------------------------------------------------------

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string text(const unsigned char* bytes, std::size_t width) {
    return std::string(reinterpret_cast<const char*>(bytes), width);
}

std::string padded(std::string value, std::size_t width) {
    value.resize(width, ' ');
    return value;
}

Ulong u32At(const unsigned char* bytes, std::size_t offset) {
    Ulong value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// A SHA-256 DigestInfo (the hash bytes need not be a real hash: the card
// signs what it is given).
Bytes digestInfo() {
    Bytes info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65,
                  0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    for (std::uint8_t i = 0; i < 32; ++i) info.push_back(static_cast<std::uint8_t>(0xA0 + i));
    return info;
}

class RsaScenarioOnWindowsAbi : public ::testing::Test {
protected:
    void SetUp() override {
        reader = environmentValue("ZENTRIK_BENCH_CARD_READER");
        if (reader.empty()) GTEST_SKIP() << "no simulated card (run-with-pcscd.sh --card with ZENTRIK_CARDSIM)";
        module = LoadLibraryA("zentrik-pkcs11.dll");
        ASSERT_NE(nullptr, module) << "LoadLibraryA failed, error " << GetLastError();
        auto getFunctionList = reinterpret_cast<Rv (*)(const unsigned char**)>(
            reinterpret_cast<void*>(GetProcAddress(module, "C_GetFunctionList")));
        ASSERT_NE(nullptr, getFunctionList);
        ASSERT_EQ(CKR_OK, getFunctionList(&list));
        initialize = reinterpret_cast<Rv (*)(void*)>(reinterpret_cast<void*>(GetProcAddress(module, "C_Initialize")));
        ASSERT_NE(nullptr, initialize);
    }
    void TearDown() override {
        if (module != nullptr) FreeLibrary(module);
    }

    // The function at a position of the list, called with the given types.
    template <typename... Arguments>
    Rv call(ListEntry position, Arguments... arguments) const {
        void* address;
        std::memcpy(&address, list + 2 + position * sizeof(void*), sizeof address);
        return reinterpret_cast<Rv (*)(Arguments...)>(address)(arguments...);
    }

    Bytes attributeOf(Ulong session, Ulong object, Ulong type) const {
        Attribute query{type, nullptr, 0};
        EXPECT_EQ(CKR_OK, call(GET_ATTRIBUTE_VALUE, session, object, &query, Ulong{1}));
        Bytes value(query.length);
        query.value = value.data();
        EXPECT_EQ(CKR_OK, call(GET_ATTRIBUTE_VALUE, session, object, &query, Ulong{1}));
        value.resize(query.length);
        return value;
    }

    std::vector<Ulong> objectsWithId(Ulong session, Bytes& id) const {
        Attribute search[] = {{CKA_ID, id.data(), static_cast<Ulong>(id.size())}};
        EXPECT_EQ(CKR_OK, call(FIND_OBJECTS_INIT, session, search, Ulong{1}));
        std::vector<Ulong> found(8);
        Ulong count = 0;
        EXPECT_EQ(CKR_OK, call(FIND_OBJECTS, session, found.data(), static_cast<Ulong>(found.size()), &count));
        EXPECT_EQ(CKR_OK, call(FIND_OBJECTS_FINAL, session));
        found.resize(count);
        return found;
    }

    std::string reader;
    HMODULE module = nullptr;
    const unsigned char* list = nullptr;
    Rv (*initialize)(void*) = nullptr;
};

TEST_F(RsaScenarioOnWindowsAbi, GeneratesSignsDecryptsAndDestroysAKeyPairOnTheCard) {
    ASSERT_EQ(CKR_OK, initialize(nullptr));

    std::array<unsigned char, CK_INFO_SIZE> info{};
    ASSERT_EQ(CKR_OK, call(GET_INFO, info.data()));
    EXPECT_EQ(2, info[0]);
    EXPECT_EQ(20, info[1]);
    EXPECT_EQ(padded("Velmoran s.r.o.", 32), text(info.data() + 2, 32));

    // With tokenPresent the list holds only slots with a card, the card's
    // among them; it is the one described by its reader's name.
    Ulong count = 0;
    ASSERT_EQ(CKR_OK, call(GET_SLOT_LIST, static_cast<unsigned char>(0), static_cast<Ulong*>(nullptr), &count));
    ASSERT_LE(2u, count) << "every reader has a slot";
    count = 0;
    ASSERT_EQ(CKR_OK, call(GET_SLOT_LIST, static_cast<unsigned char>(1), static_cast<Ulong*>(nullptr), &count));
    ASSERT_LE(1u, count);
    std::vector<Ulong> slots(count + 1, 0xCCCCCCCC);
    ASSERT_EQ(CKR_OK, call(GET_SLOT_LIST, static_cast<unsigned char>(1), slots.data(), &count));
    EXPECT_EQ(0xCCCCCCCCu, slots[count]) << "slot ids wider than 32 bits";
    Ulong slot = 0xFFFFFFFF;
    std::array<unsigned char, CK_SLOT_INFO_SIZE + 1> slotInfo;
    for (Ulong i = 0; i < count; ++i) {
        slotInfo.fill(0xCC);
        ASSERT_EQ(CKR_OK, call(GET_SLOT_INFO, slots[i], slotInfo.data()));
        EXPECT_EQ(0xCC, slotInfo.back());
        if (text(slotInfo.data(), 64) == padded(reader, 64)) {
            slot = slots[i];
            EXPECT_EQ(CKF_TOKEN_PRESENT, u32At(slotInfo.data(), 96) & CKF_TOKEN_PRESENT);
        }
    }
    ASSERT_NE(0xFFFFFFFFu, slot) << "no slot for " << reader;

    std::array<unsigned char, CK_TOKEN_INFO_SIZE + 1> tokenInfo;
    tokenInfo.fill(0xCC);
    ASSERT_EQ(CKR_OK, call(GET_TOKEN_INFO, slot, tokenInfo.data()));
    EXPECT_EQ(0xCC, tokenInfo.back());
    EXPECT_EQ(padded("Zentrik 3.1 Ferrix", 32), text(tokenInfo.data(), 32));
    std::string serial = environmentValue("ZENTRIK_BENCH_CARD_SERIAL");
    for (char& digit : serial) digit = static_cast<char>(std::toupper(static_cast<unsigned char>(digit)));
    EXPECT_EQ(serial, text(tokenInfo.data() + 80, 16));

    std::array<unsigned char, sizeof(MechanismInfo) + 1> mechanismBytes;
    mechanismBytes.fill(0xCC);
    ASSERT_EQ(CKR_OK, call(GET_MECHANISM_INFO, slot, CKM_RSA_PKCS_KEY_PAIR_GEN, mechanismBytes.data()));
    EXPECT_EQ(0xCC, mechanismBytes.back());
    MechanismInfo mechanismInfo;
    std::memcpy(&mechanismInfo, mechanismBytes.data(), sizeof mechanismInfo);
    EXPECT_EQ(1024u, mechanismInfo.minKeySize);
    EXPECT_EQ(2048u, mechanismInfo.maxKeySize);
    EXPECT_EQ(CKF_GENERATE_KEY_PAIR, mechanismInfo.flags & CKF_GENERATE_KEY_PAIR);
    ASSERT_EQ(CKR_OK, call(GET_MECHANISM_INFO, slot, CKM_RSA_PKCS, mechanismBytes.data()));
    std::memcpy(&mechanismInfo, mechanismBytes.data(), sizeof mechanismInfo);
    EXPECT_EQ(CKF_SIGN | CKF_DECRYPT, mechanismInfo.flags & (CKF_SIGN | CKF_DECRYPT));

    Ulong session = 0;
    ASSERT_EQ(CKR_OK, call(OPEN_SESSION, slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, static_cast<void*>(nullptr),
                           static_cast<void*>(nullptr), &session));
    char pin[] = "1234";
    ASSERT_EQ(CKR_OK, call(LOGIN, session, CKU_USER, pin, Ulong{4}));

    // The key pair.
    Ulong publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY, keyType = CKK_RSA, bits = 1024;
    unsigned char yes = 1;
    unsigned char exponent[] = {0x01, 0x00, 0x01};
    char label[] = "wine key";
    Bytes id = {0x57, 0x31};
    Attribute publicTemplate[] = {
        {CKA_CLASS, &publicClass, 4}, {CKA_KEY_TYPE, &keyType, 4},     {CKA_TOKEN, &yes, 1},
        {CKA_ENCRYPT, &yes, 1},       {CKA_VERIFY, &yes, 1},           {CKA_MODULUS_BITS, &bits, 4},
        {CKA_PUBLIC_EXPONENT, exponent, 3}, {CKA_LABEL, label, 8},     {CKA_ID, id.data(), 2}};
    Attribute privateTemplate[] = {
        {CKA_CLASS, &privateClass, 4}, {CKA_KEY_TYPE, &keyType, 4}, {CKA_TOKEN, &yes, 1},
        {CKA_PRIVATE, &yes, 1},        {CKA_SENSITIVE, &yes, 1},    {CKA_SIGN, &yes, 1},
        {CKA_DECRYPT, &yes, 1},        {CKA_LABEL, label, 8},       {CKA_ID, id.data(), 2}};
    Mechanism generation{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    Ulong publicKey = 0, privateKey = 0;
    ASSERT_EQ(CKR_OK, call(GENERATE_KEY_PAIR, session, &generation, publicTemplate, Ulong{9}, privateTemplate,
                           Ulong{9}, &publicKey, &privateKey));
    EXPECT_NE(publicKey, privateKey);

    // The public key, with 4-byte CK_ULONG values.
    const Bytes modulus = attributeOf(session, publicKey, CKA_MODULUS);
    ASSERT_EQ(128u, modulus.size());
    EXPECT_NE(0, modulus[0] & 0x80);
    const Bytes publicExponent = attributeOf(session, publicKey, CKA_PUBLIC_EXPONENT);
    EXPECT_EQ(Bytes({0x01, 0x00, 0x01}), publicExponent);
    EXPECT_EQ(Bytes({0x00, 0x04, 0x00, 0x00}), attributeOf(session, publicKey, CKA_MODULUS_BITS));
    EXPECT_EQ(Bytes({0x03, 0x00, 0x00, 0x00}), attributeOf(session, privateKey, CKA_CLASS));

    // Sign, and check with the public key: s^e mod n is the PKCS #1 v1.5
    // block 00 01 FF.. 00 DigestInfo.
    Mechanism rsa{CKM_RSA_PKCS, nullptr, 0};
    Bytes toSign = digestInfo();
    ASSERT_EQ(CKR_OK, call(SIGN_INIT, session, &rsa, privateKey));
    Ulong signatureLength = 0;
    ASSERT_EQ(CKR_OK, call(SIGN, session, toSign.data(), static_cast<Ulong>(toSign.size()),
                           static_cast<unsigned char*>(nullptr), &signatureLength));
    ASSERT_EQ(128u, signatureLength);
    Bytes signature(signatureLength);
    ASSERT_EQ(CKR_OK, call(SIGN, session, toSign.data(), static_cast<Ulong>(toSign.size()), signature.data(),
                           &signatureLength));
    ASSERT_EQ(128u, signatureLength);
    Bytes expectedBlock = {0x00, 0x01};
    expectedBlock.resize(128 - toSign.size() - 1, 0xFF);
    expectedBlock.push_back(0x00);
    expectedBlock.insert(expectedBlock.end(), toSign.begin(), toSign.end());
    EXPECT_EQ(expectedBlock, modPow(signature, publicExponent, modulus));

    // Decrypt what the public key encrypted: 00 02 <non-zero padding> 00 message.
    const std::string message = "decrypted on the card for Windows";
    Bytes block = {0x00, 0x02};
    for (std::size_t i = 0; block.size() < 128 - message.size() - 1; ++i) {
        block.push_back(static_cast<std::uint8_t>(1 + (i * 37) % 255));
    }
    block.push_back(0x00);
    block.insert(block.end(), message.begin(), message.end());
    Bytes ciphertext = modPow(block, publicExponent, modulus);
    ASSERT_EQ(CKR_OK, call(DECRYPT_INIT, session, &rsa, privateKey));
    std::array<unsigned char, 128> plaintext{};
    Ulong plaintextLength = static_cast<Ulong>(plaintext.size());
    ASSERT_EQ(CKR_OK, call(DECRYPT, session, ciphertext.data(), static_cast<Ulong>(ciphertext.size()),
                           plaintext.data(), &plaintextLength));
    EXPECT_EQ(message, std::string(reinterpret_cast<const char*>(plaintext.data()), plaintextLength));

    // SHA-256 with PSS: the module hashes, encodes with a fresh salt, the card
    // signs; the parameters are read in the packed layout.
    const Bytes toHash = {'s', 'i', 'g', 'n', 'e', 'd', ' ', 'o', 'n', ' ', 'W', 'i', 'n', 'e'};
    PssParams pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    Mechanism pssMechanism{CKM_SHA256_RSA_PKCS_PSS, &pss, static_cast<Ulong>(sizeof pss)};
    ASSERT_EQ(CKR_OK, call(SIGN_INIT, session, &pssMechanism, privateKey));
    signatureLength = static_cast<Ulong>(signature.size());
    ASSERT_EQ(CKR_OK, call(SIGN, session, const_cast<std::uint8_t*>(toHash.data()), static_cast<Ulong>(toHash.size()),
                           signature.data(), &signatureLength));
    ASSERT_EQ(128u, signatureLength);
    EXPECT_TRUE(pssVerifies(modPow(signature, publicExponent, modulus), toHash));

    // OAEP with SHA-256 and a label behind the packed structure's pointer.
    const Bytes secret = {'o', 'a', 'e', 'p', ' ', 's', 'e', 'c', 'r', 'e', 't'};
    Bytes oaepLabel = {'w', 'i', 'n', 'e'};
    const Bytes oaepCiphertext = modPow(oaepEncode(secret, oaepLabel), publicExponent, modulus);
    OaepParams oaep{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, oaepLabel.data(), static_cast<Ulong>(oaepLabel.size())};
    Mechanism oaepMechanism{CKM_RSA_PKCS_OAEP, &oaep, static_cast<Ulong>(sizeof oaep)};
    ASSERT_EQ(CKR_OK, call(DECRYPT_INIT, session, &oaepMechanism, privateKey));
    plaintextLength = static_cast<Ulong>(plaintext.size());
    ASSERT_EQ(CKR_OK, call(DECRYPT, session, const_cast<std::uint8_t*>(oaepCiphertext.data()),
                           static_cast<Ulong>(oaepCiphertext.size()), plaintext.data(), &plaintextLength));
    EXPECT_EQ(secret, Bytes(plaintext.data(), plaintext.data() + plaintextLength));

    // Destroy the keys; nothing with their id remains.
    EXPECT_EQ(2u, objectsWithId(session, id).size());
    EXPECT_EQ(CKR_OK, call(DESTROY_OBJECT, session, privateKey));
    EXPECT_EQ(CKR_OK, call(DESTROY_OBJECT, session, publicKey));
    EXPECT_TRUE(objectsWithId(session, id).empty());

    EXPECT_EQ(CKR_OK, call(LOGOUT, session));
    EXPECT_EQ(CKR_OK, call(CLOSE_SESSION, session));
    EXPECT_EQ(CKR_OK, call(FINALIZE, static_cast<void*>(nullptr)));
}

}  // namespace
