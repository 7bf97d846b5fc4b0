// PIN verification and tries, unblock, PIN change and policy, session PINs,
// key authentication objects.
#include <openssl/evp.h>

#include "cardtest.h"

namespace cardsim::test {
namespace {

class AuthTest : public CardTest {
protected:
    void SetUp() override {
        CardTest::SetUp();
        select();
    }
    std::string triesOfUser() { return toHex(dataOf(send("80 2C 01 00 0A"))).substr(18, 2); }
};

TEST_F(AuthTest, WrongPinCountsDownThenBlocks) {
    EXPECT_EQ("63C2", sw("80 20 01 00 10" + pinField("0000")));
    EXPECT_EQ("63C1", sw("80 20 01 00 10" + pinField("0000")));
    EXPECT_EQ("6983", sw("80 20 01 00 10" + pinField("0000")));
    EXPECT_EQ("6983", sw("80 20 01 00 10" + pinField("1234")));
    EXPECT_EQ("00", triesOfUser());
    EXPECT_EQ("00", toHex(dataOf(send("80 50 00 00 01"))));
}

TEST_F(AuthTest, RightPinRestoresTheTries) {
    EXPECT_EQ("63C2", sw("80 20 01 00 10" + pinField("0000")));
    EXPECT_EQ("02", triesOfUser());
    loginUser();
    EXPECT_EQ("03", triesOfUser());
    EXPECT_EQ("02", toHex(dataOf(send("80 50 00 00 01"))));
}

TEST_F(AuthTest, PinIsComparedWithItsZeroPadding) {
    EXPECT_EQ("63C2", sw("80 20 01 00 10" + pinField("12345")));
    EXPECT_EQ("63C1", sw("80 20 01 00 10" + pinField("123")));
}

TEST_F(AuthTest, SecurityOfficerUnblocksTheUserPin) {
    for (int i = 0; i < 3; ++i) send("80 20 01 00 10" + pinField("0000"));
    ASSERT_EQ("00", triesOfUser());
    EXPECT_EQ("63C2", sw("80 28 02 01 20" + pinField("11111111") + pinField("5555")));
    EXPECT_EQ("9000", sw("80 28 02 01 20" + pinField("87654321") + pinField("5555")));
    EXPECT_EQ("03", triesOfUser());
    EXPECT_EQ("9000", sw("80 20 01 00 10" + pinField("5555")));
    EXPECT_EQ("03", toHex(dataOf(send("80 2C 02 00 0A"))).substr(18, 2));
}

TEST_F(AuthTest, UnblockByARoleNotAllowedAnswers6985) {
    EXPECT_EQ("6985", sw("80 28 01 02 20" + pinField("1234") + pinField("5555")));
    EXPECT_EQ("6700", sw("80 28 02 01 10" + pinField("87654321")));
}

TEST_F(AuthTest, SessionPinStaysTheSameAndReplacesThePin) {
    EXPECT_EQ("6982", sw("80 2E 01 00 08"));
    loginUser();
    auto first = send("80 2E 01 00 08");
    ASSERT_EQ("9000", swOf(first));
    ASSERT_EQ(8u, dataOf(first).size());
    EXPECT_EQ(toHex(dataOf(first)), toHex(dataOf(send("80 2E 01 00 08"))));
    EXPECT_EQ("9000", sw("80 22 01 00 00"));
    EXPECT_EQ("00", toHex(dataOf(send("80 50 00 00 01"))));
    EXPECT_EQ("9000", sw("80 20 01 02 08" + toHex(dataOf(first))));
    EXPECT_EQ("02", toHex(dataOf(send("80 50 00 00 01"))));
    // a wrong session PIN is refused without costing a try
    EXPECT_EQ("6985", sw("80 20 01 02 08 0000000000000000"));
    EXPECT_EQ("03", triesOfUser());
}

TEST_F(AuthTest, SessionPinOfABlockedRoleAnswersBlocked) {
    loginUser();
    auto sessionPin = toHex(dataOf(send("80 2E 01 00 08")));
    for (int i = 0; i < 3; ++i) sw("80 20 01 00 10" + pinField("0000"));
    ASSERT_EQ("00", triesOfUser());
    EXPECT_EQ("6983", sw("80 20 01 02 08" + sessionPin));
    EXPECT_EQ("00", toHex(dataOf(send("80 50 00 00 01"))));
}

TEST_F(AuthTest, SessionPinSurvivesReselectButNotReset) {
    loginUser();
    auto sessionPin = toHex(dataOf(send("80 2E 01 00 08")));
    select();
    EXPECT_EQ("9000", sw("80 20 01 02 08" + sessionPin));
    card->reset();
    select();
    EXPECT_EQ("6985", sw("80 20 01 02 08" + sessionPin));
}

TEST_F(AuthTest, ChangePinNeedsTheRoleAndKeepsThePolicy) {
    EXPECT_EQ("6982", sw("80 26 00 01 10" + pinField("4321")));
    loginUser();
    auto sessionPin = toHex(dataOf(send("80 2E 01 00 08")));
    EXPECT_EQ("6F18", sw("80 26 00 01 10" + pinField("12")));
    EXPECT_EQ("6F18", sw("80 26 00 01 10" + pinField("")));
    EXPECT_EQ("9000", sw("80 26 00 01 10" + pinField("4321")));
    EXPECT_EQ("6985", sw("80 20 01 02 08" + sessionPin));
    EXPECT_EQ("63C2", sw("80 20 01 00 10" + pinField("1234")));
    EXPECT_EQ("9000", sw("80 20 01 00 10" + pinField("4321")));
}

TEST_F(AuthTest, PolicyWithRequiredCharacterClassesIsEnforced) {
    auto options = testPersonalisation();
    options.userPin = "ab12";
    options.userPinPolicy = {4, 8, 0x0F, 0x03, 2, 0, 0, 0, 0};  // needs a digit and a lower-case letter
    makeCard(options);
    select();
    EXPECT_EQ("9000", sw("80 20 01 00 10" + pinField("ab12")));
    EXPECT_EQ("6F18", sw("80 26 00 01 10" + pinField("1234")));       // no letter
    EXPECT_EQ("6F18", sw("80 26 00 01 10" + pinField("a1111")));      // three equal in a row
    EXPECT_EQ("6F18", sw("80 26 00 01 10" + pinField("abc123456")));  // longer than 8
    EXPECT_EQ("9000", sw("80 26 00 01 10" + pinField("x9y8")));
    EXPECT_EQ(toHex(hex("04 08 0F 03 02 00 00 00 00")), toHex(dataOf(send("80 2C 01 01 09"))));
}

Bytes tripleDes(const Bytes& key, const Bytes& block) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(16);
    int length = 0;
    EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &length, block.data(), static_cast<int>(block.size()));
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<std::size_t>(length));
    return out;
}

TEST_F(AuthTest, KeyObjectAuthenticatesWithTheEncryptedChallenge) {
    const Bytes key = hex("0123456789ABCDEF FEDCBA9876543210 0011223344556677");
    auto options = testPersonalisation();
    options.keyAuthObjects = {{3, key}};
    makeCard(options);
    select();
    EXPECT_EQ("01", toHex(dataOf(send("80 2C 03 00 0A"))).substr(0, 2));
    EXPECT_EQ("6985", sw("80 20 03 00 08 0000000000000000"));  // no challenge yet

    auto challenge = dataOf(send("80 24 03 00 08"));
    ASSERT_EQ(8u, challenge.size());
    EXPECT_EQ("63C2", sw("80 20 03 00 08 0000000000000000"));
    challenge = dataOf(send("80 24 03 00 08"));
    EXPECT_EQ("9000", sw(concat({hex("80 20 03 00 08"), tripleDes(key, challenge)})));
    EXPECT_EQ("08", toHex(dataOf(send("80 50 00 00 01"))));
    // the challenge is used up
    EXPECT_EQ("6985", sw(concat({hex("80 20 03 00 08"), tripleDes(key, challenge)})));
}

TEST_F(AuthTest, KeyObjectValueIsChangedWith24Bytes) {
    const Bytes key = hex("0123456789ABCDEF FEDCBA9876543210 0011223344556677");
    const Bytes newKey = hex("1111111111111111 2222222222222222 3333333333333333");
    auto options = testPersonalisation();
    options.keyAuthObjects = {{3, key}};
    makeCard(options);
    select();
    auto challenge = dataOf(send("80 24 03 00 08"));
    ASSERT_EQ("9000", sw(concat({hex("80 20 03 00 08"), tripleDes(key, challenge)})));
    EXPECT_EQ("6700", sw("80 26 00 03 10" + pinField("1234")));
    EXPECT_EQ("9000", sw(concat({hex("80 26 00 03 18"), newKey})));
    challenge = dataOf(send("80 24 03 00 08"));
    EXPECT_EQ("9000", sw(concat({hex("80 20 03 00 08"), tripleDes(newKey, challenge)})));
}

}  // namespace
}  // namespace cardsim::test
