// Slot and token queries and the slot event wait.
#include "callframe.h"
#include "p11exceptions.h"
#include "p11functions.h"

extern "C" {

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return callFrame<FULL_FRAME>("C_GetSlotList", [&]() {
        traceParameter(L"tokenPresent", tokenPresent);
        tracePresence(L"pSlotList != 0", pSlotList);
        traceUlongPointer(L"pulCount", pulCount);
        // pending: the slot table copy from SlotManager (arrives with the slot manager).
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return callFrame<FULL_FRAME>("C_GetSlotInfo", [&]() {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pInfo != 0", pInfo);
        // pending: SlotManager::getById and the reader state (arrive with the slot manager).
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return callFrame<FULL_FRAME>("C_GetTokenInfo", [&]() {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pInfo != 0", pInfo);
        // pending: token information from the card (arrives with the card call scope).
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                         CK_ULONG_PTR pulCount) {
    return callFrame<FULL_FRAME>("C_GetMechanismList", [&]() {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pMechanismList != 0", pMechanismList);
        traceUlongPointer(L"pulCount", pulCount);
        // pending: slot validation through SlotManager::getById (arrives with the slot manager).
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return callFrame<FULL_FRAME>("C_GetMechanismInfo", [&]() {
        traceParameter(L"slotID", slotID);
        traceParameter(L"type", type);
        tracePresence(L"pInfo != 0", pInfo);
        // pending: slot validation through SlotManager::getById (arrives with the slot manager).
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

// Runs without the lock so that a blocking wait does not stop other calls.
CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
    return callFrame<UNLOCKED_FRAME>("C_WaitForSlotEvent", [&]() -> CK_RV {
        traceParameter(L"flags", flags);
        tracePresence(L"pSlot != 0", pSlot);
        tracePresence(L"pReserved != 0", pReserved);
        if (pSlot == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if (!isInitialized.load()) {
            throw LibraryNotInicializedException();
        }
        // pending: SlotManager::waitForEvent (arrives with the slot manager and the
        // reader event listener).
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

}  // extern "C"
