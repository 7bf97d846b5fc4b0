// The card token's behaviour against the card simulator's engine, in
// process: every scenario on a freshly personalised card.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <unistd.h>

#include "amwferrix/token.h"
#include "cardsim/engine.h"
#include "cardsim/engineconnection.h"
#include "cardsim/personalisation.h"
#include "tokenscenarios.h"

namespace {

using namespace tokentest;

class EngineToken : public ::testing::Test {
protected:
    amwferrix::Token& freshCard(const CardOptions& options) {
        cardsim::Personalisation p;
        p.userPin = options.userPin;
        p.soPin = options.soPin;
        p.blockCount = options.blockCount;
        p.activated = options.activated;
        connection = std::make_unique<cardsim::EngineConnection>(
            cardsim::CardEngine::fromState(cardsim::personalise(p)));
        token = std::make_unique<amwferrix::Token>(*connection);
        token->selectApplet();
        return *token;
    }

    CardOptions options;
    std::unique_ptr<cardsim::EngineConnection> connection;
    std::unique_ptr<amwferrix::Token> token;
};

TEST_F(EngineToken, ListsEveryKindAfterCreatingObjectsOfEveryKind) {
    listsEveryKindAfterCreatingObjectsOfEveryKind(freshCard(options), options);
}

TEST_F(EngineToken, Generated2048BitKeySignsAndOpenSslVerifiesWithTheListedModulus) {
    generated2048BitKeySignsVerifiably(freshCard(options), options);
}

TEST_F(EngineToken, ImportsAFullPairAPublicKeyAloneAndAPrivateKeyAlone) {
    importsAFullPairAPublicKeyAloneAndAPrivateKeyAlone(freshCard(options), options);
}

TEST_F(EngineToken, AmendsAddAndRemoveBothWays) {
    amendsAddAndRemoveBothWays(freshCard(options), options);
}

TEST_F(EngineToken, ContentReplacementFollowsTheFreeSpaceRule) {
    options.blockCount = 64;
    contentReplacementFollowsTheFreeSpaceRule(freshCard(options), options);
}

TEST_F(EngineToken, WrongPinCountsDownToBlockedAndUnblockRestores) {
    wrongPinCountsDownToBlockedAndUnblockRestores(freshCard(options), options);
}

TEST_F(EngineToken, SessionPinAuthenticates) {
    sessionPinAuthenticates(freshCard(options), options);
}

TEST_F(EngineToken, PropertiesReportTheCard) {
    propertiesReportTheCard(freshCard(options), options);
}

TEST_F(EngineToken, ActivationChangesTheLifeCycleState) {
    options.activated = false;
    activationChangesTheLifeCycleState(freshCard(options), options);
}

TEST_F(EngineToken, CacheRecordsRoundTripForEveryKind) {
    // A card's directory inside a cache directory of its own: the shared
    // temporary directory itself is never used for cache files.
    const std::filesystem::path cacheDir =
        std::filesystem::temp_directory_path() / ("zentrik-token-cache-" + std::to_string(::getpid()));
    cacheRecordsRoundTripForEveryKind(freshCard(options), options, (cacheDir / "card").string());
    std::filesystem::remove_all(cacheDir);
}

}  // namespace
