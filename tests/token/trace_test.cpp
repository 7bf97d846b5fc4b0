// The secret-handling run on the simulated card in process, with the trace
// log on; the log must hold none of the secrets afterwards.
#include <gtest/gtest.h>

#include "amwferrix/token.h"
#include "cardsim/engine.h"
#include "cardsim/engineconnection.h"
#include "cardsim/personalisation.h"
#include "tracescenario.h"

namespace {

using namespace tokentest;

TEST(TraceLog, FullRunLeavesNoPinSessionPinOrPrivateKeyComponentInTheLog) {
    CardOptions options;
    cardsim::Personalisation p;
    p.userPin = options.userPin;
    p.soPin = options.soPin;
    cardsim::EngineConnection connection(cardsim::CardEngine::fromState(cardsim::personalise(p)));
    amwferrix::Token token(connection);
    token.selectApplet();

    secretsStayOutOfTheTraceLog(token, options);
}

}  // namespace
