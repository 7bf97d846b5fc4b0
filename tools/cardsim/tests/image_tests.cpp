// The card image: persistence across restarts, atomic replacement and the
// refusal of damaged files.
#include <stdexcept>

#include "cardsim/cardimage.h"
#include "cardtest.h"

namespace cardsim::test {
namespace {

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = dir.file("card.img");
        saveCardImage(image, personalise(testPersonalisation()));
    }
    std::unique_ptr<CardEngine> openSelected() {
        auto card = CardEngine::open(image);
        card->powerOn();
        EXPECT_EQ("9000", swOf(card->transmit(hex("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"))));
        return card;
    }
    TempDir dir;
    std::string image;
};

TEST_F(ImageTest, ObjectsTriesAndFreshnessSurviveReopening) {
    {
        auto card = openSelected();
        EXPECT_EQ("63C2", swOf(card->transmit(hex("80 20 01 00 10" + pinField("9999")))));
        EXPECT_EQ("9000", swOf(card->transmit(hex("80 0E 00 00 03 0A 0B 0C"))));
        EXPECT_EQ("9000", swOf(card->transmit(hex("80 20 01 00 10" + pinField("1234")))));
        EXPECT_EQ("9000", swOf(card->transmit(hex("80 3E 00 00 08 FFFF 0101 FFFF FFFF"))));
        EXPECT_EQ("9000", swOf(card->transmit(hex("80 3C 00 00 02 00 02"))));
        EXPECT_EQ("9000", swOf(card->transmit(hex("80 12 00 00 02 01 41"))));
        EXPECT_EQ("0005", toHex(dataOf(card->transmit(hex("80 3A 00 00 02")))));
        EXPECT_EQ("9000", swOf(card->transmit(hex("80 1C 00 05 02 00 03"))));
        EXPECT_EQ("9000", swOf(card->transmit(hex("80 12 00 00 03 C1 C2 C3"))));
        EXPECT_EQ("9000", swOf(card->transmit(hex("80 38 00 00 00"))));
        EXPECT_EQ("63C2", swOf(card->transmit(hex("80 20 01 00 10" + pinField("9999")))));
    }
    auto card = openSelected();
    EXPECT_EQ("02", toHex(dataOf(card->transmit(hex("80 2C 01 00 0A")))).substr(18, 2));
    EXPECT_EQ("0A0B0C", toHex(dataOf(card->transmit(hex("80 0C 00 00 03")))));
    EXPECT_EQ("0003", toHex(dataOf(card->transmit(hex("80 1E 00 05 02")))));
    EXPECT_EQ("C1C2C3", toHex(dataOf(card->transmit(hex("80 1A 00 00 03")))));
    // volatile state is gone: nobody is authenticated after the restart
    EXPECT_EQ("00", toHex(dataOf(card->transmit(hex("80 50 00 00 01")))));
}

TEST_F(ImageTest, ReplacementLeavesNoTemporaryFiles) {
    auto card = openSelected();
    EXPECT_EQ("9000", swOf(card->transmit(hex("80 0E 00 00 01 01"))));
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(1u, files);
}

TEST_F(ImageTest, ReadOnlyCommandsDoNotRewriteTheImage) {
    auto card = openSelected();
    const auto before = std::filesystem::last_write_time(image);
    const std::string text = readFile(image);
    card->transmit(hex("80 0A 00 00 0A"));
    card->transmit(hex("80 18 00 01 1B"));
    EXPECT_EQ(text, readFile(image));
    EXPECT_EQ(before, std::filesystem::last_write_time(image));
}

TEST_F(ImageTest, FormatAndParseRoundTrip) {
    const std::string text = readFile(image);
    EXPECT_EQ(text, formatCardImage(parseCardImage(text)));
}

TEST(ImageParseTest, MissingFileIsRefused) {
    EXPECT_THROW(CardEngine::open("/nonexistent/card.img"), std::runtime_error);
}

struct DamagedImage {
    const char* name;
    std::string from;
    std::string to;
};

class DamagedImageTest : public ::testing::TestWithParam<DamagedImage> {};

TEST_P(DamagedImageTest, IsRefusedWithAnError) {
    std::string text = formatCardImage(personalise(testPersonalisation()));
    auto pos = text.find(GetParam().from);
    ASSERT_NE(std::string::npos, pos);
    text.replace(pos, GetParam().from.size(), GetParam().to);
    EXPECT_THROW(parseCardImage(text), std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(
    Damages, DamagedImageTest,
    ::testing::Values(
        DamagedImage{"WrongMagic", "ferrix-card-image 1", "ferrix-card-image 2"},
        DamagedImage{"Truncated", "end\n", ""},
        DamagedImage{"OddHex", "serial=0102030405060708", "serial=010203040506070"},
        DamagedImage{"BadHexDigit", "serial=0102030405060708", "serial=01020304050607zz"},
        DamagedImage{"ShortCardId", "id=00112233445566778899aabbccddeeff", "id=0011"},
        DamagedImage{"UnknownField", "blocks=64", "blocks=64 colour=red"},
        DamagedImage{"DuplicateField", "blocks=64", "blocks=64 blocks=65"},
        DamagedImage{"DuplicateBlockId", "object id=0003", "object id=0001"},
        DamagedImage{"FileWithoutDirectory", "dir=0003", "dir=0009"},
        DamagedImage{"TriesAboveMaximum", "tries=3 max=3", "tries=4 max=3"},
        DamagedImage{"UnknownRecord", "memory ", "storage "},
        DamagedImage{"HugeNumber", "blocks=64", "blocks=99999999999999999999"},
        DamagedImage{"ReservedBlockId", "object id=0004", "object id=8000"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace cardsim::test
