// Creating, reading, changing, finding and destroying token objects.
#include "callframe.h"
#include "p11functions.h"

extern "C" {

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
    return callFrame<FULL_FRAME>("C_CreateObject", [&]() {
        traceParameter(L"hSession", hSession);
        traceParameter(L"ulCount", ulCount);
        traceTemplate(L"pTemplate", pTemplate, ulCount);
        tracePresence(L"phObject != 0", phObject);
        // pending: object creation through the session and the card call scope.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return callFrame<FULL_FRAME>("C_DestroyObject", [&]() {
        traceParameter(L"hSession", hSession);
        traceParameter(L"hObject", hObject);
        // pending: object removal through the session and the card call scope.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return callFrame<FULL_FRAME>("C_GetAttributeValue", [&]() {
        traceParameter(L"hSession", hSession);
        traceParameter(L"hObject", hObject);
        tracePresence(L"pTemplate != 0", pTemplate);
        traceParameter(L"ulCount", ulCount);
        // pending: attribute reading through the object views.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return callFrame<FULL_FRAME>("C_SetAttributeValue", [&]() {
        traceParameter(L"hSession", hSession);
        traceParameter(L"hObject", hObject);
        traceParameter(L"ulCount", ulCount);
        traceTemplate(L"pTemplate", pTemplate, ulCount);
        // pending: attribute changes through the object views.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return callFrame<FULL_FRAME>("C_FindObjectsInit", [&]() {
        traceParameter(L"hSession", hSession);
        traceParameter(L"ulCount", ulCount);
        traceTemplate(L"pTemplate", pTemplate, ulCount);
        // pending: Session::findObjects.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                    CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    return callFrame<FULL_FRAME>("C_FindObjects", [&]() {
        traceParameter(L"hSession", hSession);
        tracePresence(L"phObject != 0", phObject);
        traceParameter(L"ulMaxObjectCount", ulMaxObjectCount);
        tracePresence(L"pulObjectCount != 0", pulObjectCount);
        // pending: Session::getNextFoundObject.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return callFrame<FULL_FRAME>("C_FindObjectsFinal", [&]() {
        traceParameter(L"hSession", hSession);
        // pending: ending the session's search.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

}  // extern "C"
