// Signing, decryption, key-pair generation and random numbers.
#include "callframe.h"
#include "p11functions.h"

extern "C" {

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return callFrame<FULL_FRAME>("C_SignInit", [&]() {
        traceParameter(L"hSession", hSession);
        traceMechanism(L"pMechanism", pMechanism);
        traceParameter(L"hKey", hKey);
        // pending: signing key selection through the session and the card call scope.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
             CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return callFrame<FULL_FRAME>("C_Sign", [&]() {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pData != 0", pData);
        traceParameter(L"ulDataLen", ulDataLen);
        tracePresence(L"pSignature != 0", pSignature);
        traceUlongPointer(L"pulSignatureLen", pulSignatureLen);
        // pending: block type 1 padding and the card's private-key operation.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                    CK_OBJECT_HANDLE hKey) {
    return callFrame<FULL_FRAME>("C_DecryptInit", [&]() {
        traceParameter(L"hSession", hSession);
        traceMechanism(L"pMechanism", pMechanism);
        traceParameter(L"hKey", hKey);
        // pending: decryption key selection through the session and the card call scope.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    return callFrame<FULL_FRAME>("C_Decrypt", [&]() {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pEncryptedData != 0", pEncryptedData);
        traceParameter(L"ulEncryptedDataLen", ulEncryptedDataLen);
        tracePresence(L"pData != 0", pData);
        traceUlongPointer(L"pulDataLen", pulDataLen);
        // pending: the card's private-key operation and the block type 2 check.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                        CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                        CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                        CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    return callFrame<FULL_FRAME>("C_GenerateKeyPair", [&]() {
        traceParameter(L"hSession", hSession);
        traceMechanism(L"pMechanism", pMechanism);
        traceParameter(L"ulPublicKeyAttributeCount", ulPublicKeyAttributeCount);
        traceTemplate(L"pPublicKeyTemplate", pPublicKeyTemplate, ulPublicKeyAttributeCount);
        traceParameter(L"ulPrivateKeyAttributeCount", ulPrivateKeyAttributeCount);
        traceTemplate(L"pPrivateKeyTemplate", pPrivateKeyTemplate, ulPrivateKeyAttributeCount);
        tracePresence(L"phPublicKey != 0", phPublicKey);
        tracePresence(L"phPrivateKey != 0", phPrivateKey);
        // pending: Session::generateKeyPair.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    return callFrame<FULL_FRAME>("C_SeedRandom", [&]() {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pSeed != 0", pSeed);
        traceParameter(L"ulSeedLen", ulSeedLen);
        // pending: session validation through the session manager.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    return callFrame<FULL_FRAME>("C_GenerateRandom", [&]() {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pRandomData != 0", pRandomData);
        traceParameter(L"ulRandomLen", ulRandomLen);
        // pending: session validation, then the operating system's generator.
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}

}  // extern "C"
