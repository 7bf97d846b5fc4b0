// zentrik-tool info, --help and the command line's refusals.
#include "toolbench.h"

namespace tooltest {
namespace {

const std::string CARD_ID = "00112233445566778899AABBCCDDEEFF";
const std::string SERIAL = "0A1B2C3D4E5F6071";

class ToolInfo : public ToolBench {};

TEST_F(ToolInfo, HelpListsEveryCommandAndOption) {
    const ToolRun run = runTool({"--help"});
    EXPECT_EQ(0, run.status);
    for (const char* word : {"info", "change-pin", "unblock-pin", "default-cert", "--set", "list",
                             "--module", "--slot", "--pin", "--new-pin", "--so-pin"}) {
        EXPECT_TRUE(contains(run.out, word)) << word;
    }
    EXPECT_EQ("", run.err);
}

TEST_F(ToolInfo, HelpWinsOverACommandAndHidesItsPins) {
    const ToolRun run = runTool({"change-pin", "--pin", "Hidden4711", "--help"});
    EXPECT_EQ(0, run.status);
    EXPECT_TRUE(contains(run.out, "usage: zentrik-tool"));
}

TEST_F(ToolInfo, CommandLinesThatCannotBeUnderstoodExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"info", "--slot", "zero"},
        {"change-pin", "--pin"},
        {"info", "--colour"},
        {"change-pin", "--pin=Visible4711"},
        {"change-pin", "Stray4711"},
        {"list", "--set", "CE27"},
        {"default-cert", "--set", "C"},
    };
    for (const auto& args : cases) {
        const ToolRun run = runTool(args);
        SCOPED_TRACE(run.err);
        EXPECT_EQ(2, run.status);
        EXPECT_TRUE(contains(run.err, "zentrik-tool --help"));
        EXPECT_FALSE(contains(run.err, "4711"));
    }
}

TEST_F(ToolInfo, ShowsTheSlotsAndTheCardFromBothLists) {
    insertFreshCard(SECOND_PLAIN_SLOT, {"--card-id", CARD_ID, "--serial", SERIAL, "--version", "3.4",
                                        "--key-slots", "1024:1,2048:3"});
    const ToolRun run = runTool({"info"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.out, "Module: Zentrik")) << run.out;
    EXPECT_TRUE(contains(run.out, "  0: " + readerOfSlot(PLAIN_SLOT) + "\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "  1: " + readerOfSlot(SECOND_PLAIN_SLOT) + " (card present)"));
    EXPECT_TRUE(contains(run.out, "  2: " + readerOfSlot(PINPAD_SLOT) + "\n"));
    EXPECT_TRUE(contains(run.out, "Card in slot 1 (" + readerOfSlot(SECOND_PLAIN_SLOT) + ")"));
    EXPECT_TRUE(contains(run.out, "Label:            Zentrik 3.4 Ferrix\n"));
    EXPECT_TRUE(contains(run.out, "Serial number:    " + SERIAL + "\n"));
    EXPECT_TRUE(contains(run.out, "ATR:              3B:"));
    EXPECT_TRUE(contains(run.out, "Card identifier:  " + CARD_ID + "\n"));
    EXPECT_TRUE(contains(run.out, "Applet version:   3.4\n"));
    EXPECT_TRUE(contains(run.out, "Key slots:        1 free for 1024-bit keys, 3 free for 2048-bit keys\n"));
    EXPECT_TRUE(contains(run.out, "PIN entry:        on the computer\n"));
    EXPECT_TRUE(contains(run.out, "PIN length:       4 to 16\n"));
    EXPECT_TRUE(contains(run.out, "User PIN:         no warning reported"));
    EXPECT_TRUE(contains(run.out, "Memory:           ")) << run.out;
    EXPECT_TRUE(contains(run.out, " bytes free of "));
}

TEST_F(ToolInfo, PinPadReaderIsReported) {
    insertFreshCard(PINPAD_SLOT, {}, KEYPAD_PIN);
    const ToolRun run = runTool({"info", "--slot", "2"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.out, "PIN entry:        on the reader's keypad\n")) << run.out;
}

TEST_F(ToolInfo, OccupiedKeySlotIsCountedAsInUse) {
    insertFreshCard(PLAIN_SLOT, {"--key-slots", "1024:2,2048:1"});
    storeKeyPairAndCertificate(PLAIN_SLOT);
    const ToolRun run = runTool({"info"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.out, "Key slots:        1 free for 1024-bit keys, 1 free for 2048-bit keys, "
                                  "1 in use (1024-bit)\n"))
        << run.out;
}

TEST_F(ToolInfo, WithoutCardsListsTheReadersAndSaysSo) {
    const ToolRun run = runTool({"info"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.out, readerOfSlot(PINPAD_SLOT)));
    EXPECT_TRUE(contains(run.out, "No card in any reader.\n")) << run.out;
}

TEST_F(ToolInfo, AnEmptySlotAskedForIsAFailure) {
    insertFreshCard(PLAIN_SLOT);
    const ToolRun run = runTool({"info", "--slot", "1"});
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(contains(run.err, "slot 1 has no card")) << run.err;
}

TEST_F(ToolInfo, AModuleThatCannotBeLoadedIsNamed) {
    const ToolRun run = runTool({"--module", "/nonexistent/libnothing.so", "info"});
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(contains(run.err, "cannot load the module /nonexistent/libnothing.so")) << run.err;
}

}  // namespace
}  // namespace tooltest
