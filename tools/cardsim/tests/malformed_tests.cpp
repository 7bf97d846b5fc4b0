// Malformed and out-of-sequence commands answer an error status word and
// leave the card image exactly as it was.
#include <random>

#include "cardsim/cardimage.h"
#include "cardtest.h"

namespace cardsim::test {
namespace {

struct BadCommand {
    const char* name;
    std::string apdu;
    const char* expectedSw;
};

std::string filler(std::size_t count) { return std::string(count * 2, '0'); }

class MalformedTest : public ::testing::TestWithParam<BadCommand> {
protected:
    void SetUp() override {
        image = dir.file("card.img");
        saveCardImage(image, personalise(testPersonalisation()));
        card = CardEngine::open(image);
        card->powerOn();
        ASSERT_EQ("9000", swOf(card->transmit(hex("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"))));
        ASSERT_EQ("9000", swOf(card->transmit(hex("80 20 01 00 10" + pinField("1234")))));
    }
    TempDir dir;
    std::string image;
    std::unique_ptr<CardEngine> card;
};

TEST_P(MalformedTest, AnswersAnErrorAndLeavesTheImageUnchanged) {
    const std::string before = readFile(image);
    auto answer = card->transmit(hex(GetParam().apdu));
    EXPECT_EQ(GetParam().expectedSw, swOf(answer));
    EXPECT_EQ(2u, answer.size());
    EXPECT_EQ(before, readFile(image));
    // the user PIN kept its tries and the card still answers normally
    EXPECT_EQ("03", toHex(dataOf(card->transmit(hex("80 2C 01 00 0A")))).substr(18, 2));
    EXPECT_EQ("9000", swOf(card->transmit(hex("80 02 00 00 02"))));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, MalformedTest,
    ::testing::Values(
        BadCommand{"Empty", "", "6700"},
        BadCommand{"ThreeBytes", "80 02 00", "6700"},
        BadCommand{"LcLongerThanData", "80 0E 00 00 05 01 02", "6700"},
        BadCommand{"DataLongerThanLc", "80 0E 00 00 02 01 02 03 04", "6700"},
        BadCommand{"ExtendedLength", "80 0E 00 00 00 00 02 01 02", "6700"},
        BadCommand{"FreshnessWithoutData", "80 0E 00 00 00", "6700"},
        BadCommand{"PinOfEightBytes", "80 20 01 00 08 3132333400000000", "6700"},
        BadCommand{"PinOfSeventeenBytes", "80 20 01 00 11 " + pinField("1234") + "00", "6700"},
        BadCommand{"CreateDataObjectShort", "80 3E 00 00 07 FFFF 0101 FFFF FF", "6700"},
        BadCommand{"UnknownInstruction", "80 99 00 00 00", "6D00"},
        BadCommand{"WrongClass", "90 02 00 00 02", "6E00"},
        BadCommand{"UnknownInfoSelector", "80 06 09 00 01", "6A86"},
        BadCommand{"UnknownCreateKind", "80 3E 00 07 08 FFFF 0101 FFFF FFFF", "6A86"},
        BadCommand{"UnknownAuthenticateMode", "80 20 01 03 10 " + pinField("1234"), "6A86"},
        BadCommand{"WriteWithoutSequence", "80 12 00 00 02 AA BB", "6985"},
        BadCommand{"CommitWithoutSequence", "80 3A 00 00 02", "6985"},
        BadCommand{"ContentCommitWithoutSequence", "80 38 00 00 00", "6985"},
        BadCommand{"ReadWithoutSequence", "80 1A 00 00 10", "6985"},
        BadCommand{"MetadataSizeWithoutCreate", "80 3C 00 00 02 00 10", "6985"},
        BadCommand{"ImportWithoutCreate", "80 42 06 00 03 01 00 01", "6985"},
        BadCommand{"GenerateWithoutCreate", "80 40 00 00 03 01 00 01", "6985"},
        BadCommand{"ComponentWithoutHeader", "80 44 06 00 00", "6985"},
        BadCommand{"CryptWithoutInit", "80 4A 00 00 80 " + filler(128) + " 80", "6985"},
        BadCommand{"ContinueAmendWithoutAmend", "80 4E 00 00 04 0000 0000", "6985"},
        BadCommand{"GetResponseWithNothingWaiting", "00 C0 00 00 10", "6985"},
        BadCommand{"HeaderOfUnknownBlock", "80 18 12 34 11", "6A82"},
        BadCommand{"DeleteUnknownBlock", "80 10 12 34 00", "6A82"},
        BadCommand{"CryptInitOnADirectory", "80 46 00 01 00", "6981"},
        BadCommand{"ContentOfADirectory", "80 1E 00 01 02", "6981"},
        BadCommand{"DeleteMinidriverFile", "80 10 00 02 00", "6982"},
        BadCommand{"CreateDirectoryWithEmptyName", "80 3E 00 03 0C 0000000000000000 FFFF FFFF", "6A80"},
        BadCommand{"CreateDirectoryWithGapInName", "80 3E 00 03 0C 6100620000000000 FFFF FFFF", "6A80"},
        BadCommand{"CreateKeyPairOfOddSize", "80 3E 00 01 0D 07 0600 0003 00 00 FFFFFFFFFFFF", "6A80"},
        BadCommand{"UnblockOwnRole", "80 28 01 01 20 " + pinField("1234") + pinField("5678"), "6985"},
        BadCommand{"Garbage", filler(300), "6700"}),
    [](const auto& info) { return info.param.name; });

TEST(RandomCommandTest, NeverThrowsAndAlwaysAnswersAStatusWord) {
    auto card = CardEngine::fromState(personalise(testPersonalisation()));
    card->powerOn();
    std::mt19937 random(20261207);
    const std::uint8_t instructions[] = {0x02, 0x04, 0x06, 0x08, 0x0A, 0x0C, 0x0E, 0x10, 0x12,
                                         0x14, 0x16, 0x18, 0x1A, 0x1C, 0x1E, 0x20, 0x22, 0x24,
                                         0x26, 0x28, 0x2C, 0x2E, 0x30, 0x38, 0x3A, 0x3C, 0x3E,
                                         0x42, 0x44, 0x46, 0x48, 0x4A, 0x4C, 0x4E, 0x50, 0x52};
    for (int i = 0; i < 4000; ++i) {
        if (i % 500 == 0) {
            card->transmit(hex("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"));
            card->transmit(hex("80 20 01 00 10" + pinField("1234")));
        }
        Bytes apdu(random() % 40);
        for (auto& b : apdu) b = static_cast<std::uint8_t>(random());
        if (apdu.size() >= 4) {
            apdu[0] = 0x80;
            apdu[1] = instructions[random() % sizeof instructions];
            if (random() % 2 == 0) apdu[2] = 0;
            if (random() % 2 == 0 && apdu.size() > 5) apdu[4] = static_cast<std::uint8_t>(apdu.size() - 5);
        }
        Bytes answer;
        ASSERT_NO_THROW(answer = card->transmit(apdu));
        ASSERT_GE(answer.size(), 2u);
    }
    // Whatever happened, the state still makes a valid image.
    EXPECT_NO_THROW(parseCardImage(formatCardImage(card->state())));
}

}  // namespace
}  // namespace cardsim::test
