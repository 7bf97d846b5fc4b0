// The card token through the real pcscd: the simulated card served on a vpcd
// reader of the bench, reached through the card terminal layer's PC/SC
// connection inside one transaction per test, a fresh card image each time.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "amwferrix/token.h"
#include "bench/bench.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "ctl/widetext.h"
#include "tokenscenarios.h"

namespace {

using namespace tokentest;

class PcscToken : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!bench::Bench::toolsAvailable()) return;
        bench::BenchConfig config;
        config.readers.clear();
        bench_ = std::make_unique<bench::Bench>(config);
        for (const auto& reader : bench_->readers()) {
            if (reader.name.rfind(config.vpcdName, 0) == 0) {
                reader_ = reader.name;
                break;
            }
        }
    }
    static void TearDownTestSuite() { bench_.reset(); }

    void SetUp() override {
        if (!bench::Bench::toolsAvailable()) GTEST_SKIP() << "cardsim or the reader driver was not built";
        ASSERT_TRUE(bench_);
        ASSERT_FALSE(reader_.empty());
    }

    void TearDown() override {
        token.reset();
        if (connection) {
            connection->unlock(ctl::CardConnection::LEAVE_CARD);
            connection.reset();
        }
        if (inserted_) {
            bench_->remove(reader_);
            inserted_ = false;
        }
    }

    amwferrix::Token& freshCard(const CardOptions& options) {
        const std::string name =
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + std::string(".img");
        std::vector<std::string> args = {"--user-pin", options.userPin, "--so-pin", options.soPin,
                                         "--memory-blocks", std::to_string(options.blockCount),
                                         "--force"};
        if (!options.activated) args.push_back("--not-activated");
        const std::string image = bench_->personalise(name, args);
        bench_->insert(reader_, image);
        inserted_ = true;
        connection = std::make_unique<ctl::LockablePcScCardConnection>(
            ctl::PcScReader(ctl::WideText::fromUtf8(reader_)), ctl::CardConnection::MODE_SHARED,
            ctl::CardConnection::PROTOCOL_T0_OR_T1);
        connection->lock();
        token = std::make_unique<amwferrix::Token>(*connection);
        token->selectApplet();
        return *token;
    }

    CardOptions options;
    std::unique_ptr<ctl::LockablePcScCardConnection> connection;
    std::unique_ptr<amwferrix::Token> token;

private:
    static std::unique_ptr<bench::Bench> bench_;
    static std::string reader_;
    bool inserted_ = false;
};

std::unique_ptr<bench::Bench> PcscToken::bench_;
std::string PcscToken::reader_;

TEST_F(PcscToken, ListsEveryKindAfterCreatingObjectsOfEveryKind) {
    listsEveryKindAfterCreatingObjectsOfEveryKind(freshCard(options), options);
}

TEST_F(PcscToken, Generated2048BitKeySignsAndOpenSslVerifiesWithTheListedModulus) {
    generated2048BitKeySignsVerifiably(freshCard(options), options);
}

TEST_F(PcscToken, ImportsAFullPairAPublicKeyAloneAndAPrivateKeyAlone) {
    importsAFullPairAPublicKeyAloneAndAPrivateKeyAlone(freshCard(options), options);
}

TEST_F(PcscToken, AmendsAddAndRemoveBothWays) {
    amendsAddAndRemoveBothWays(freshCard(options), options);
}

TEST_F(PcscToken, ContentReplacementFollowsTheFreeSpaceRule) {
    options.blockCount = 64;
    contentReplacementFollowsTheFreeSpaceRule(freshCard(options), options);
}

TEST_F(PcscToken, WrongPinCountsDownToBlockedAndUnblockRestores) {
    wrongPinCountsDownToBlockedAndUnblockRestores(freshCard(options), options);
}

TEST_F(PcscToken, SessionPinAuthenticates) {
    sessionPinAuthenticates(freshCard(options), options);
}

TEST_F(PcscToken, PropertiesReportTheCard) {
    propertiesReportTheCard(freshCard(options), options);
}

}  // namespace
