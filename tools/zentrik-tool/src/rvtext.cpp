#include "rvtext.h"

#include <cstdio>

namespace zentriktool {
namespace {

struct RvText {
    CK_RV rv;
    const char* name;
    const char* advice;
};

#define RV(code, advice) {code, #code, advice}

// The results the tool's calls can answer with.
const RvText RV_TEXTS[] = {
    RV(CKR_OK, "done"),
    RV(CKR_PIN_INCORRECT, "wrong PIN; check the PIN and try again"),
    RV(CKR_PIN_LOCKED, "the PIN is blocked; unblock it with the security officer's PIN "
                       "(zentrik-tool unblock-pin)"),
    RV(CKR_PIN_LEN_RANGE, "the PIN is too short or too long; see the PIN lengths in zentrik-tool info"),
    RV(CKR_PIN_INVALID, "the new PIN has characters the card does not accept; choose another PIN"),
    RV(CKR_PIN_EXPIRED, "the PIN has expired; change it with zentrik-tool change-pin"),
    RV(CKR_USER_PIN_NOT_INITIALIZED, "the card has no such PIN; it needs personalising"),
    RV(CKR_USER_NOT_LOGGED_IN, "this needs the user PIN; give it with --pin or when asked"),
    RV(CKR_USER_ALREADY_LOGGED_IN, "already logged in; close other applications using the card"),
    RV(CKR_USER_ANOTHER_ALREADY_LOGGED_IN, "another user is logged in; close other applications "
                                           "using the card"),
    RV(CKR_FUNCTION_CANCELED, "the PIN entry was cancelled or timed out on the reader; try again"),
    RV(CKR_TOKEN_NOT_PRESENT, "no card in that reader; insert the card or choose another --slot"),
    RV(CKR_TOKEN_NOT_RECOGNIZED, "the card in that reader is not a Ferrix card"),
    RV(CKR_TOKEN_WRITE_PROTECTED, "the card is write-protected"),
    RV(CKR_DEVICE_REMOVED, "the card was removed; insert it and try again"),
    RV(CKR_DEVICE_ERROR, "the card or reader did not answer; reinsert the card, check the reader "
                         "and that pcscd is running"),
    RV(CKR_DEVICE_MEMORY, "the card is full; remove objects you no longer need"),
    RV(CKR_SESSION_CLOSED, "the card was reset by another application; try again"),
    RV(CKR_SESSION_HANDLE_INVALID, "the card was reset or removed meanwhile; try again"),
    RV(CKR_SESSION_READ_ONLY, "the session is read-only"),
    RV(CKR_SESSION_COUNT, "too many sessions are open; close other applications using the card"),
    RV(CKR_SLOT_ID_INVALID, "no such slot; zentrik-tool info lists the slots"),
    RV(CKR_ARGUMENTS_BAD, "the module refused the arguments; a PIN may be needed on this reader"),
    RV(CKR_FUNCTION_FAILED, "the card refused the operation; for default-cert --set, check that a "
                            "certificate with that identifier exists (zentrik-tool list)"),
    RV(CKR_FUNCTION_NOT_SUPPORTED, "the module does not offer this function"),
    RV(CKR_GENERAL_ERROR, "the module failed; its trace log may tell more"),
    RV(CKR_HOST_MEMORY, "out of memory"),
    RV(CKR_CRYPTOKI_NOT_INITIALIZED, "the module was not initialised"),
    RV(CKR_CRYPTOKI_ALREADY_INITIALIZED, "the module was already initialised"),
    RV(CKR_BUFFER_TOO_SMALL, "the card's answer was larger than expected; the card changed "
                             "meanwhile, try again"),
    RV(CKR_ATTRIBUTE_SENSITIVE, "the card does not reveal this value"),
    RV(CKR_ATTRIBUTE_TYPE_INVALID, "the object has no such attribute"),
    RV(CKR_OBJECT_HANDLE_INVALID, "the object was removed meanwhile; try again"),
    RV(CKR_OPERATION_ACTIVE, "another operation is in progress; try again"),
    RV(CKR_TEMPLATE_INCONSISTENT, "the module refused the request"),
};

#undef RV

const RvText* find(CK_RV rv) {
    for (const RvText& text : RV_TEXTS) {
        if (text.rv == rv) return &text;
    }
    return nullptr;
}

}  // namespace

std::string rvName(CK_RV rv) {
    if (const RvText* text = find(rv)) return text->name;
    char hex[32];
    std::snprintf(hex, sizeof hex, "CKR_0x%08lX", rv);
    return hex;
}

const char* rvAdvice(CK_RV rv) {
    if (const RvText* text = find(rv)) return text->advice;
    return "the module refused the request";
}

}  // namespace zentriktool
