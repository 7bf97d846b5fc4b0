// The private entries that work on a card: the slot-level facts (ATR, key
// slots, applet version, card identifier), which reach the card through a
// session of their own (see openCallOwnedSession), and the session entries
// that unblock the user PIN and read or move the default certificate.
//
// Size queries follow the Cryptoki habit: a null buffer asks for the length,
// a buffer that is too small is refused. Outputs are refused when null,
// never written through.
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "amw/cachedtoken.h"
#include "amw/interruptedwrite.h"
#include "amw/x509certificate.h"
#include "amwferrix/apdu.h"
#include "callframe.h"
#include "internal/cardscope.h"
#include "internal/cmapfile.h"
#include "internal/session.h"
#include "internal/sessionconnection.h"
#include "p11exceptions.h"
#include "p11functions.h"

namespace {

// The card identifier is always this long.
constexpr CK_ULONG CARD_ID_LENGTH = 16;
static_assert(CARD_ID_LENGTH == std::tuple_size_v<amw::CardId>);

// Room for the answer of the key-slot information command.
constexpr std::uint32_t KEY_SLOT_CAPACITY = 64;
// A key-slot code is the RSA size of the slot; occupied slots carry this bit.
constexpr CK_ULONG KEY_SLOT_OCCUPIED = 0x10000;
constexpr std::uint16_t RSA_1024 = 1024;
constexpr std::uint16_t RSA_2048 = 2048;

// The codes of the card's key slots, in slot order. A free slot of 1024 or
// 2048 bits gives its size; a free slot of another size (or bound to none)
// takes either key, so it gives 1024 and then 2048. An occupied slot gives
// its size with the occupied bit: 1024, or 2048 for every other size.
std::vector<CK_ULONG> keySlotCodes(const amwferrix::apdu::SlotInfo* slots, std::uint32_t count) {
    std::vector<CK_ULONG> codes;
    for (std::uint32_t i = 0; i < count; ++i) {
        const amwferrix::apdu::SlotInfo& slot = slots[i];
        if (slot.used) {
            codes.push_back(KEY_SLOT_OCCUPIED | (slot.keySize == RSA_1024 ? RSA_1024 : RSA_2048));
        } else if (slot.keySize == RSA_1024 || slot.keySize == RSA_2048) {
            codes.push_back(slot.keySize);
        } else {
            codes.push_back(RSA_1024);
            codes.push_back(RSA_2048);
        }
    }
    return codes;
}

// These results are returned without a "Returning" line.
CK_RV withoutReturnLine(CallContext& call, CK_RV rv) noexcept {
    call.returnForm = ReturnForm::NONE;
    return rv;
}

void traceBytesOutput(const wchar_t* name, const std::uint8_t* data, std::size_t length) noexcept {
    if (!traceEnabled()) return;
    TraceText text;
    text.appendHex(data, length);
    traceOutput(name, text.c_str());
}

// The PKCS#11 identifier of the default certificate: that of the first
// certificate whose container carries the default mark. Nothing when no
// container is marked or no certificate belongs to the marked one.
std::optional<StaticBuffer<128>> findDefaultCertificateId(amw::CachedToken& token) {
    std::uint8_t containerIndex = 0;
    try {
        containerIndex = cmapfile::getDefaultCertificateContainerIndex(token);
    } catch (const DefaultCertificateException& e) {
        // No container is marked: an empty answer, not a failure.
        logException(LOG_FACILITY_PKCS11, e);
        return std::nullopt;
    }
    for (const auto& certificate : token.getCertificates()) {
        // Leftovers of an interrupted write share the container of the
        // certificate they were written for.
        if (amw::interruptedwrite::isLeftover(*certificate)) continue;
        if (certificate->getContainerIndex() == containerIndex) return certificate->getPkcs11Id();
    }
    return std::nullopt;
}

const amw::X509Certificate* findCertificateById(amw::CachedToken& token, const CK_BYTE* id,
                                                CK_ULONG idLength) {
    for (const auto& certificate : token.getCertificates()) {
        if (amw::interruptedwrite::isLeftover(*certificate)) continue;
        const StaticBuffer<128>& candidate = certificate->getPkcs11Id();
        if (candidate.size() == idLength &&
            (idLength == 0 || std::memcmp(candidate.data, id, idLength) == 0)) {
            return certificate.get();
        }
    }
    return nullptr;
}

// Unblocks the user PIN with the security officer's PIN. The security
// officer is verified first, so that a wrong PIN is reported like a wrong
// login; the role stays authenticated only until the unblock is done.
CK_RV unblockUserPin(amw::CachedToken& token, const std::uint8_t* soPin, std::uint32_t soPinLength,
                     const std::uint8_t* newPin, std::uint32_t newPinLength) {
    const amw::AuthenticationObject* so = token.getPkcs11SoObject();
    if (so == nullptr) return CKR_USER_PIN_NOT_INITIALIZED;
    std::uint32_t attemptsRemaining = TRIES_UNKNOWN;
    if (token.authenticate(*so, soPin, soPinLength, &attemptsRemaining, nullptr) !=
        amw::AUTHENTICATION_SUCCESS) {
        token.refreshCache();
        return wrongPinResult(attemptsRemaining);
    }
    CK_RV rv = CKR_OK;
    {
        AuthenticatedRole verified(token, so->getRole());
        const amw::AuthenticationObject* user = token.findAuthenticationObject(amw::AMWROLE_USER);
        if (user == nullptr) {
            rv = CKR_USER_PIN_NOT_INITIALIZED;
        } else {
            attemptsRemaining = TRIES_UNKNOWN;
            if (token.unblockPin(*so, soPin, soPinLength, *user, newPin, newPinLength,
                                 &attemptsRemaining, nullptr) != amw::AUTHENTICATION_SUCCESS) {
                rv = wrongPinResult(attemptsRemaining);
            }
        }
    }
    token.refreshCache();
    return rv;
}

}  // namespace

extern "C" {

// PINs are never traced, only whether they were given and their lengths. The
// slot's login is left as it is.
CK_RV C_UnblockPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pSoPin, CK_ULONG ulSoPinLen,
                   CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewPinLen) {
    return callFrame<FULL_FRAME>("C_UnblockPIN", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pSoPin != 0", pSoPin);
        traceParameter(L"ulSoPinLen", ulSoPinLen);
        tracePresence(L"pNewPin != 0", pNewPin);
        traceParameter(L"ulNewPinLen", ulNewPinLen);
        Session& session = resolveSession(call, hSession);
        if (session.isReadOnly()) return CKR_SESSION_READ_ONLY;
        SessionConnection& connection = session.getSessionConnection();
        // Without the PINs, a pin-pad reader collects them on its keypad.
        if (!connection.cardConnection.isPinPadAvailable() &&
            (pSoPin == nullptr || pNewPin == nullptr)) {
            return CKR_ARGUMENTS_BAD;
        }
        if (ulSoPinLen > UINT32_MAX || ulNewPinLen > UINT32_MAX) return CKR_ARGUMENTS_BAD;
        CardScope scope(connection);
        return unblockUserPin(scope.token(), pSoPin, static_cast<std::uint32_t>(ulSoPinLen),
                              pNewPin, static_cast<std::uint32_t>(ulNewPinLen));
    });
}

// The key-slot information command is sent on the slot's connection as it
// is, without a transaction. The count is only written by a size query.
CK_RV C_GetVxeiInfo(CK_SLOT_ID slotID, CK_ULONG_PTR pKeySlots, CK_ULONG_PTR pulCount) {
    return callFrame<FULL_FRAME>("C_GetVxeiInfo", [&](CallContext& call) {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pKeySlots != 0", pKeySlots);
        traceUlongPointer(L"pulCount", pulCount);
        if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
        SessionConnection* connection = openCallOwnedSession(call, slotID);
        if (connection == nullptr) return CKR_TOKEN_NOT_PRESENT;
        std::array<amwferrix::apdu::SlotInfo, KEY_SLOT_CAPACITY> slots{};
        const std::uint32_t slotCount = amwferrix::apdu::getJckpInfo(
            connection->cardConnection, slots.data(), KEY_SLOT_CAPACITY);
        const std::vector<CK_ULONG> codes = keySlotCodes(slots.data(), slotCount);
        if (pKeySlots == nullptr) {
            *pulCount = codes.size();
            traceOutput(L"*pulCount", *pulCount);
            return withoutReturnLine(call, CKR_OK);
        }
        if (*pulCount < codes.size()) {
            *pulCount = codes.size();
            return withoutReturnLine(call, CKR_BUFFER_TOO_SMALL);
        }
        for (std::size_t i = 0; i < codes.size(); ++i) pKeySlots[i] = codes[i];
        return withoutReturnLine(call, CKR_OK);
    });
}

// The ATR is the one the slot's connection received; the card is not asked.
CK_RV C_GetATR(CK_SLOT_ID slotID, CK_BYTE_PTR pAtr, CK_ULONG_PTR pulAtrLen) {
    return callFrame<FULL_FRAME>("C_GetATR", [&](CallContext& call) {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pAtr != 0", pAtr);
        traceUlongPointer(L"pulAtrLen", pulAtrLen);
        if (pulAtrLen == nullptr) return CKR_ARGUMENTS_BAD;
        SessionConnection* connection = openCallOwnedSession(call, slotID);
        if (connection == nullptr) return CKR_TOKEN_NOT_PRESENT;
        const ctl::PcScCardConnection& card = connection->cardConnection;
        const CK_ULONG length = card.getAtrLength();
        if (pAtr != nullptr) {
            if (*pulAtrLen < length) {
                *pulAtrLen = length;
                return withoutReturnLine(call, CKR_BUFFER_TOO_SMALL);
            }
            std::memcpy(pAtr, card.getAtr(), length);
            traceBytesOutput(L"pAtr", card.getAtr(), length);
        }
        *pulAtrLen = length;
        traceOutput(L"*pulAtrLen", *pulAtrLen);
        return CKR_OK;
    });
}

// The card reports major and minor; there is no build number.
CK_RV C_GetAppletVersion(CK_SLOT_ID slotID, CK_ULONG_PTR pulMajor, CK_ULONG_PTR pulMinor,
                         CK_ULONG_PTR pulBuild) {
    return callFrame<FULL_FRAME>("C_GetAppletVersion", [&](CallContext& call) {
        traceParameter(L"slotID", slotID);
        if (pulMajor == nullptr || pulMinor == nullptr || pulBuild == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        SessionConnection* connection = openCallOwnedSession(call, slotID);
        if (connection == nullptr) return CKR_TOKEN_NOT_PRESENT;
        std::uint8_t major = 0;
        std::uint8_t minor = 0;
        {
            CardScope scope(*connection);
            scope.token().getVersion(&major, &minor);
            scope.token().refreshCache();
        }
        *pulMajor = major;
        *pulMinor = minor;
        *pulBuild = 0;
        traceOutput(L"*pulMajor", *pulMajor);
        traceOutput(L"*pulMinor", *pulMinor);
        traceOutput(L"*pulBuild", *pulBuild);
        return CKR_OK;
    });
}

// A card without a default certificate answers with an empty identifier.
CK_RV C_GetDefaultCert(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pId, CK_ULONG_PTR pulIdLen) {
    return callFrame<FULL_FRAME>("C_GetDefaultCert", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pId != 0", pId);
        traceUlongPointer(L"pulIdLen", pulIdLen);
        if (pulIdLen == nullptr) return CKR_ARGUMENTS_BAD;
        StaticBuffer<128> id;
        {
            CardFrame frame(call, hSession);
            if (auto found = findDefaultCertificateId(frame.token())) id = *found;
            frame.token().refreshCache();
        }
        const CK_ULONG length = id.size();
        if (pId != nullptr) {
            if (*pulIdLen < length) {
                *pulIdLen = length;
                return withoutReturnLine(call, CKR_BUFFER_TOO_SMALL);
            }
            std::memcpy(pId, id.data, length);
            traceBytesOutput(L"pId", id.data, length);
        }
        *pulIdLen = length;
        traceOutput(L"*pulIdLen", *pulIdLen);
        return withoutReturnLine(call, CKR_OK);
    });
}

// Marks the container of the certificate with this identifier as the
// default one in the container map.
CK_RV C_SetDefaultCert(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pId, CK_ULONG ulIdLen) {
    return callFrame<FULL_FRAME>("C_SetDefaultCert", [&](CallContext& call) {
        traceParameter(L"hSession", hSession);
        tracePresence(L"pId != 0", pId);
        traceParameter(L"ulIdLen", ulIdLen);
        if (pId == nullptr && ulIdLen != 0) return CKR_ARGUMENTS_BAD;
        CardFrame frame(call, hSession);
        frame.restoreLoginNow();  // every write needs the login
        amw::CachedToken& token = frame.token();
        const amw::X509Certificate* certificate = findCertificateById(token, pId, ulIdLen);
        if (certificate == nullptr) return CKR_FUNCTION_FAILED;
        cmapfile::setDefaultCertificate(token, certificate->getContainerIndex());
        token.refreshCache();
        return CKR_OK;
    });
}

// The identifier's length is known without a card, so size queries are
// answered before the slot is looked at.
CK_RV C_GetCardId(CK_SLOT_ID slotID, CK_BYTE_PTR pCardId, CK_ULONG_PTR pulCardIdLen) {
    return callFrame<FULL_FRAME>("C_GetCardId", [&](CallContext& call) {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pCardId != 0", pCardId);
        traceUlongPointer(L"pulCardIdLen", pulCardIdLen);
        if (pulCardIdLen == nullptr) return CKR_ARGUMENTS_BAD;
        if (pCardId == nullptr) {
            *pulCardIdLen = CARD_ID_LENGTH;
            traceOutput(L"*pulCardIdLen", *pulCardIdLen);
            return CKR_OK;
        }
        if (*pulCardIdLen < CARD_ID_LENGTH) {
            *pulCardIdLen = CARD_ID_LENGTH;
            return CKR_BUFFER_TOO_SMALL;
        }
        SessionConnection* connection = openCallOwnedSession(call, slotID);
        if (connection == nullptr) return CKR_TOKEN_NOT_PRESENT;
        amw::CardId cardId{};
        {
            CardScope scope(*connection);
            cardId = scope.token().getCardId();
            scope.token().refreshCache();
        }
        std::memcpy(pCardId, cardId.data(), CARD_ID_LENGTH);
        *pulCardIdLen = CARD_ID_LENGTH;
        traceBytesOutput(L"pCardId", cardId.data(), cardId.size());
        traceOutput(L"*pulCardIdLen", *pulCardIdLen);
        return CKR_OK;
    });
}

}  // extern "C"
