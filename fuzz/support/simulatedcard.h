// A personalised card of the simulator in process, and one Cryptoki call's
// cached token over it, logged in as the user and without cache files, as
// the object layer sees a card during a call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "amw/authenticationobject.h"
#include "amw/cachedtoken.h"
#include "amwferrix/token.h"
#include "cardsim/cardstate.h"
#include "cardsim/engine.h"
#include "cardsim/engineconnection.h"
#include "cardsim/personalisation.h"

namespace fuzz {

inline const std::string USER_PIN = "fZ3kQ9pw";

inline cardsim::CardState personalisedCard() {
    cardsim::Personalisation options;
    options.userPin = USER_PIN;
    options.serial = cardsim::Bytes(8, 0x11);
    options.cardId = cardsim::Bytes(16, 0x22);
    return cardsim::personalise(options);
}

class SimulatedCard {
public:
    explicit SimulatedCard(const cardsim::CardState& state)
        : engine(cardsim::CardEngine::fromState(state)), connection(*engine) {}

    // One call's token, logged in as the user.
    std::unique_ptr<amw::CachedToken> beginCall() {
        auto token = std::make_unique<amwferrix::Token>(connection);
        token->selectApplet();
        amw::CardId cardId{};
        token->getCardId(cardId);
        auto call = std::make_unique<amw::CachedToken>(std::move(token), cardId, std::string());
        const amw::AuthenticationObject user(amw::AMWROLE_USER, amw::AuthenticationObject::PIN, 5,
                                             0, 0, false);
        call->authenticate(user, reinterpret_cast<const std::uint8_t*>(USER_PIN.data()),
                           static_cast<std::uint32_t>(USER_PIN.size()), nullptr, nullptr);
        return call;
    }

    cardsim::CardState state() const { return engine->state(); }

private:
    std::unique_ptr<cardsim::CardEngine> engine;
    cardsim::EngineConnection connection;
};

}  // namespace fuzz
