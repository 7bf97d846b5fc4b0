// The card call scope: how every Cryptoki function that talks to a card
// does it. One PC/SC transaction for the whole card work of the call, a
// fresh card token wrapped in a fresh cached token, the slot's login restored
// on it from the session PIN, and on every exit the card deauthenticated,
// then the token discarded, then the transaction ended (members are
// destroyed in reverse order). With a card hold (cardhold.h) the transaction
// and a restored login may continue into the next calls of a burst; the
// hold's end deauthenticates and ends the transaction in the same order.
//
//     return callFrame<FULL_FRAME>("C_Xxx", [&](CallContext& call) {
//         CardFrame frame(call, hSession);
//         frame.token().getVersion(...);
//         ...
//     });
#pragma once

#include <cstdint>
#include <optional>

#include "amw/cachedtoken.h"
#include "callframe.h"
#include "ctl/lockablepcsccardconnection.h"
#include "internal/cardhold.h"

class Session;
class SessionConnection;

// Holds the PC/SC transaction: lock() at construction (an error propagates
// and nothing is held), unlock leaving the card at destruction (errors are
// logged, never passed on).
class CardConnectionLocker {
public:
    explicit CardConnectionLocker(ctl::LockablePcScCardConnection& connection);
    ~CardConnectionLocker();
    CardConnectionLocker(const CardConnectionLocker&) = delete;
    CardConnectionLocker& operator=(const CardConnectionLocker&) = delete;

private:
    ctl::LockablePcScCardConnection& connection;
};

// What a login restorer does with a session PIN the card no longer accepts
// (the card was reset elsewhere, or the role's PIN was changed or unblocked
// by another application).
enum class StaleLogin {
    // Throws amw::SecurityViolationException: the application has to log in
    // again.
    REFUSE,
    // Goes on logged out for this call and leaves the slot's login to the
    // caller: C_Login, which would otherwise be refused for good, replaces it
    // once the new login has succeeded, and a failed C_Login leaves the
    // sessions' states as they were.
    KEEP
};

// Restores the slot's login on a fresh token from the session PIN, and
// deauthenticates that role again at the end of the scope, swallowing
// errors.
class LoginRestorer {
public:
    LoginRestorer(amw::CachedToken& token, SessionConnection& connection,
                  StaleLogin stale = StaleLogin::REFUSE);
    ~LoginRestorer();
    LoginRestorer(const LoginRestorer&) = delete;
    LoginRestorer& operator=(const LoginRestorer&) = delete;

private:
    amw::CachedToken& token;
    bool restored = false;
    std::uint32_t role = 0;
};

// Deauthenticates a role that the call authenticated with a PIN, on every
// exit, swallowing errors: a failure after the PIN was verified (a PIN change
// the card refuses, say) must not leave the card authenticated.
class AuthenticatedRole {
public:
    AuthenticatedRole(amw::CachedToken& token, std::uint32_t role) noexcept
        : token(token), role(role) {}
    ~AuthenticatedRole();
    AuthenticatedRole(const AuthenticatedRole&) = delete;
    AuthenticatedRole& operator=(const AuthenticatedRole&) = delete;

private:
    amw::CachedToken& token;
    std::uint32_t role;
};

// The remaining tries before the card reports them. A PIN the driver refuses
// without asking the card (too long for the card's field) leaves the value
// as it is and so counts as incorrect, not as locked.
inline constexpr std::uint32_t TRIES_UNKNOWN = UINT32_MAX;

// A wrong PIN is reported only as the choice between these two.
inline CK_RV wrongPinResult(std::uint32_t attemptsRemaining) noexcept {
    return attemptsRemaining > 0 ? CKR_PIN_INCORRECT : CKR_PIN_LOCKED;
}

// Whether a call may share the slot's card hold (see cardhold.h).
enum class HoldUse {
    // A transaction of the call's own, with the login restored up front and
    // dropped at the end; a hold open on the slot is ended first. For the
    // calls that verify, change or unblock PINs.
    PER_CALL,
    // The slot's hold, begun or continued; the login is restored when the
    // card first asks for it. The same as PER_CALL with `cardhold = 0`.
    HOLD
};

// Locker (or hold lease), cached token and login restorer over one slot
// connection. Destroyed in reverse order: the card is deauthenticated before
// the transaction ends.
class CardScope {
public:
    explicit CardScope(SessionConnection& connection, StaleLogin stale = StaleLogin::REFUSE,
                       HoldUse use = HoldUse::PER_CALL);
    ~CardScope();
    CardScope(const CardScope&) = delete;
    CardScope& operator=(const CardScope&) = delete;
    amw::CachedToken& token() noexcept { return *cachedToken; }
    bool inHold() const noexcept { return lease.has_value(); }

    // For work known to need the login (signing, decryption, key
    // generation): restored now rather than after the card refused a
    // command. Without a hold the login is restored already.
    void restoreLoginNow();
    // Before private objects or attributes are served: in a hold, the first
    // time, the card confirms the slot's login (see OnDemandLoginConnection).
    // Without a hold the login restorer has done so already.
    void confirmLogin();
    // See HoldLease; without a hold these do nothing.
    void dropHeldAuthentication();
    void authenticatedInCall(std::uint32_t role) noexcept;

private:
    std::optional<CardConnectionLocker> locker;
    std::optional<cardhold::HoldLease> lease;
    std::optional<amw::CachedToken> cachedToken;
    std::optional<LoginRestorer> restorer;
};

// Resolves the handle and hands the session to the call frame, so that a
// PC/SC error of a removed or reset card invalidates the sessions of its
// slot.
Session& resolveSession(CallContext& call, CK_SESSION_HANDLE hSession);

// The slot-level functions reach a card without an application session:
// they open a read/write session of their own on the slot (which connects to
// the card, or renews a connection that a reset or removal made invalid) and
// hand it to the call frame like a resolved session, so that a PC/SC error of
// a reset or removed card invalidates the slot's sessions here too. The frame
// closes it once the result is known; the connection and its login stay.
// Null when the slot holds no reader or its reader no card.
SessionConnection* openCallOwnedSession(CallContext& call, CK_SLOT_ID slotID);

// The whole card frame of a function that works on a session.
class CardFrame {
public:
    CardFrame(CallContext& call, CK_SESSION_HANDLE hSession);

    Session& session() noexcept { return resolved; }
    SessionConnection& connection() noexcept { return sessionConnection; }
    amw::CachedToken& token() noexcept { return scope.token(); }
    void restoreLoginNow() { scope.restoreLoginNow(); }

private:
    Session& resolved;
    SessionConnection& sessionConnection;
    CardScope scope;
};
