// Signing, decryption, key-pair generation and random numbers. The card does
// only the raw private-key operation; the PKCS #1 version 1.5 blocks around
// it are built and checked here (internal/utils). Random numbers come from
// the operating system's cryptographic generator, never from a generator an
// application could predict or replay.
#include <cstring>
#include <memory>

#include "amw/cachedtoken.h"
#include "callframe.h"
#include "internal/cardscope.h"
#include "internal/p11objects/p11classes.h"
#include "internal/session.h"
#include "internal/utils.h"
#include "p11exceptions.h"
#include "p11functions.h"
#include "platform.h"
#include "vxexception.h"

namespace {

// The card key behind an operation's private-key view, and k, the length of
// its modulus in bytes.
struct OperationKey {
    std::unique_ptr<P11Object> view;
    amw::KeyPair* keyPair;
    CK_ULONG modulusLength;
};

OperationKey keyForOperation(CardFrame& frame, Session::Operation operation) {
    std::unique_ptr<P11Object> view = frame.session().getPrivateKeyForOperation(frame.token(), operation);
    if (view->getObjectClass() != CKO_PRIVATE_KEY) {
        throw InternalErrorException("invalid object class [%lu]", static_cast<unsigned long>(view->getObjectClass()));
    }
    amw::KeyPair* keyPair = static_cast<P11RsaPrivateKey&>(*view).getKeyPair();
    const CK_ULONG modulusLength = keyPair->getKeySize() / 8u;
    if (modulusLength == 0 || modulusLength > RSA_BLOCK_CAPACITY) {
        throw InternalErrorException("unsupported key size [%u]", static_cast<unsigned>(keyPair->getKeySize()));
    }
    return OperationKey{std::move(view), keyPair, modulusLength};
}

// C_SignInit and C_DecryptInit: the mechanism, then the key, which must be a
// private key; its usage flags are not consulted. A new init replaces an
// operation of the same kind that is still active.
CK_RV initPrivateKeyOperation(CallContext& call, CK_SESSION_HANDLE hSession,
                              const CK_MECHANISM* pMechanism, CK_OBJECT_HANDLE hKey,
                              Session::Operation operation) {
    traceParameter(L"hSession", hSession);
    traceMechanism(L"pMechanism", pMechanism);
    traceParameter(L"hKey", hKey);
    if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    if (pMechanism->mechanism != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
    CardFrame frame(call, hSession);
    std::unique_ptr<P11Object> key = frame.session().getObject(&frame.token(), hKey);
    if (key->getObjectClass() != CKO_PRIVATE_KEY) return CKR_KEY_HANDLE_INVALID;
    frame.session().initOperationWithPrivateKeyHandle(hKey, operation);
    if (operation == Session::SIGN_OPERATION) frame.token().refreshCache();
    return CKR_OK;
}

}  // namespace

extern "C" {

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return callFrame<FULL_FRAME>("C_SignInit", [&](CallContext& call) {
        return initPrivateKeyOperation(call, hSession, pMechanism, hKey, Session::SIGN_OPERATION);
    });
}

// Size queries, too-small buffers and failures leave the operation active;
// only a signature that was produced ends it.
CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
             CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return callFrame<FULL_FRAME>("C_Sign", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        traceParameter(L"ulDataLen", ulDataLen);
        traceParameter(L"pSignature == 0", pSignature == nullptr ? L"true" : L"false");
        traceUlongPointer(L"pulSignatureLen", pulSignatureLen);
        if (pData == nullptr || pulSignatureLen == nullptr) return CKR_ARGUMENTS_BAD;
        CardFrame frame(call, hSession);
        const OperationKey key = keyForOperation(frame, Session::SIGN_OPERATION);
        if (pSignature == nullptr) {
            *pulSignatureLen = key.modulusLength;
            traceOutput(L"*pulSignatureLen", *pulSignatureLen);
            frame.token().refreshCache();
            return CKR_OK;
        }
        if (*pulSignatureLen < key.modulusLength) {
            // The length needed; the operation stays active for the retry.
            *pulSignatureLen = key.modulusLength;
            return CKR_BUFFER_TOO_SMALL;
        }
        WipedBlock block;
        pkcs1padSigniturePadding(pData, ulDataLen, block.data, key.modulusLength);
        WipedCardBlock signature;
        frame.token().rsaExponentiation(key.keyPair, block.data, static_cast<std::uint32_t>(key.modulusLength),
                                        &signature.buffer, false);
        *pulSignatureLen = key.modulusLength;
        std::memcpy(pSignature, signature.buffer.data, key.modulusLength);
        traceOutput(L"*pulSignatureLen", *pulSignatureLen);
        frame.session().operationFinal(Session::SIGN_OPERATION);
        frame.token().refreshCache();
        return CKR_OK;
    });
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                    CK_OBJECT_HANDLE hKey) {
    return callFrame<FULL_FRAME>("C_DecryptInit", [&](CallContext& call) {
        return initPrivateKeyOperation(call, hSession, pMechanism, hKey, Session::DECRYPT_OPERATION);
    });
}

// The plaintext is a secret: the card exchange runs in sensitive mode, the
// message is never traced, and the local block is wiped on every exit. The
// size answered to a query is k, an upper bound of the message length.
CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen,
                CK_BYTE_PTR pData, CK_ULONG_PTR pulDataLen) {
    return callFrame<FULL_FRAME>("C_Decrypt", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        traceParameter(L"ulEncryptedDataLen", ulEncryptedDataLen);
        traceParameter(L"pData == 0", pData == nullptr ? L"true" : L"false");
        traceUlongPointer(L"pulDataLen", pulDataLen);
        if (pEncryptedData == nullptr || pulDataLen == nullptr) return CKR_ARGUMENTS_BAD;
        CardFrame frame(call, hSession);
        const OperationKey key = keyForOperation(frame, Session::DECRYPT_OPERATION);
        if (ulEncryptedDataLen != key.modulusLength) return CKR_ENCRYPTED_DATA_LEN_RANGE;
        if (pData == nullptr) {
            *pulDataLen = key.modulusLength;
            traceOutput(L"*pulDataLen", *pulDataLen);
            frame.token().refreshCache();
            return CKR_OK;
        }
        if (*pulDataLen < key.modulusLength) {
            // The upper bound needed; the operation stays active for the retry.
            *pulDataLen = key.modulusLength;
            return CKR_BUFFER_TOO_SMALL;
        }
        WipedCardBlock decrypted;
        frame.token().rsaExponentiation(key.keyPair, pEncryptedData,
                                        static_cast<std::uint32_t>(key.modulusLength), &decrypted.buffer, true);
        const std::uint8_t* message = nullptr;
        std::size_t messageLength = 0;
        pkcs1unpadEncryptionPadding(decrypted.buffer.data, key.modulusLength, &message, &messageLength);
        *pulDataLen = static_cast<CK_ULONG>(messageLength);
        if (messageLength != 0) std::memcpy(pData, message, messageLength);
        traceOutput(L"*pulDataLen", *pulDataLen);
        frame.session().operationFinal(Session::DECRYPT_OPERATION);
        frame.token().refreshCache();
        return CKR_OK;
    });
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                        CK_ATTRIBUTE_PTR pPublicKeyTemplate, CK_ULONG ulPublicKeyAttributeCount,
                        CK_ATTRIBUTE_PTR pPrivateKeyTemplate, CK_ULONG ulPrivateKeyAttributeCount,
                        CK_OBJECT_HANDLE_PTR phPublicKey, CK_OBJECT_HANDLE_PTR phPrivateKey) {
    return callFrame<FULL_FRAME>("C_GenerateKeyPair", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        traceMechanism(L"pMechanism", pMechanism);
        traceParameter(L"ulPublicKeyAttributeCount", ulPublicKeyAttributeCount);
        traceTemplate(L"pPublicKeyTemplate", pPublicKeyTemplate, ulPublicKeyAttributeCount);
        traceParameter(L"ulPrivateKeyAttributeCount", ulPrivateKeyAttributeCount);
        traceTemplate(L"pPrivateKeyTemplate", pPrivateKeyTemplate, ulPrivateKeyAttributeCount);
        tracePresence(L"phPublicKey != 0", phPublicKey);
        tracePresence(L"phPrivateKey != 0", phPrivateKey);
        if (pMechanism == nullptr || pPublicKeyTemplate == nullptr || pPrivateKeyTemplate == nullptr ||
            phPublicKey == nullptr || phPrivateKey == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        if (pMechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN) return CKR_MECHANISM_INVALID;
        CardFrame frame(call, hSession);
        frame.session().generateKeyPair(frame.token(), pPublicKeyTemplate, ulPublicKeyAttributeCount,
                                        pPrivateKeyTemplate, ulPrivateKeyAttributeCount, phPublicKey,
                                        phPrivateKey);
        traceOutput(L"*phPublicKey", *phPublicKey);
        traceOutput(L"*phPrivateKey", *phPrivateKey);
        frame.token().refreshCache();
        return CKR_OK;
    });
}

// The seed is checked and accepted but not used: the operating system's
// generator needs none, and a seed must never make the output repeatable.
// Its bytes are not traced either: applications seed with secret material.
CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    return callFrame<FULL_FRAME>("C_SeedRandom", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pSeed != 0", pSeed);
        traceParameter(L"ulSeedLen", ulSeedLen);
        if (pSeed == nullptr) return CKR_ARGUMENTS_BAD;
        resolveSession(call, hSession);
        return CKR_OK;
    });
}

// Validates the session only; the card is not involved. The buffer's old
// content is not traced: it may hold an earlier secret of the application.
CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    return callFrame<FULL_FRAME>("C_GenerateRandom", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pRandomData != 0", pRandomData);
        traceParameter(L"ulRandomLen", ulRandomLen);
        if (pRandomData == nullptr && ulRandomLen != 0) return CKR_ARGUMENTS_BAD;
        resolveSession(call, hSession);
        if (ulRandomLen != 0 && !platform::randomBytes(pRandomData, ulRandomLen)) {
            return CKR_FUNCTION_FAILED;
        }
        return CKR_OK;
    });
}

}  // extern "C"
