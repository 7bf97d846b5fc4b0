// The private extension list: card facts, PIN unblocking and the default
// certificate, plus entries kept for older callers that answer with constants
// or CKR_FUNCTION_NOT_SUPPORTED. The entries that work on a card are in
// privatecardfunctions.cpp.
#include <cstring>

#include "callframe.h"
#include "p11functions.h"

namespace {

// "Not available" in every 32-bit output of the constant entries.
constexpr CK_ULONG UNAVAILABLE = 0xFFFFFFFFUL;

const CK_PRIVATE_FUNCTION_LIST PRIVATE_FUNCTION_LIST = {
    .C_GetP15TokenInfo = C_GetP15TokenInfo,
    .C_GetPrivateFunctionList = C_GetPrivateFunctionList,
    .C_UnblockPIN = C_UnblockPIN,
    .C_GetVxeiInfo = C_GetVxeiInfo,
    .C_GetDataInfo = C_GetDataInfo,
    .C_GetATR = C_GetATR,
    .C_GetLastDataIndex = C_GetLastDataIndex,
    .C_GetPinPuk = C_GetPinPuk,
    .C_MoveCertLast = C_MoveCertLast,
    .C_CanSetPUK = C_CanSetPUK,
    .C_SetPUK = C_SetPUK,
    .C_IsJavaCardFamily = C_IsJavaCardFamily,
    .C_GetAppletVersion = C_GetAppletVersion,
    .C_GetDefaultCert = C_GetDefaultCert,
    .C_SetDefaultCert = C_SetDefaultCert,
    .C_GetCardId = C_GetCardId,
};

template <class... Pointers>
bool anyNull(Pointers... pointers) noexcept {
    return ((pointers == nullptr) || ...);
}

}  // namespace

extern "C" {

CK_RV C_GetPrivateFunctionList(CK_PRIVATE_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    return callFrame<BARE_FRAME>("C_GetPrivateFunctionList", [&](CallContext& call) noexcept {
        if (ppFunctionList == nullptr) {
            call.returnForm = ReturnForm::NUMERIC;
            return CKR_ARGUMENTS_BAD;
        }
        *ppFunctionList = const_cast<CK_PRIVATE_FUNCTION_LIST_PTR>(&PRIVATE_FUNCTION_LIST);
        return CKR_OK;
    });
}

// Two empty 64-byte texts: blanks with a zero in the first byte of each.
// Works before C_Initialize.
CK_RV C_GetP15TokenInfo(CK_SLOT_ID slotID, CK_BYTE_PTR pInfo) {
    return callFrame<BARE_FRAME>("C_GetP15TokenInfo", [&]() noexcept {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pInfo != 0", pInfo);
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::memset(pInfo, ' ', CK_P15_TOKEN_INFO_SIZE);
        pInfo[0] = 0;
        pInfo[CK_P15_TOKEN_INFO_SIZE / 2] = 0;
        return CKR_OK;
    });
}

CK_RV C_GetDataInfo(CK_SLOT_ID slotID, CK_ULONG_PTR pulValue1, CK_ULONG_PTR pulValue2,
                    CK_ULONG_PTR pulValue3, CK_ULONG_PTR pulValue4) {
    return callFrame<FIXED_OUTPUT_FRAME>("C_GetDataInfo", [&]() noexcept {
        traceParameter(L"slotID", slotID);
        if (anyNull(pulValue1, pulValue2, pulValue3, pulValue4)) {
            return CKR_ARGUMENTS_BAD;
        }
        *pulValue1 = *pulValue2 = *pulValue3 = *pulValue4 = UNAVAILABLE;
        return CKR_OK;
    });
}

CK_RV C_GetPinPuk(CK_SLOT_ID slotID, CK_ULONG_PTR pulValue1, CK_ULONG_PTR pulValue2,
                  CK_ULONG_PTR pulValue3, CK_BBOOL_PTR pbFlag1, CK_ULONG_PTR pulValue4,
                  CK_ULONG_PTR pulValue5, CK_ULONG_PTR pulValue6, CK_ULONG_PTR pulValue7,
                  CK_BBOOL_PTR pbFlag2, CK_ULONG_PTR pulValue8) {
    return callFrame<FIXED_OUTPUT_FRAME>("C_GetPinPuk", [&]() noexcept {
        traceParameter(L"slotID", slotID);
        if (anyNull(pulValue1, pulValue2, pulValue3, pbFlag1, pulValue4, pulValue5, pulValue6,
                    pulValue7, pbFlag2, pulValue8)) {
            return CKR_ARGUMENTS_BAD;
        }
        for (CK_ULONG_PTR value :
             {pulValue1, pulValue2, pulValue3, pulValue4, pulValue5, pulValue6, pulValue7, pulValue8}) {
            *value = UNAVAILABLE;
        }
        *pbFlag1 = CK_FALSE;
        *pbFlag2 = CK_FALSE;
        return CKR_OK;
    });
}

CK_RV C_CanSetPUK(CK_SLOT_ID slotID, CK_BBOOL_PTR pbCanSet) {
    return callFrame<FIXED_OUTPUT_FRAME>("C_CanSetPUK", [&]() noexcept {
        traceParameter(L"slotID", slotID);
        if (pbCanSet == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        *pbCanSet = CK_TRUE;
        return CKR_OK;
    });
}

CK_RV C_IsJavaCardFamily(CK_SLOT_ID slotID, CK_VOID_PTR pUnused1, CK_VOID_PTR pUnused2,
                         CK_BBOOL_PTR pbIsJavaCard) {
    return callFrame<FIXED_OUTPUT_FRAME>("C_IsJavaCardFamily", [&]() noexcept {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pUnused1 != 0", pUnused1);
        tracePresence(L"pUnused2 != 0", pUnused2);
        if (pbIsJavaCard == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        *pbIsJavaCard = CK_TRUE;
        return CKR_OK;
    });
}

CK_RV C_GetLastDataIndex(CK_SLOT_ID, CK_VOID_PTR) { return notSupported("C_GetLastDataIndex"); }

CK_RV C_MoveCertLast(CK_SESSION_HANDLE, CK_VOID_PTR) { return notSupported("C_MoveCertLast"); }

CK_RV C_SetPUK(CK_SESSION_HANDLE, CK_VOID_PTR) { return notSupported("C_SetPUK"); }

}  // extern "C"
