// zentrik-tool change-pin and unblock-pin: PINs on the command line, on
// standard input and on the pin-pad reader's keypad; wrong and blocked PINs.
#include "toolbench.h"

namespace tooltest {
namespace {

const std::string NEW_PIN = "Fresh482";
const std::string WRONG_PIN = "Wrong935";

class ToolPin : public ToolBench {};

TEST_F(ToolPin, ChangesThePinGivenOnTheCommandLine) {
    insertFreshCard(PLAIN_SLOT);
    const ToolRun run = runTool({"change-pin", "--pin", USER_PIN, "--new-pin", NEW_PIN});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("The PIN of the card in slot 0 was changed.\n", run.out);
    EXPECT_TRUE(userPinWorks(PLAIN_SLOT, NEW_PIN));
    // Neither PIN reaches the module's trace log either.
    const std::string log = traceLog();
    EXPECT_FALSE(contains(log, USER_PIN));
    EXPECT_FALSE(contains(log, NEW_PIN));
}

TEST_F(ToolPin, ReadsPinsFromStandardInputWhenItIsNoTerminal) {
    insertFreshCard(PLAIN_SLOT);
    const ToolRun run = runTool({"change-pin"}, std::string(USER_PIN) + "\n" + NEW_PIN + "\n");
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.err, "Current PIN: "));
    EXPECT_TRUE(contains(run.err, "New PIN: "));
    EXPECT_TRUE(userPinWorks(PLAIN_SLOT, NEW_PIN));
}

TEST_F(ToolPin, EndOfInputBeforeAPinIsAFailure) {
    insertFreshCard(PLAIN_SLOT);
    const ToolRun run = runTool({"change-pin"}, std::string(USER_PIN) + "\n");
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(contains(run.err, "no PIN was given")) << run.err;
    EXPECT_TRUE(userPinWorks(PLAIN_SLOT, USER_PIN));
}

TEST_F(ToolPin, UsesTheFirstSlotWithACard) {
    insertFreshCard(SECOND_PLAIN_SLOT);
    const ToolRun run = runTool({"change-pin", "--pin", USER_PIN, "--new-pin", NEW_PIN});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("The PIN of the card in slot 1 was changed.\n", run.out);
}

TEST_F(ToolPin, WrongPinExitsWithOneAndSaysWhatToDo) {
    insertFreshCard(PLAIN_SLOT);
    const ToolRun run = runTool({"change-pin", "--pin", WRONG_PIN, "--new-pin", NEW_PIN});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_TRUE(contains(run.err, "changing the PIN failed: CKR_PIN_INCORRECT\n")) << run.err;
    EXPECT_TRUE(contains(run.err, "wrong PIN; check the PIN"));
    EXPECT_TRUE(contains(run.err, "tries"));
    EXPECT_TRUE(userPinWorks(PLAIN_SLOT, USER_PIN));
}

TEST_F(ToolPin, BlockedPinIsUnblockedWithTheSecurityOfficersPin) {
    insertFreshCard(PLAIN_SLOT);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(1, runTool({"list", "--pin", WRONG_PIN}).status);
    }
    ToolRun run = runTool({"list", "--pin", WRONG_PIN});
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(contains(run.err, "logging in failed: CKR_PIN_LOCKED\n")) << run.err;
    EXPECT_TRUE(contains(run.err, "unblock-pin"));
    run = runTool({"list", "--pin", USER_PIN});
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(contains(run.err, "CKR_PIN_LOCKED")) << run.err;

    run = runTool({"unblock-pin", "--so-pin", "NotTheSo1", "--new-pin", NEW_PIN});
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(contains(run.err, "unblocking the PIN failed: CKR_PIN_INCORRECT")) << run.err;
    EXPECT_TRUE(contains(run.err, "security officer's PIN"));

    run = runTool({"unblock-pin", "--so-pin", SO_PIN, "--new-pin", NEW_PIN});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("The user PIN of the card in slot 0 was unblocked and set anew.\n", run.out);
    run = runTool({"list", "--pin", NEW_PIN});
    EXPECT_EQ(0, run.status) << run.err;
}

TEST_F(ToolPin, UnblockAsksForBothPinsOnStandardInput) {
    insertFreshCard(PLAIN_SLOT);
    const ToolRun run = runTool({"unblock-pin"}, std::string(SO_PIN) + "\n" + NEW_PIN + "\n");
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.err, "Security officer's PIN: "));
    EXPECT_TRUE(contains(run.err, "New user PIN: "));
    EXPECT_TRUE(userPinWorks(PLAIN_SLOT, NEW_PIN));
}

TEST_F(ToolPin, PinPadReaderTakesThePinsOnItsKeypad) {
    insertFreshCard(PINPAD_SLOT, {}, KEYPAD_PIN);
    const bench::CardControl keypad = control(PINPAD_SLOT);
    keypad.keypad(std::string("pin:") + KEYPAD_PIN);
    keypad.keypad("pin:902817:902817");
    ToolRun run = runTool({"change-pin", "--slot", "2"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.err, "on the reader's keypad")) << run.err;
    EXPECT_EQ("The PIN of the card in slot 2 was changed.\n", run.out);

    keypad.keypad("pin:902817");
    run = runTool({"list", "--slot", "2", "--login"});
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.err, "Enter the user PIN on the reader's keypad."));
}

TEST_F(ToolPin, CancelOnTheKeypadIsReported) {
    insertFreshCard(PINPAD_SLOT, {}, KEYPAD_PIN);
    control(PINPAD_SLOT).keypad("cancel");
    const ToolRun run = runTool({"list", "--slot", "2", "--login"});
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(contains(run.err, "CKR_FUNCTION_CANCELED")) << run.err;
    EXPECT_TRUE(contains(run.err, "cancelled or timed out on the reader"));
}

}  // namespace
}  // namespace tooltest
