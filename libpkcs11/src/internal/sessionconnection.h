// A slot's standing link to its card, shared by every session of the slot:
// the PC/SC connection, the identity of the card it was made to, and the
// slot's login. It holds no token: each Cryptoki call builds a fresh token
// over the connection inside a card transaction and throws it away at the
// end, so a login survives between calls only as the state and the session
// PIN kept here. The user's own PIN is never kept.
#pragma once

#include <cstdint>
#include <optional>

#include "amw/token.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "internal/cardhold.h"
#include "staticbuffer.h"

class SessionConnection {
public:
    enum LoginState : std::uint32_t { LOGGED_OUT = 0, USER = 1, SECURITY_OFFICER = 2 };

    // Connects to the card in `reader` and reads its identifier inside one
    // transaction. Any failure ends the transaction and passes on; no
    // connection is made then.
    explicit SessionConnection(const ctl::PcScReader& reader);
    // Wipes the session PIN and disconnects leaving the card; never throws.
    ~SessionConnection();
    SessionConnection(const SessionConnection&) = delete;
    SessionConnection& operator=(const SessionConnection&) = delete;

    // Forgets the login: the session PIN is zeroed, not only shortened.
    void logout() noexcept;

    // Read and written directly by the session manager, the sessions and the
    // Cryptoki functions, always under the module-wide lock.
    std::uint32_t loginState = LOGGED_OUT;
    amw::CardId cardId{};
    ctl::PcScReader reader;
    ctl::LockablePcScCardConnection cardConnection;
    StaticBuffer<128> sessionPin;
    std::uint32_t authenticationObjectId = 0;
    std::uint32_t tokenType = 0;
    // Consecutive calls on the slot share one card transaction (see
    // cardhold.h). Declared after the card connection: it ends its
    // transaction before the connection disconnects.
    cardhold::CardHold hold;
    // The card's version and serial number, read once: they cannot change
    // while the card identifier stays (a new card makes a new connection).
    struct CardFacts {
        std::uint8_t majorVersion = 0;
        std::uint8_t minorVersion = 0;
        StaticBuffer<256> serialNumber;
    };
    std::optional<CardFacts> cardFacts;
};
