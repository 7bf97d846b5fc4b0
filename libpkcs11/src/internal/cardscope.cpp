#include "internal/cardscope.h"

#include "amw/exceptions.h"
#include "internal/session.h"
#include "internal/sessionconnection.h"
#include "internal/sessionmanager.h"
#include "internal/slot.h"
#include "internal/slotmanager.h"
#include "logger.h"

CardConnectionLocker::CardConnectionLocker(ctl::LockablePcScCardConnection& connection_)
    : connection(connection_) {
    connection.lock();
}

CardConnectionLocker::~CardConnectionLocker() {
    try {
        connection.unlock(ctl::CardConnection::LEAVE_CARD);
    } catch (const VxException& e) {
        logException(LOG_FACILITY_PKCS11, e);
    } catch (...) {
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11, L"unknown exception in ~CardConnectionLocker()");
        }
    }
}

LoginRestorer::LoginRestorer(amw::CachedToken& token_, SessionConnection& connection,
                             StaleLogin stale)
    : token(token_) {
    if (connection.loginState == SessionConnection::LOGGED_OUT) return;
    if (connection.sessionPin.empty()) {
        throw InternalErrorException("Session PIN is empty");
    }
    std::uint32_t attemptsRemaining = 0;
    const amw::AuthenticationResult result = token.authenticateSessionPin(
        connection.authenticationObjectId, connection.sessionPin.data,
        static_cast<std::uint32_t>(connection.sessionPin.length), &attemptsRemaining);
    if (result != amw::AUTHENTICATION_SUCCESS) {
        if (stale == StaleLogin::REFUSE) throw amw::SecurityViolationException();
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11, L"the slot's login is no longer accepted by the card");
        }
        return;
    }
    restored = true;
    role = connection.authenticationObjectId;
}

// The role this restorer authenticated is the one deauthenticated, even when
// the call replaced the slot's login meanwhile (a C_Login as another role),
// so the card is never left authenticated after the transaction.
LoginRestorer::~LoginRestorer() {
    if (!restored) return;
    try {
        token.deauthenticate(role);
    } catch (...) {
        // Nothing more can be done from a destructor; the call's own result
        // is what the caller needs.
    }
}

AuthenticatedRole::~AuthenticatedRole() {
    try {
        token.deauthenticate(role);
    } catch (...) {
    }
}

CardScope::CardScope(SessionConnection& connection, StaleLogin stale, HoldUse use) {
    if (use == HoldUse::HOLD && cardhold::holdEnabled()) {
        lease.emplace(connection.hold, connection);
        cachedToken.emplace(
            amw::Token::createToken(lease->cardConnection(), connection.tokenType, false),
            connection.cardId, lease->knownFreshness());
        if (connection.loginState != SessionConnection::LOGGED_OUT &&
            connection.authenticationObjectId == amw::AMWROLE_USER) {
            cachedToken->userRightsOnDemand();
        }
        cardhold::HoldLease* held = &*lease;
        cachedToken->onPrivateUse([held] { held->confirmLogin(); });
        return;
    }
    connection.hold.release();
    locker.emplace(connection.cardConnection);
    cachedToken.emplace(amw::Token::createToken(connection.cardConnection, connection.tokenType, false),
                        connection.cardId);
    restorer.emplace(*cachedToken, connection, stale);
}

// The lease learns what the call left in the freshness block before the
// token goes.
CardScope::~CardScope() {
    if (lease && cachedToken) {
        lease->finishedWith(cachedToken->getCardFreshness(), cachedToken->getFreshness());
    }
}

void CardScope::restoreLoginNow() {
    if (lease) lease->restoreLoginNow();
}

void CardScope::dropHeldAuthentication() {
    if (lease) lease->dropAuthentication();
}

void CardScope::authenticatedInCall(std::uint32_t role) noexcept {
    if (lease) lease->authenticatedInCall(role);
}

void CardScope::confirmLogin() {
    if (lease) lease->confirmLogin();
}

Session& resolveSession(CallContext& call, CK_SESSION_HANDLE hSession) {
    Session* session = SessionManager::getByHandle(hSession);
    call.session = session;
    return *session;
}

SessionConnection* openCallOwnedSession(CallContext& call, CK_SLOT_ID slotID) {
    Session* session =
        SessionManager::openSession(SlotManager::getById(slotID), Session::RW_SESSION, nullptr, nullptr);
    if (session == nullptr) return nullptr;
    call.session = session;
    call.sessionOwnedByCall = true;
    return &session->getSessionConnection();
}

CardFrame::CardFrame(CallContext& call, CK_SESSION_HANDLE hSession)
    : resolved(resolveSession(call, hSession)),
      sessionConnection(resolved.getSessionConnection()),
      scope(sessionConnection, StaleLogin::REFUSE, HoldUse::HOLD) {}
