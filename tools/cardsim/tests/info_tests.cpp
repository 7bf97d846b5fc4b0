// Applet selection and the card fact commands.
#include "cardtest.h"

namespace cardsim::test {
namespace {

using InfoTest = CardTest;

TEST_F(InfoTest, CommandsBeforeSelectAnswerInstructionNotSupported) {
    EXPECT_EQ("6D00", sw("80 02 00 00 02"));
    EXPECT_EQ("6D00", sw("80 08 00 00 10"));
    EXPECT_EQ("6D00", sw("80 20 01 00 10" + pinField("1234")));
}

TEST_F(InfoTest, SelectByAidAnswers9000WithoutData) {
    auto answer = send("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41");
    EXPECT_EQ("9000", swOf(answer));
    EXPECT_EQ(2u, answer.size());
}

TEST_F(InfoTest, SelectOfAnotherAidFailsAndLeavesTheCardUnselected) {
    EXPECT_EQ("6A82", sw("00 A4 04 00 09 F0 56 58 46 52 01 00 00 42"));
    EXPECT_EQ("6D00", sw("80 02 00 00 02"));
}

TEST_F(InfoTest, ResetAndPowerOffDropTheSelection) {
    select();
    card->reset();
    EXPECT_EQ("6D00", sw("80 02 00 00 02"));
    select();
    card->powerOff();
    EXPECT_EQ("6F00", sw("80 02 00 00 02"));
    card->powerOn();
    EXPECT_EQ("6D00", sw("80 02 00 00 02"));
}

struct FixedAnswer {
    const char* name;
    const char* apdu;
    const char* expectedData;  // hex, or nullptr when only the length is fixed
    std::size_t length;
};

class FixedAnswerTest : public CardTest, public ::testing::WithParamInterface<FixedAnswer> {};

TEST_P(FixedAnswerTest, AnswersItsFixedLengthAnd9000) {
    select();
    const auto& c = GetParam();
    auto answer = send(c.apdu);
    EXPECT_EQ("9000", swOf(answer));
    EXPECT_EQ(c.length, dataOf(answer).size());
    if (c.expectedData) {
        EXPECT_EQ(toHex(hex(c.expectedData)), toHex(dataOf(answer)));
    }
}

// Personalisation: serial 0102030405060708, card id 00..FF, version 3.1,
// 64 blocks of 256 bytes with the four minidriver objects (root directory,
// cardcf, mscp, cmapfile: 5 blocks), one 1024-bit and one 2048-bit key slot.
INSTANTIATE_TEST_SUITE_P(
    Commands, FixedAnswerTest,
    ::testing::Values(
        FixedAnswer{"Version", "80 02 00 00 02", "03 01", 2},
        FixedAnswer{"Serial", "80 04 00 00 08", "01 02 03 04 05 06 07 08", 8},
        FixedAnswer{"MemoryInfo", "80 06 01 00 08", "01 00 00 40 00 3B 00 00", 8},
        FixedAnswer{"GlobalAccessInfo", "80 06 02 00 3B", nullptr, 59},
        FixedAnswer{"ActivationInfo", "80 06 04 00 01", "07", 1},
        FixedAnswer{"CardId", "80 08 00 00 10", "00112233445566778899AABBCCDDEEFF", 16},
        FixedAnswer{"Heads", "80 0A 00 00 0A", "8000 8000 8000 0001 0002", 10},
        FixedAnswer{"AuthState", "80 50 00 00 01", "00", 1},
        FixedAnswer{"UserAuthObject", "80 2C 01 00 0A", "00 0400 0000 0000 03 00 03", 10},
        FixedAnswer{"SoAuthObject", "80 2C 02 00 0A", "00 0000 0000 0000 03 01 03", 10},
        FixedAnswer{"UserPinPolicy", "80 2C 01 01 09", "04 10 0F 00 00 00 00 00 00", 9}),
    [](const auto& info) { return info.param.name; });

TEST_F(InfoTest, KeySlotInformationAnswers6CWithItsLengthThenTheSlots) {
    select();
    EXPECT_EQ("6C06", sw("80 06 03 00 00"));
    auto answer = send("80 06 03 00 06");
    EXPECT_EQ("9000", swOf(answer));
    EXPECT_EQ("000400000800", toHex(dataOf(answer)));
}

TEST_F(InfoTest, WrongLeOnAFixedLengthAnswerGives6CWithTheLength) {
    select();
    EXPECT_EQ("6C10", sw("80 08 00 00 08"));
    EXPECT_EQ("6C02", sw("80 02 00 00 00"));
}

TEST_F(InfoTest, MissingAuthenticationObjectAnswers6B00) {
    select();
    EXPECT_EQ("6B00", sw("80 2C 05 00 0A"));
    EXPECT_EQ("6B00", sw("80 2C 00 01 09"));
    EXPECT_EQ("6B00", sw("80 2C 08 00 0A"));
}

TEST_F(InfoTest, FreshnessRecordIsAbsentUntilWrittenThenRoundTripsVerbatim) {
    select();
    auto absent = send("80 0C 00 00 2F");
    EXPECT_EQ("9000", swOf(absent));
    EXPECT_EQ(0u, dataOf(absent).size());

    Bytes record(47);
    for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i * 7 + 1);
    EXPECT_EQ("9000", sw(concat({hex("80 0E 00 00 2F"), record})));
    auto answer = send("80 0C 00 00 2F");
    EXPECT_EQ("9000", swOf(answer));
    EXPECT_EQ(toHex(record), toHex(dataOf(answer)));

    EXPECT_EQ("6C2F", sw("80 0C 00 00 28"));
    EXPECT_EQ("6C2F", sw("80 0C 00 00 00"));
}

TEST_F(InfoTest, SetCardIdNeedsTheSecurityOfficer) {
    select();
    const std::string newId = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF";
    EXPECT_EQ("6982", sw("80 52 00 00 10" + newId));
    loginSo();
    EXPECT_EQ("9000", sw("80 52 00 00 10" + newId));
    EXPECT_EQ(newId, toHex(dataOf(send("80 08 00 00 10"))));
}

TEST_F(InfoTest, ActivationNeedsTheSecurityOfficerAndChangesTheLifeCycle) {
    auto options = testPersonalisation();
    options.activated = false;
    makeCard(options);
    select();
    EXPECT_EQ("05", toHex(dataOf(send("80 06 04 00 01"))));
    loginUser();
    EXPECT_EQ("6985", sw("80 3E 00 00 08 FFFF 0101 FFFF FFFF"));
    EXPECT_EQ("6982", sw("80 30 00 00 00"));
    loginSo();
    EXPECT_EQ("9000", sw("80 30 00 00 00"));
    EXPECT_EQ("07", toHex(dataOf(send("80 06 04 00 01"))));
}

TEST_F(InfoTest, AtrOffersT1AndHasAValidCheckByte) {
    auto atr = card->atr();
    ASSERT_GE(atr.size(), 4u);
    EXPECT_EQ(0x3B, atr[0]);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    EXPECT_EQ(0, check);
    EXPECT_EQ(0x01, atr[2] & 0x0F);
}

}  // namespace
}  // namespace cardsim::test
