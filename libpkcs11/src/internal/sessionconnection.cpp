#include "internal/sessionconnection.h"

#include "logger.h"

namespace {

// The only kind of token the module builds; every later call asks for the
// same kind again.
constexpr std::uint32_t CARD_TOKEN_TYPE = 0;

}  // namespace

SessionConnection::SessionConnection(const ctl::PcScReader& reader_)
    : reader(reader_),
      cardConnection(reader, ctl::CardConnection::MODE_SHARED,
                     ctl::CardConnection::PROTOCOL_T0_OR_T1),
      hold(cardConnection, CARD_TOKEN_TYPE, reader.getNameString()) {
    TraceScope trace(LOG_FACILITY_PKCS11, "SessionConnection::SessionConnection");
    const cardhold::TurnForTransaction turn(hold);
    cardConnection.lock();
    try {
        // The first contact with this card: the applet is selected, and a
        // failed selection destroys the half-made token.
        std::unique_ptr<amw::Token> token = amw::Token::createToken(cardConnection);
        token->getCardId(cardId);
        tokenType = CARD_TOKEN_TYPE;
    } catch (...) {
        try {
            cardConnection.unlock(ctl::CardConnection::LEAVE_CARD);
        } catch (...) {
            // The original failure is the one to report.
        }
        throw;
    }
    cardConnection.unlock(ctl::CardConnection::LEAVE_CARD);
}

SessionConnection::~SessionConnection() { logout(); }

void SessionConnection::logout() noexcept {
    sessionPin.clear();
    loginState = LOGGED_OUT;
}
