// The slot-level private entries on simulated cards behind the real pcscd:
// key-slot codes, ATR, card identifier and applet version, the session they
// open for themselves, and what a reset card does to a slot-level call.
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "objecthelpers.h"
#include "rsatestkeys.h"

namespace sessiontest {
namespace {

CK_PRIVATE_FUNCTION_LIST_PTR priv() { return LoadedModule::instance().privateList(); }

constexpr CK_ULONG OCCUPIED_1024 = 0x10400;
const std::string CARD_ID = "00112233445566778899AABBCCDDEEFF";

class PrivateSlot : public SessionBench {
protected:
    void start(const std::vector<std::string>& personalisation = {}) {
        insertFreshCard(PLAIN_SLOT, personalisation);
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
    }
    std::vector<CK_ULONG> keySlotCodes(CK_SLOT_ID slot) {
        CK_ULONG count = 0;
        EXPECT_EQ(CKR_OK, priv()->C_GetVxeiInfo(slot, nullptr, &count));
        std::vector<CK_ULONG> codes(count);
        EXPECT_EQ(CKR_OK, priv()->C_GetVxeiInfo(slot, codes.data(), &count));
        return codes;
    }
    CK_ULONG sessionCount() {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(CKR_OK, p11()->C_GetTokenInfo(PLAIN_SLOT, &info));
        return info.ulSessionCount;
    }
    // Imports both halves of a 1024-bit key pair; its private key takes a
    // 1024-bit key slot.
    void import1024BitKeyPair(CK_SESSION_HANDLE session) {
        const tokentest::RsaKey key = tokentest::generateRsaKey(1024);
        const Bytes id = {0x51, 0x07};
        Template privateKey;
        privateKey.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, id)
            .addBool(CKA_SIGN, true).add(CKA_MODULUS, key.n).add(CKA_PUBLIC_EXPONENT, key.e)
            .add(CKA_PRIME_1, key.p).add(CKA_PRIME_2, key.q).add(CKA_EXPONENT_1, key.dp)
            .add(CKA_EXPONENT_2, key.dq).add(CKA_COEFFICIENT, key.qinv);
        CK_OBJECT_HANDLE handle = 0;
        ASSERT_EQ(CKR_OK, createObject(session, privateKey, handle));
    }
};

TEST_F(PrivateSlot, KeySlotCodesFollowTheCardsSlotsInOrder) {
    start({"--key-slots", "2048:1,1024:1,0:1"});
    EXPECT_EQ((std::vector<CK_ULONG>{2048, 1024, 1024, 2048}), keySlotCodes(PLAIN_SLOT));

    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    import1024BitKeyPair(session);
    EXPECT_EQ((std::vector<CK_ULONG>{2048, OCCUPIED_1024, 1024, 2048}), keySlotCodes(PLAIN_SLOT));

    // A short array is refused with the count needed; a long one is filled
    // and its count left as given.
    CK_ULONG codes[6] = {0};
    CK_ULONG count = 3;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, priv()->C_GetVxeiInfo(PLAIN_SLOT, codes, &count));
    EXPECT_EQ(4u, count);
    EXPECT_EQ(0u, codes[0]);
    count = 6;
    EXPECT_EQ(CKR_OK, priv()->C_GetVxeiInfo(PLAIN_SLOT, codes, &count));
    EXPECT_EQ(6u, count);
    EXPECT_EQ(OCCUPIED_1024, codes[1]);
    // The login of the slot is untouched by the slot-level calls.
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, sessionState(session));
}

TEST_F(PrivateSlot, AtrIsReportedWithItsLength) {
    start();
    CK_ULONG length = 0;
    ASSERT_EQ(CKR_OK, priv()->C_GetATR(PLAIN_SLOT, nullptr, &length));
    ASSERT_GT(length, 1u);
    ASSERT_LE(length, 33u);
    std::vector<CK_BYTE> atr(length + 4, 0xEE);
    CK_ULONG none = 0;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, priv()->C_GetATR(PLAIN_SLOT, atr.data(), &none));
    EXPECT_EQ(length, none);
    EXPECT_EQ(0xEE, atr[0]);
    CK_ULONG room = atr.size();
    ASSERT_EQ(CKR_OK, priv()->C_GetATR(PLAIN_SLOT, atr.data(), &room));
    EXPECT_EQ(length, room);
    EXPECT_TRUE(atr[0] == 0x3B || atr[0] == 0x3F);
    EXPECT_EQ(0xEE, atr[length]);
}

TEST_F(PrivateSlot, CardIdSizeQueryNeedsNoCardAndTheIdIsTheCards) {
    start({"--card-id", CARD_ID});
    CK_ULONG length = 0;
    EXPECT_EQ(CKR_OK, priv()->C_GetCardId(SECOND_PLAIN_SLOT, nullptr, &length));
    EXPECT_EQ(16u, length);
    CK_BYTE id[16] = {0};
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, priv()->C_GetCardId(SECOND_PLAIN_SLOT, id, &length));
    ASSERT_EQ(CKR_OK, priv()->C_GetCardId(PLAIN_SLOT, id, &length));
    EXPECT_EQ(16u, length);
    EXPECT_EQ(bench::fromHex(CARD_ID), bench::Bytes(id, id + 16));
}

TEST_F(PrivateSlot, AppletVersionIsTheCardsWithBuildZero) {
    start({"--version", "4.7"});
    CK_ULONG major = 0;
    CK_ULONG minor = 0;
    CK_ULONG build = 99;
    ASSERT_EQ(CKR_OK, priv()->C_GetAppletVersion(PLAIN_SLOT, &major, &minor, &build));
    EXPECT_EQ(4u, major);
    EXPECT_EQ(7u, minor);
    EXPECT_EQ(0u, build);
}

// Every slot-level entry on a slot without a card, without a reader and with
// an unknown number, and with its outputs missing.
TEST_F(PrivateSlot, RefusalsOfTheSlotLevelEntries) {
    start();
    CK_ULONG value = 16;
    CK_BYTE buffer[64];
    const std::vector<std::pair<const char*, std::function<CK_RV(CK_SLOT_ID)>>> calls = {
        {"C_GetATR", [&](CK_SLOT_ID s) { return priv()->C_GetATR(s, buffer, &value); }},
        {"C_GetVxeiInfo", [&](CK_SLOT_ID s) { return priv()->C_GetVxeiInfo(s, nullptr, &value); }},
        {"C_GetAppletVersion",
         [&](CK_SLOT_ID s) { return priv()->C_GetAppletVersion(s, &value, &value, &value); }},
        {"C_GetCardId", [&](CK_SLOT_ID s) { value = 16; return priv()->C_GetCardId(s, buffer, &value); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, call(SECOND_PLAIN_SLOT));
        EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, call(SLOT_WITHOUT_READER));
        EXPECT_EQ(CKR_SLOT_ID_INVALID, call(999));
    }
    const std::vector<std::pair<const char*, CK_RV>> nullOutputs = {
        {"C_GetATR", priv()->C_GetATR(PLAIN_SLOT, buffer, nullptr)},
        {"C_GetATR size", priv()->C_GetATR(PLAIN_SLOT, nullptr, nullptr)},
        {"C_GetVxeiInfo", priv()->C_GetVxeiInfo(PLAIN_SLOT, nullptr, nullptr)},
        {"C_GetAppletVersion", priv()->C_GetAppletVersion(PLAIN_SLOT, &value, &value, nullptr)},
        {"C_GetCardId", priv()->C_GetCardId(PLAIN_SLOT, nullptr, nullptr)},
    };
    for (const auto& [name, rv] : nullOutputs) EXPECT_EQ(CKR_ARGUMENTS_BAD, rv) << name;
}

// The session a slot-level call opens for itself is gone when the call
// returns, whatever the result; the application's sessions stay.
TEST_F(PrivateSlot, SlotLevelCallsLeaveNoSessionBehind) {
    start();
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    CK_ULONG value = 0;
    CK_BYTE buffer[16];
    EXPECT_EQ(CKR_OK, priv()->C_GetATR(PLAIN_SLOT, nullptr, &value));
    value = 0;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, priv()->C_GetATR(PLAIN_SLOT, buffer, &value));
    EXPECT_EQ(CKR_OK, priv()->C_GetVxeiInfo(PLAIN_SLOT, nullptr, &value));
    EXPECT_EQ(CKR_OK, priv()->C_GetAppletVersion(PLAIN_SLOT, &value, &value, &value));
    value = 16;
    EXPECT_EQ(CKR_OK, priv()->C_GetCardId(PLAIN_SLOT, buffer, &value));
    EXPECT_EQ(1u, sessionCount());
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(session));
    ASSERT_EQ(CKR_OK, p11()->C_CloseSession(session));
    EXPECT_EQ(0u, sessionCount());
}

// Like the first call on a session, the first slot-level call after a reset
// makes a new connection and the slot's sessions and login are gone.
TEST_F(PrivateSlot, ResetBetweenCallsInvalidatesTheSlotsSessions) {
    start();
    const CK_SESSION_HANDLE session = openSession(PLAIN_SLOT);
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    theBench().resetCard(readerOfSlot(PLAIN_SLOT));
    CK_ULONG count = 0;
    EXPECT_EQ(CKR_OK, priv()->C_GetVxeiInfo(PLAIN_SLOT, nullptr, &count));
    CK_SESSION_INFO info{};
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, p11()->C_GetSessionInfo(session, &info));
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(openSession(PLAIN_SLOT)));
}

}  // namespace
}  // namespace sessiontest
