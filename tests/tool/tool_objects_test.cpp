// zentrik-tool list and default-cert on a card holding a key pair, its
// certificate and a data object.
#include "toolbench.h"

namespace tooltest {
namespace {

class ToolObjects : public ToolBench {
protected:
    void SetUp() override {
        ToolBench::SetUp();
        if (IsSkipped()) return;
        insertFreshCard(PLAIN_SLOT);
    }
};

TEST_F(ToolObjects, ListShowsPublicObjectsWithoutLogin) {
    storeKeyPairAndCertificate(PLAIN_SLOT);
    const ToolRun run = runTool({"list"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.out, "(public only; --login shows private ones too)")) << run.out;
    EXPECT_TRUE(contains(run.out, "  certificate   label \"Tool Certificate\"  id CE2701\n"));
    EXPECT_TRUE(contains(run.out, "  public key    label \"Tool Key\"  id CE2701  1024 bits\n"));
    EXPECT_TRUE(contains(run.out, "  data          label \"Tool Data\""));
    EXPECT_FALSE(contains(run.out, "private key"));
    EXPECT_TRUE(contains(run.out, "\n3 objects\n"));
}

TEST_F(ToolObjects, ListAfterLoginShowsThePrivateKeyAndItsSize) {
    storeKeyPairAndCertificate(PLAIN_SLOT);
    const ToolRun run = runTool({"list", "--pin", USER_PIN});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.out, "  private key   label \"Tool Key\"  id CE2701  1024 bits\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "\n4 objects\n"));
}

TEST_F(ToolObjects, ListAsksForThePinWithLogin) {
    const ToolRun run = runTool({"list", "--login"}, std::string(USER_PIN) + "\n");
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(contains(run.err, "User PIN: "));
    EXPECT_TRUE(contains(run.out, "0 objects\n"));
}

TEST_F(ToolObjects, DefaultCertificateIsShownSetAndShownAgain) {
    ToolRun run = runTool({"default-cert"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("The card in slot 0 has no default certificate.\n", run.out);

    storeKeyPairAndCertificate(PLAIN_SLOT);
    run = runTool({"default-cert", "--set", "ce2701", "--pin", USER_PIN});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("The certificate CE2701 is now the default certificate of the card in slot 0.\n", run.out);

    run = runTool({"default-cert"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_EQ("Default certificate: id CE2701, label \"Tool Certificate\"\n", run.out);
}

TEST_F(ToolObjects, SettingAnUnknownCertificateNamesTheIdentifier) {
    storeKeyPairAndCertificate(PLAIN_SLOT);
    const ToolRun run = runTool({"default-cert", "--set", "0102", "--pin", USER_PIN});
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(contains(run.err, "setting the default certificate failed: CKR_FUNCTION_FAILED")) << run.err;
    EXPECT_TRUE(contains(run.err, "no certificate on the card has the identifier 0102"));
}

TEST_F(ToolObjects, SettingTheDefaultNeedsTheRightPin) {
    storeKeyPairAndCertificate(PLAIN_SLOT);
    const ToolRun run = runTool({"default-cert", "--set", "CE2701", "--pin", "Wrong935"});
    EXPECT_EQ(1, run.status);
    EXPECT_TRUE(contains(run.err, "logging in failed: CKR_PIN_INCORRECT")) << run.err;
}

}  // namespace
}  // namespace tooltest
