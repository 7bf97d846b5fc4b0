// Behaviour of the Ferrix card token against a simulated card, written once
// and run both in-process (the engine behind an in-process connection) and
// through the real pcscd (the bench). Each scenario starts from a freshly
// personalised card with the applet selected and nobody logged in.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "amwferrix/token.h"

namespace tokentest {

// What the scenarios need personalised; the values are unusual on purpose,
// so that a search of the trace log finds nothing by chance.
struct CardOptions {
    std::string userPin = "wX7pQ2zR";
    std::string soPin = "kT4vN8sJ3d";
    std::uint16_t blockCount = 512;
    bool activated = true;
};

void login(amwferrix::Token& token, std::uint32_t role, const std::string& pin);

void listsEveryKindAfterCreatingObjectsOfEveryKind(amwferrix::Token& token, const CardOptions& card);
void generated2048BitKeySignsVerifiably(amwferrix::Token& token, const CardOptions& card);
void importsAFullPairAPublicKeyAloneAndAPrivateKeyAlone(amwferrix::Token& token,
                                                         const CardOptions& card);
void amendsAddAndRemoveBothWays(amwferrix::Token& token, const CardOptions& card);
// Needs a card of 64 blocks.
void contentReplacementFollowsTheFreeSpaceRule(amwferrix::Token& token, const CardOptions& card);
void wrongPinCountsDownToBlockedAndUnblockRestores(amwferrix::Token& token,
                                                   const CardOptions& card);
void sessionPinAuthenticates(amwferrix::Token& token, const CardOptions& card);
void propertiesReportTheCard(amwferrix::Token& token, const CardOptions& card);
// Needs a card that is not activated.
void activationChangesTheLifeCycleState(amwferrix::Token& token, const CardOptions& card);
void cacheRecordsRoundTripForEveryKind(amwferrix::Token& token, const CardOptions& card,
                                       const std::string& cacheDir);

}  // namespace tokentest
