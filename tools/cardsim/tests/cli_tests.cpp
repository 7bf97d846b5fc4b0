// The cardsim program: init writes a usable card, inspect prints it without
// secrets.
#include <array>
#include <cstdio>
#include <sys/wait.h>

#include "cardsim/cardimage.h"
#include "cardtest.h"

namespace cardsim::test {
namespace {

struct Run {
    int exitCode;
    std::string output;
};

Run run(const std::string& arguments) {
    const std::string command = std::string(CARDSIM_BINARY) + " " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    Run result{-1, {}};
    if (!pipe) return result;
    std::array<char, 4096> buffer{};
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        result.output.append(buffer.data(), n);
    }
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(CliTest, InitWritesThePersonalisedCard) {
    TempDir dir;
    const std::string image = dir.file("card.img");
    auto result = run("init " + image +
                      " --serial 1122334455667788 --card-id 000102030405060708090A0B0C0D0E0F"
                      " --user-pin 9753 --so-pin 86428642 --memory-blocks 100 --block-size 128"
                      " --key-slots 1024:1,2048:2,0:1 --pin-tries 5");
    ASSERT_EQ(0, result.exitCode) << result.output;
    auto state = loadCardImage(image);
    EXPECT_EQ("1122334455667788", toHex(state.serial));
    EXPECT_EQ("000102030405060708090A0B0C0D0E0F", toHex(state.cardId));
    EXPECT_EQ(100, state.blockCount);
    EXPECT_EQ(128, state.blockSize);
    EXPECT_EQ((std::vector<std::uint16_t>{1024, 2048, 2048, 0}), state.keySlotSizes);
    ASSERT_TRUE(state.authObjects[1].has_value());
    EXPECT_EQ(5, state.authObjects[1]->maxTries);
    EXPECT_TRUE(state.authObjects[2]->securityOfficer);

    auto card = CardEngine::open(image);
    card->powerOn();
    card->transmit(hex("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"));
    EXPECT_EQ("9000", swOf(card->transmit(hex("80 20 01 00 10" + pinField("9753")))));
    EXPECT_EQ("9000", swOf(card->transmit(hex("80 20 02 00 10" + pinField("86428642")))));
}

TEST(CliTest, InspectShowsObjectsButNoSecrets) {
    TempDir dir;
    const std::string image = dir.file("card.img");
    ASSERT_EQ(0, run("init " + image + " --user-pin 9753 --so-pin 86428642").exitCode);
    auto result = run("inspect " + image);
    ASSERT_EQ(0, result.exitCode) << result.output;
    EXPECT_NE(std::string::npos, result.output.find("cardcf"));
    EXPECT_NE(std::string::npos, result.output.find("mscp/cmapfile"));
    EXPECT_NE(std::string::npos, result.output.find("PIN length 4 bytes"));
    EXPECT_NE(std::string::npos, result.output.find("security officer"));
    EXPECT_EQ(std::string::npos, result.output.find("9753"));
    EXPECT_EQ(std::string::npos, result.output.find("39373533"));
    EXPECT_EQ(std::string::npos, result.output.find("86428642"));
}

TEST(CliTest, InitRefusesToOverwriteAndBadOptions) {
    TempDir dir;
    const std::string image = dir.file("card.img");
    ASSERT_EQ(0, run("init " + image).exitCode);
    EXPECT_EQ(1, run("init " + image).exitCode);
    EXPECT_EQ(0, run("init " + image + " --force").exitCode);
    EXPECT_EQ(2, run("init " + dir.file("b.img") + " --serial 12").exitCode);
    EXPECT_EQ(2, run("init " + dir.file("b.img") + " --user-pin 12").exitCode);  // policy: 4 or more
    EXPECT_EQ(2, run("init " + dir.file("b.img") + " --key-slots 1536:1").exitCode);
    EXPECT_EQ(2, run("init " + dir.file("b.img") + " --colour red").exitCode);
}

TEST(CliTest, InspectOfADamagedImageFails) {
    TempDir dir;
    const std::string image = dir.file("card.img");
    FILE* f = std::fopen(image.c_str(), "w");
    std::fputs("ferrix-card-image 1\ncard serial=zz\n", f);
    std::fclose(f);
    auto result = run("inspect " + image);
    EXPECT_EQ(1, result.exitCode);
    EXPECT_NE(std::string::npos, result.output.find("line 2"));
}

}  // namespace
}  // namespace cardsim::test
