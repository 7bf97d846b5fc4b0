// Sessions, login and PIN change.
#include "callframe.h"
#include "p11functions.h"

extern "C" {

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication, CK_NOTIFY Notify,
                    CK_SESSION_HANDLE_PTR phSession) {
    return callFrame<FULL_FRAME>("C_OpenSession", [&]() {
        traceParameter(L"slotID", slotID);
        traceParameter(L"flags", flags);
        tracePresence(L"pApplication != 0", pApplication);
        tracePresence(L"Notify != 0", reinterpret_cast<const void*>(Notify));
        tracePresence(L"phSession != 0", phSession);
        // pending: SessionManager::openSession (arrives with the session manager).
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return callFrame<FULL_FRAME>("C_CloseSession", [&]() {
        traceParameter(L"hSession", hSession);
        // pending: SessionManager::closeSession (arrives with the session manager).
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return callFrame<FULL_FRAME>("C_CloseAllSessions", [&]() {
        traceParameter(L"slotID", slotID);
        // pending: SessionManager::closeAllSessions (arrives with the session manager).
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return callFrame<FULL_FRAME>("C_GetSessionInfo", [&]() {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pInfo != 0", pInfo);
        // pending: session state from the session manager.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

// PINs are never traced, only whether they were given and their lengths.
CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
              CK_ULONG ulPinLen) {
    return callFrame<FULL_FRAME>("C_Login", [&]() {
        traceParameter(L"hSession", hSession);
        traceParameter(L"userType", userType);
        tracePresence(L"pPin != 0", pPin);
        traceParameter(L"ulPinLen", ulPinLen);
        // pending: login through the session connection and the card call scope.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return callFrame<FULL_FRAME>("C_Logout", [&]() {
        traceParameter(L"hSession", hSession);
        // pending: logout through the session connection.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
               CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return callFrame<FULL_FRAME>("C_SetPIN", [&]() {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pOldPin != 0", pOldPin);
        traceParameter(L"ulOldLen", ulOldLen);
        tracePresence(L"pNewPin != 0", pNewPin);
        traceParameter(L"ulNewLen", ulNewLen);
        // pending: PIN change through the card call scope.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

}  // extern "C"
