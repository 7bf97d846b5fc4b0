// Sessions, login and PIN change.
//
// A login belongs to the slot's connection and is shared by all sessions of
// the slot. The card is not left authenticated between calls: C_Login
// verifies the PIN, has the card derive a session PIN, keeps that, and
// deauthenticates again; every later card call restores the login from the
// session PIN (see the card call scope).
#include <optional>

#include "amw/cachedtoken.h"
#include "callframe.h"
#include "internal/cardscope.h"
#include "internal/session.h"
#include "internal/sessionconnection.h"
#include "internal/sessionmanager.h"
#include "internal/slot.h"
#include "internal/slotmanager.h"
#include "logger.h"
#include "p11functions.h"

namespace {

// Which Cryptoki state a session is in, from its kind and its slot's login.
CK_STATE sessionState(const Session& session, std::uint32_t loginState) {
    const bool readOnly = session.isReadOnly();
    switch (loginState) {
        case SessionConnection::LOGGED_OUT:
            return readOnly ? CKS_RO_PUBLIC_SESSION : CKS_RW_PUBLIC_SESSION;
        case SessionConnection::USER:
            return readOnly ? CKS_RO_USER_FUNCTIONS : CKS_RW_USER_FUNCTIONS;
        case SessionConnection::SECURITY_OFFICER:
            if (readOnly) throw InternalErrorException("RO SO sessions do not exist");
            return CKS_RW_SO_FUNCTIONS;
        default:
            throw InternalErrorException("unreachable");
    }
}

// Makes the verified login the slot's: the card derives a session PIN for the
// role. The slot's previous login is replaced only once the new session PIN
// is in hand, so a failure leaves it as it was. The caller deauthenticates
// the role afterwards.
void storeLogin(amw::CachedToken& token, SessionConnection& connection,
                const amw::AuthenticationObject& ao) {
    StaticBuffer<128> sessionPin;
    try {
        token.generateSessionPin(ao.getRole(), &sessionPin);
    } catch (...) {
        sessionPin.clear();
        throw;
    }
    connection.logout();
    connection.sessionPin = sessionPin;
    sessionPin.clear();
    connection.authenticationObjectId = ao.getRole();
    connection.loginState =
        ao.isPkcs11So() ? SessionConnection::SECURITY_OFFICER : SessionConnection::USER;
}

// The card ends a role's session PIN when the role's PIN changes. When that
// role is the slot's login, the login is kept by taking the new session PIN
// while the role is still authenticated; without it every later call, C_Login
// included, would be refused.
void keepLoginAfterPinChange(amw::CachedToken& token, SessionConnection& connection,
                             std::uint32_t role) {
    if (connection.loginState == SessionConnection::LOGGED_OUT ||
        connection.authenticationObjectId != role) {
        return;
    }
    token.generateSessionPin(role, &connection.sessionPin);
}

// Ends the slot's login that could not be kept after a PIN change, saying so
// in the trace log.
void endLoginAfterPinChange(SessionConnection& connection, const char* reason) noexcept {
    connection.logout();
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.log(LOG_FACILITY_PKCS11,
                   L"PIN changed, but the login could not be kept and was ended: %s", reason);
    }
}

// After the card accepted a new PIN nothing may turn the call into a
// failure: an application told that the change failed would retry with the
// old PIN and burn a try each time. A login that cannot be kept is ended
// here, and a reset or removal behind the failure is met by the next call.
void keepLoginOrEnd(amw::CachedToken& token, SessionConnection& connection,
                    std::uint32_t role) noexcept {
    try {
        keepLoginAfterPinChange(token, connection, role);
    } catch (const std::exception& e) {
        endLoginAfterPinChange(connection, e.what());
    } catch (...) {
        endLoginAfterPinChange(connection, "unknown exception");
    }
}

}  // namespace

extern "C" {

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                    CK_SESSION_HANDLE_PTR phSession) {
    return callFrame<FULL_FRAME>("C_OpenSession", [&]() {
        traceParameter(L"slotID", slotID);
        traceParameter(L"flags", flags);
        tracePresence(L"pApplication != 0", pApplication);
        tracePresence(L"Notify != 0", reinterpret_cast<const void*>(Notify));
        tracePresence(L"phSession != 0", phSession);
        if (phSession == nullptr) return CKR_ARGUMENTS_BAD;
        if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
        Slot* slot = SlotManager::getById(slotID);
        const Session::State type =
            (flags & CKF_RW_SESSION) != 0 ? Session::RW_SESSION : Session::RO_SESSION;
        Session* session = SessionManager::openSession(slot, type, pApplication, Notify);
        if (session == nullptr) return CKR_TOKEN_NOT_PRESENT;
        *phSession = session->getHandle();
        traceOutput(L"*phSession", *phSession);
        return CKR_OK;
    });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return callFrame<FULL_FRAME>("C_CloseSession", [&]() {
        traceParameter(L"hSession", hSession);
        SessionManager::closeSession(SessionManager::getByHandle(hSession));
        return CKR_OK;
    });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return callFrame<FULL_FRAME>("C_CloseAllSessions", [&]() {
        traceParameter(L"slotID", slotID);
        Slot* slot = SlotManager::getById(slotID);
        if (!slot->findReaderWithCard()) return CKR_TOKEN_NOT_PRESENT;
        if (SessionManager::getOpenSessionCount(slot) != 0) {
            SessionManager::invalidateAllSessions(slot);
        } else if (SessionConnection* connection = SessionManager::findSessionConnection(slot)) {
            // Without sessions the connection (and its login) stays, but the
            // card is not kept held.
            connection->hold.release();
        }
        return CKR_OK;
    });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return callFrame<FULL_FRAME>("C_GetSessionInfo", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pInfo != 0", pInfo);
        if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
        Session& session = resolveSession(call, hSession);
        const SessionConnection& connection = session.getSessionConnection();
        CK_SESSION_INFO info;
        info.slotID = session.getSlot()->getId();
        info.state = sessionState(session, connection.loginState);
        info.flags = CKF_SERIAL_SESSION | (session.isReadOnly() ? 0 : CKF_RW_SESSION);
        info.ulDeviceError = 0;
        traceOutput(L"pInfo->state", info.state);
        *pInfo = info;
        return CKR_OK;
    });
}

// PINs are never traced, only whether they were given and their lengths.
CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
              CK_ULONG ulPinLen) {
    return callFrame<FULL_FRAME>("C_Login", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        traceParameter(L"userType", userType);
        tracePresence(L"pPin != 0", pPin);
        traceParameter(L"ulPinLen", ulPinLen);
        if (userType != CKU_SO && userType != CKU_USER) return CKR_ARGUMENTS_BAD;
        Session& session = resolveSession(call, hSession);
        SessionConnection& connection = session.getSessionConnection();
        // Without a PIN, a pin-pad reader collects it on its keypad.
        if (pPin == nullptr && !connection.cardConnection.isPinPadAvailable()) {
            return CKR_ARGUMENTS_BAD;
        }
        if (ulPinLen > UINT32_MAX) return CKR_ARGUMENTS_BAD;
        // In a card hold the transaction stays for the calls that follow; the
        // verified role is dropped at the end of this call, as without one.
        CardScope scope(connection, StaleLogin::KEEP, HoldUse::HOLD);
        amw::CachedToken& token = scope.token();
        if (userType == CKU_SO && SessionManager::existsRoSession(session.getSlot())) {
            return CKR_SESSION_READ_ONLY_EXISTS;
        }
        const amw::AuthenticationObject* ao = userType == CKU_USER
                                                  ? token.findAuthenticationObject(amw::AMWROLE_USER)
                                                  : token.getPkcs11SoObject();
        if (ao == nullptr) return CKR_USER_PIN_NOT_INITIALIZED;
        std::uint32_t attemptsRemaining = TRIES_UNKNOWN;
        scope.dropHeldAuthentication();
        if (token.authenticate(*ao, pPin, static_cast<std::uint32_t>(ulPinLen), &attemptsRemaining,
                               nullptr) != amw::AUTHENTICATION_SUCCESS) {
            token.refreshCache();
            return wrongPinResult(attemptsRemaining);
        }
        if (scope.inHold()) {
            // Recorded before the session PIN is asked for: the end of the
            // call, or a failure that ends the hold, deauthenticates it.
            scope.authenticatedInCall(ao->getRole());
            storeLogin(token, connection, *ao);
        } else {
            AuthenticatedRole verified(token, ao->getRole());
            storeLogin(token, connection, *ao);
        }
        token.refreshCache();
        return CKR_OK;
    });
}

// The slot's login is only the session PIN kept here, and it is wiped. The
// card is contacted only to end a card hold, which deauthenticates first.
CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return callFrame<FULL_FRAME>("C_Logout", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        SessionConnection& connection = resolveSession(call, hSession).getSessionConnection();
        connection.hold.release();
        connection.logout();
        return CKR_OK;
    });
}

// In a public or user session the user PIN is changed, in a security-officer
// session the security officer's. The slot's login stays as it is.
CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
               CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return callFrame<FULL_FRAME>("C_SetPIN", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pOldPin != 0", pOldPin);
        traceParameter(L"ulOldLen", ulOldLen);
        tracePresence(L"pNewPin != 0", pNewPin);
        traceParameter(L"ulNewLen", ulNewLen);
        Session& session = resolveSession(call, hSession);
        if (session.isReadOnly()) return CKR_SESSION_READ_ONLY;
        SessionConnection& connection = session.getSessionConnection();
        if (!connection.cardConnection.isPinPadAvailable() &&
            (pOldPin == nullptr || pNewPin == nullptr)) {
            return CKR_ARGUMENTS_BAD;
        }
        if (ulOldLen > UINT32_MAX || ulNewLen > UINT32_MAX) return CKR_ARGUMENTS_BAD;
        CardScope scope(connection);
        amw::CachedToken& token = scope.token();
        const amw::AuthenticationObject* ao =
            connection.loginState == SessionConnection::SECURITY_OFFICER
                ? token.getPkcs11SoObject()
                : token.findAuthenticationObject(amw::AMWROLE_USER);
        if (ao == nullptr) return CKR_USER_PIN_NOT_INITIALIZED;
        std::uint32_t attemptsRemaining = TRIES_UNKNOWN;
        if (token.authenticate(*ao, pOldPin, static_cast<std::uint32_t>(ulOldLen),
                               &attemptsRemaining, nullptr) != amw::AUTHENTICATION_SUCCESS) {
            return wrongPinResult(attemptsRemaining);
        }
        {
            AuthenticatedRole verified(token, ao->getRole());
            token.changePin(*ao, pNewPin, static_cast<std::uint32_t>(ulNewLen), nullptr);
            keepLoginOrEnd(token, connection, ao->getRole());
        }
        token.refreshCache();
        return CKR_OK;
    });
}

}  // extern "C"
