// Creating, reading, changing, finding and destroying token objects. Each
// function is a thin frame around the session's object work in the card
// frame; the object classes own the attribute rules.
#include <cstring>
#include <exception>
#include <memory>

#include "amw/cachedtoken.h"
#include "callframe.h"
#include "internal/cardscope.h"
#include "internal/objecthandles.h"
#include "internal/p11objects/p11object.h"
#include "internal/session.h"
#include "p11exceptions.h"
#include "p11functions.h"

namespace {

// A full card answers 6F09 to the writes of a creation; whichever layer
// reports it, the application learns that the card has no room.
bool isCardFull(const std::exception& e) { return std::strstr(e.what(), "6F09") != nullptr; }

// Reads one attribute; a refusal of one of the four per-attribute kinds is
// logged and returned as its code so that the other attributes are still
// filled.
CK_RV readAttribute(P11Object& object, CK_ATTRIBUTE& attribute) {
    try {
        object.getAttributeValue(attribute.type, attribute.pValue, &attribute.ulValueLen);
        return CKR_OK;
    } catch (const AttributeTypeInvalidException& e) {
        logException(LOG_FACILITY_PKCS11, e);
        return CKR_ATTRIBUTE_TYPE_INVALID;
    } catch (const AttributeBufferTooSmallException& e) {
        logException(LOG_FACILITY_PKCS11, e);
        return CKR_BUFFER_TOO_SMALL;
    } catch (const AttributeTypeSensitiveException& e) {
        logException(LOG_FACILITY_PKCS11, e);
        return CKR_ATTRIBUTE_SENSITIVE;
    } catch (const AttributeReadOnlyException& e) {
        logException(LOG_FACILITY_PKCS11, e);
        return CKR_ATTRIBUTE_READ_ONLY;
    }
}

// The value of a private data object is traced by its length only:
// applications keep secrets there. A creation template is read without
// trusting it; one that asks for a private object of no readable class is
// treated as a data object.
bool describesPrivateDataObject(const CK_ATTRIBUTE* attributes, CK_ULONG count) noexcept {
    if (attributes == nullptr) return false;
    bool isPrivate = false;
    bool otherClass = false;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = attributes[i];
        if (attribute.pValue == nullptr) continue;
        if (attribute.type == CKA_PRIVATE && attribute.ulValueLen >= 1) {
            isPrivate = *static_cast<const CK_BYTE*>(attribute.pValue) != CK_FALSE;
        } else if (attribute.type == CKA_CLASS && attribute.ulValueLen == sizeof(CK_ULONG)) {
            CK_OBJECT_CLASS objectClass = 0;
            std::memcpy(&objectClass, attribute.pValue, sizeof objectClass);
            otherClass = objectClass != CKO_DATA;
        }
    }
    return isPrivate && !otherClass;
}

// A search by value can name a private data object's secret: its value is
// traced by its length unless the template itself rules such objects out
// (another class, or CKA_PRIVATE false).
bool mayMatchPrivateDataObjects(const CK_ATTRIBUTE* attributes, CK_ULONG count) noexcept {
    if (attributes == nullptr) return false;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = attributes[i];
        if (attribute.pValue == nullptr) continue;
        if (attribute.type == CKA_PRIVATE && attribute.ulValueLen >= 1 &&
            *static_cast<const CK_BYTE*>(attribute.pValue) == CK_FALSE) {
            return false;
        }
        if (attribute.type == CKA_CLASS && attribute.ulValueLen == sizeof(CK_ULONG)) {
            CK_OBJECT_CLASS objectClass = 0;
            std::memcpy(&objectClass, attribute.pValue, sizeof objectClass);
            if (objectClass != CKO_DATA) return false;
        }
    }
    return true;
}

// Before the card is asked, privacy is unknown: every data object's value
// (and that of an unknown handle) is hidden.
bool mayBePrivateDataObject(CK_OBJECT_HANDLE hObject) noexcept {
    const ObjectIdentity* identity = ObjectHandles::find(hObject);
    return identity == nullptr || identity->objectClass == CKO_DATA;
}

bool isPrivateDataObject(P11Object& object) {
    if (object.getObjectClass() != CKO_DATA) return false;
    CK_BBOOL value = CK_TRUE;
    CK_ULONG length = sizeof value;
    object.getAttributeValue(CKA_PRIVATE, &value, &length);
    return value != CK_FALSE;
}

}  // namespace

extern "C" {

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
    return callFrame<FULL_FRAME>("C_CreateObject", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        traceParameter(L"ulCount", ulCount);
        traceTemplate(L"pTemplate", pTemplate, ulCount, describesPrivateDataObject(pTemplate, ulCount));
        tracePresence(L"phObject != 0", phObject);
        if (phObject == nullptr) return CKR_ARGUMENTS_BAD;
        if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
        CardFrame frame(call, hSession);
        frame.restoreLoginNow();  // every write needs the login
        try {
            *phObject = frame.session().createObject(frame.token(), pTemplate, ulCount);
        } catch (const std::exception& e) {
            if (!isCardFull(e)) throw;
            Logger& logger = Logger::instance();
            if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"EXCEPTION CAUGHT %s", e.what());
            return CKR_DEVICE_MEMORY;
        }
        traceOutput(L"*phObject", *phObject);
        frame.token().refreshCache();
        return CKR_OK;
    });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
    return callFrame<FULL_FRAME>("C_DestroyObject", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        traceParameter(L"hObject", hObject);
        CardFrame frame(call, hSession);
        frame.restoreLoginNow();  // every write needs the login
        frame.session().destroyObject(frame.token(), hObject);
        frame.token().refreshCache();
        return CKR_OK;
    });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return callFrame<FULL_FRAME>("C_GetAttributeValue", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        traceParameter(L"hObject", hObject);
        traceParameter(L"ulCount", ulCount);
        traceTemplate(L"pTemplate", pTemplate, ulCount, mayBePrivateDataObject(hObject));
        if (pTemplate == nullptr) return CKR_ARGUMENTS_BAD;
        CardFrame frame(call, hSession);
        std::unique_ptr<P11Object> object = frame.session().getVisibleObject(frame.token(), hObject);
        // The last attribute that fails decides the result.
        CK_RV result = CKR_OK;
        for (CK_ULONG i = 0; i < ulCount; ++i) {
            const CK_RV rv = readAttribute(*object, pTemplate[i]);
            if (rv != CKR_OK) result = rv;
        }
        traceOutput(L"ulCount", ulCount);
        traceOutputTemplate(L"pTemplate", pTemplate, ulCount, isPrivateDataObject(*object));
        frame.token().refreshCache();
        return result;
    });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                          CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return callFrame<FULL_FRAME>("C_SetAttributeValue", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        traceParameter(L"hObject", hObject);
        traceParameter(L"ulCount", ulCount);
        traceTemplate(L"pTemplate", pTemplate, ulCount, mayBePrivateDataObject(hObject));
        Session& session = resolveSession(call, hSession);
        if (session.isReadOnly()) return CKR_SESSION_READ_ONLY;
        if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
        CardFrame frame(call, hSession);
        frame.restoreLoginNow();  // every write needs the login
        std::unique_ptr<P11Object> object = frame.session().getVisibleObject(frame.token(), hObject);
        for (CK_ULONG i = 0; i < ulCount; ++i) {
            object->setAttributeValue(pTemplate[i].type, pTemplate[i].pValue, pTemplate[i].ulValueLen);
        }
        object->commitChanges(frame.token());
        frame.token().refreshCache();
        return CKR_OK;
    });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return callFrame<FULL_FRAME>("C_FindObjectsInit", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        traceParameter(L"ulCount", ulCount);
        traceTemplate(L"pTemplate", pTemplate, ulCount, mayMatchPrivateDataObjects(pTemplate, ulCount));
        if (ulCount != 0 && pTemplate == nullptr) return CKR_ARGUMENTS_BAD;
        CardFrame frame(call, hSession);
        frame.session().findObjects(frame.token(), pTemplate, ulCount);
        frame.token().refreshCache();
        return CKR_OK;
    });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject,
                    CK_ULONG ulMaxObjectCount, CK_ULONG_PTR pulObjectCount) {
    return callFrame<FULL_FRAME>("C_FindObjects", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"phObject != 0", phObject);
        traceParameter(L"ulMaxObjectCount", ulMaxObjectCount);
        tracePresence(L"pulObjectCount != 0", pulObjectCount);
        if (phObject == nullptr || pulObjectCount == nullptr) return CKR_ARGUMENTS_BAD;
        Session& session = resolveSession(call, hSession);
        // The count is zero before anything can fail, also without a search.
        *pulObjectCount = 0;
        if (!session.isSearchActive()) throw OperationNotInitialized("findObjectsInit");
        CK_ULONG count = 0;
        while (count < ulMaxObjectCount) {
            const CK_OBJECT_HANDLE handle = session.getNextFoundObject();
            if (handle == 0) break;
            phObject[count++] = handle;
        }
        *pulObjectCount = count;
        traceOutput(L"*pulObjectCount", count);
        for (CK_ULONG i = 0; traceEnabled() && i < count && i < TEMPLATE_TRACE_LIMIT; ++i) {
            TraceText name;
            name.append(L"phObject[%lu]", static_cast<unsigned long>(i));
            traceOutput(name.c_str(), phObject[i]);
        }
        return CKR_OK;
    });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return callFrame<FULL_FRAME>("C_FindObjectsFinal", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        resolveSession(call, hSession).findObjectsFinal();
        return CKR_OK;
    });
}

}  // extern "C"
