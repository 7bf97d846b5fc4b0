// Signing, decryption, key-pair generation and random numbers. The card does
// only the raw private-key operation; the blocks around it (PKCS #1 version
// 1.5, PSS, OAEP) are built and checked here (internal/utils,
// internal/rsaencoding), and the hash-and-sign mechanisms hash on the host.
// Which mechanism does what is the table of internal/mechanisms. Random
// numbers come from the operating system's cryptographic generator, never
// from a generator an application could predict or replay.
#include <cstring>
#include <memory>
#include <optional>

#include "amw/cachedtoken.h"
#include "callframe.h"
#include "internal/cardscope.h"
#include "internal/mechanisms.h"
#include "internal/p11objects/p11classes.h"
#include "internal/rsaencoding.h"
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
    // The modulus's real length: an imported modulus need not fill its top byte.
    std::size_t modulusBits() const noexcept { return keyPair->getModulusBits(); }
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
    frame.restoreLoginNow();
    return OperationKey{std::move(view), keyPair, modulusLength};
}

// C_SignInit and C_DecryptInit: the mechanism, then the key, which must be a
// private key; its usage flags are not consulted. The mechanism's parameters
// are read once the key is known, since what they may ask for (a salt, an
// OAEP hash) depends on its size. A new init replaces an operation of the
// same kind that is still active, a multi-part one included.
CK_RV initPrivateKeyOperation(CallContext& call, CK_SESSION_HANDLE hSession,
                              const CK_MECHANISM* pMechanism, CK_OBJECT_HANDLE hKey,
                              Session::Operation operation) {
    traceParameter(L"hSession", hSession);
    traceMechanism(L"pMechanism", pMechanism);
    traceParameter(L"hKey", hKey);
    if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    const CK_FLAGS wanted = operation == Session::SIGN_OPERATION ? CKF_SIGN : CKF_DECRYPT;
    const MechanismRow* row = findMechanism(pMechanism->mechanism);
    if (row == nullptr || (row->operations & wanted) == 0) return CKR_MECHANISM_INVALID;
    CardFrame frame(call, hSession);
    std::unique_ptr<P11Object> key = frame.session().getObject(&frame.token(), hKey);
    if (key->getObjectClass() != CKO_PRIVATE_KEY) return CKR_KEY_HANDLE_INVALID;
    const std::size_t modulusBits = static_cast<P11RsaPrivateKey&>(*key).getKeyPair()->getModulusBits();
    OperationMechanism mechanism;
    const CK_RV rv = selectMechanism(*pMechanism, wanted, modulusBits, mechanism);
    if (rv != CKR_OK) return rv;
    frame.session().initOperationWithPrivateKeyHandle(hKey, operation, std::move(mechanism));
    if (operation == Session::SIGN_OPERATION) frame.token().refreshCache();
    return CKR_OK;
}

// A size query (no buffer) or a buffer too small is answered with the length
// needed, and the operation stays active for the retry; empty when the
// buffer takes the result.
std::optional<CK_RV> answerWithLengthNeeded(CardFrame& frame, const void* buffer, CK_ULONG_PTR length,
                                            std::size_t needed, const wchar_t* lengthName) {
    if (buffer != nullptr && *length >= needed) return std::nullopt;
    const bool query = buffer == nullptr;
    *length = static_cast<CK_ULONG>(needed);
    traceOutput(lengthName, *length);
    frame.token().refreshCache();
    return query ? CKR_OK : CKR_BUFFER_TOO_SMALL;
}

// The block the card signs for the operation's mechanism: the data itself,
// or for a hash-and-sign mechanism its digest, encoded.
void formatForSigning(const OperationMechanism& mechanism, const OperationKey& key, const std::uint8_t* data,
                      std::size_t dataLength, WipedBlock& block) {
    if (!mechanism.row->hash) {
        formatSignatureBlock(mechanism, data, dataLength, key.modulusBits(), block.data, key.modulusLength);
        return;
    }
    std::uint8_t digest[MessageDigest::MAX_DIGEST_SIZE];
    MessageDigest::digest(*mechanism.row->hash, data, dataLength, digest);
    formatSignatureBlock(mechanism, digest, MessageDigest::digestSize(*mechanism.row->hash), key.modulusBits(),
                         block.data, key.modulusLength);
}

// The card's signature of a formatted block, copied out; ends the operation.
void signFormattedBlock(CardFrame& frame, const OperationKey& key, const WipedBlock& block,
                        CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    WipedCardBlock signature;
    frame.token().rsaExponentiation(key.keyPair, block.data, static_cast<std::uint32_t>(key.modulusLength),
                                    &signature.buffer, false);
    *pulSignatureLen = key.modulusLength;
    std::memcpy(pSignature, signature.buffer.data, key.modulusLength);
    traceOutput(L"*pulSignatureLen", *pulSignatureLen);
    frame.session().operationFinal(Session::SIGN_OPERATION);
    frame.token().refreshCache();
}

// The raw mechanisms sign what they are given in one piece: the multi-part
// functions are not theirs, and, as any failed update or final does, the
// refusal ends the signing operation.
CK_RV refuseMultiPart(Session& session) {
    session.operationFinal(Session::SIGN_OPERATION);
    return CKR_FUNCTION_NOT_SUPPORTED;
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
        const OperationMechanism& mechanism = frame.session().getOperationMechanism(Session::SIGN_OPERATION);
        // A multi-part signature in progress ends only with C_SignFinal.
        if (frame.session().getOperationDigest(Session::SIGN_OPERATION)) return CKR_OPERATION_ACTIVE;
        if (auto answered = answerWithLengthNeeded(frame, pSignature, pulSignatureLen, key.modulusLength,
                                                   L"*pulSignatureLen")) {
            return *answered;
        }
        WipedBlock block;
        formatForSigning(mechanism, key, pData, ulDataLen, block);
        signFormattedBlock(frame, key, block, pSignature, pulSignatureLen);
        return CKR_OK;
    });
}

// Multi-part signing, for the mechanisms that hash on the host: the parts
// go into the session's digest without reaching the card. The data is never
// traced, only its length.
CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return callFrame<FULL_FRAME>("C_SignUpdate", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pPart != 0", pPart);
        traceParameter(L"ulPartLen", ulPartLen);
        if (pPart == nullptr && ulPartLen != 0) return CKR_ARGUMENTS_BAD;
        Session& session = resolveSession(call, hSession);
        const OperationMechanism& mechanism = session.getOperationMechanism(Session::SIGN_OPERATION);
        if (!mechanism.row->hash) return refuseMultiPart(session);
        std::optional<MessageDigest>& digest = session.getOperationDigest(Session::SIGN_OPERATION);
        if (!digest) digest.emplace(*mechanism.row->hash);
        digest->update(pPart, ulPartLen);
        return CKR_OK;
    });
}

// Like C_Sign: a size query and a buffer too small (which answers the size
// needed) leave the operation active, and so does a failure; the digest is
// finished on a copy, so the parts already given stay in the session.
CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return callFrame<FULL_FRAME>("C_SignFinal", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pSignature != 0", pSignature);
        traceUlongPointer(L"pulSignatureLen", pulSignatureLen);
        if (pulSignatureLen == nullptr) return CKR_ARGUMENTS_BAD;
        CardFrame frame(call, hSession);
        const OperationMechanism& mechanism = frame.session().getOperationMechanism(Session::SIGN_OPERATION);
        if (!mechanism.row->hash) return refuseMultiPart(frame.session());
        const OperationKey key = keyForOperation(frame, Session::SIGN_OPERATION);
        if (auto answered = answerWithLengthNeeded(frame, pSignature, pulSignatureLen, key.modulusLength,
                                                   L"*pulSignatureLen")) {
            return *answered;
        }
        const std::optional<MessageDigest>& parts = frame.session().getOperationDigest(Session::SIGN_OPERATION);
        MessageDigest digest = parts ? *parts : MessageDigest(*mechanism.row->hash);
        std::uint8_t hash[MessageDigest::MAX_DIGEST_SIZE];
        digest.final(hash);
        WipedBlock block;
        formatSignatureBlock(mechanism, hash, digest.digestSize(), key.modulusBits(), block.data, key.modulusLength);
        signFormattedBlock(frame, key, block, pSignature, pulSignatureLen);
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
        const OperationMechanism& mechanism = frame.session().getOperationMechanism(Session::DECRYPT_OPERATION);
        if (ulEncryptedDataLen != key.modulusLength) return CKR_ENCRYPTED_DATA_LEN_RANGE;
        // No ciphertext of the key is as large as its modulus; the comparison
        // involves public values only.
        if (!isBelowModulus(pEncryptedData, ulEncryptedDataLen, key.keyPair->getModulus())) {
            return CKR_ENCRYPTED_DATA_INVALID;
        }
        // The length needed is k, an upper bound of the message's.
        if (auto answered = answerWithLengthNeeded(frame, pData, pulDataLen, key.modulusLength, L"*pulDataLen")) {
            return *answered;
        }
        WipedCardBlock decrypted;
        frame.token().rsaExponentiation(key.keyPair, pEncryptedData,
                                        static_cast<std::uint32_t>(key.modulusLength), &decrypted.buffer, true);
        const std::uint8_t* message = nullptr;
        std::size_t messageLength = 0;
        decodeDecryptedBlock(mechanism, decrypted.buffer.data, key.modulusLength, &message, &messageLength);
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
        const MechanismRow* row = findMechanism(pMechanism->mechanism);
        if (row == nullptr || (row->operations & CKF_GENERATE_KEY_PAIR) == 0) return CKR_MECHANISM_INVALID;
        CardFrame frame(call, hSession);
        frame.restoreLoginNow();
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
