// Token information: the one slot-level function that reads the card. It
// reads only public facts, so no login is restored and no session is
// involved. When the slot has a connection already (a session is or was
// open), the card is read through it, inside the slot's card hold when one is
// open, and only the memory figures are read: the version and serial number
// are kept with the connection. Otherwise a short-lived connection of its
// own reads everything.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "amw/cachedtoken.h"
#include "callframe.h"
#include "ctl/lockablepcsccardconnection.h"
#include "internal/cardscope.h"
#include "internal/sessionconnection.h"
#include "internal/sessionmanager.h"
#include "internal/slot.h"
#include "internal/slotmanager.h"
#include "p11functions.h"
#include "textfield.h"

namespace {

const char TOKEN_MANUFACTURER_ID[] = "Velmoran s.r.o.";
const char TOKEN_MODEL[] = "Ferrix";
constexpr CK_FLAGS TOKEN_FLAGS = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED |
                                 CKF_RESTORE_KEY_NOT_NEEDED | CKF_TOKEN_INITIALIZED;
constexpr CK_ULONG MAX_PIN_LENGTH = 16;
constexpr CK_ULONG MIN_PIN_LENGTH = 4;
// The serial number field holds 16 hexadecimal digits: the first 8 bytes.
constexpr std::size_t SERIAL_NUMBER_BYTES = 8;

std::string tokenLabel(std::uint8_t major, std::uint8_t minor) {
    return "Zentrik " + std::to_string(major) + "." + std::to_string(minor) + " Ferrix";
}

std::string serialNumberText(const StaticBuffer<256>& serialNumber) {
    std::string text;
    for (std::size_t i = 0; i < serialNumber.size() && i < SERIAL_NUMBER_BYTES; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", serialNumber.data[i]);
        text += pair;
    }
    return text;
}

void fillCardFacts(const SessionConnection::CardFacts& facts, std::uint32_t total,
                   std::uint32_t available, bool pinPad, CK_TOKEN_INFO& info) {
    const std::uint8_t major = facts.majorVersion;
    const std::uint8_t minor = facts.minorVersion;
    copyBlankPadded(info.label, tokenLabel(major, minor));
    copyBlankPadded(info.serialNumber, serialNumberText(facts.serialNumber));
    info.ulTotalPublicMemory = total;
    info.ulFreePublicMemory = available;
    info.ulTotalPrivateMemory = total;
    info.ulFreePrivateMemory = available;
    info.hardwareVersion = CK_VERSION{major, minor};
    info.firmwareVersion = CK_VERSION{major, minor};
    info.flags = TOKEN_FLAGS;
    if (pinPad) info.flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
}

SessionConnection::CardFacts readFacts(amw::Token& token) {
    SessionConnection::CardFacts facts;
    token.getVersion(&facts.majorVersion, &facts.minorVersion);
    token.getCardSerialNumber(facts.serialNumber);
    return facts;
}

// Reads what the card tells about itself into `info` through a connection of
// its own; the session counts are the caller's.
void readCardFacts(ctl::LockablePcScCardConnection& connection, CK_TOKEN_INFO& info) {
    CardConnectionLocker locker(connection);
    std::unique_ptr<amw::Token> token = amw::Token::createToken(connection);
    const SessionConnection::CardFacts facts = readFacts(*token);
    std::uint32_t total = 0;
    std::uint32_t available = 0;
    token->getMemoryInfo(total, available);
    fillCardFacts(facts, total, available, connection.isPinPadAvailable(), info);
}

// `knownMemory`: the memory figures of a held card, kept while the card is
// held and unchanged; null reads them.
void readThroughSlotConnection(SessionConnection& slotConnection, ctl::CardConnection& card,
                               CK_TOKEN_INFO& info,
                               std::optional<cardhold::HoldState::MemoryInfo>* knownMemory) {
    std::unique_ptr<amw::Token> token =
        amw::Token::createToken(card, slotConnection.tokenType, false);
    if (!slotConnection.cardFacts) slotConnection.cardFacts = readFacts(*token);
    std::uint32_t total = 0;
    std::uint32_t available = 0;
    if (knownMemory != nullptr && knownMemory->has_value()) {
        total = (*knownMemory)->total;
        available = (*knownMemory)->available;
    } else {
        token->getMemoryInfo(total, available);
        if (knownMemory != nullptr) *knownMemory = cardhold::HoldState::MemoryInfo{total, available};
    }
    fillCardFacts(*slotConnection.cardFacts, total, available, card.isPinPadAvailable(), info);
}

// The slot's connection, when it has one that still reaches the same card
// (a reset or removal since its last use leaves it for the next session call
// to report).
SessionConnection* usableSlotConnection(const Slot* slot) {
    SessionConnection* connection = SessionManager::findSessionConnection(slot);
    if (connection == nullptr || !connection->cardConnection.isValid()) return nullptr;
    return connection;
}

void readThroughSlotConnection(SessionConnection& connection, CK_TOKEN_INFO& info) {
    if (cardhold::holdEnabled()) {
        cardhold::HoldLease lease(connection.hold, connection);
        readThroughSlotConnection(connection, lease.cardConnection(), info, &lease.knownMemory());
        return;
    }
    CardConnectionLocker locker(connection.cardConnection);
    readThroughSlotConnection(connection, connection.cardConnection, info, nullptr);
}

void traceTokenInfo(const CK_TOKEN_INFO& info) {
    if (!traceEnabled()) return;
    TraceText text;
    text.append(L"[sessionCount=%lu, totalMemory=%lu, freeMemory=%lu]",
                static_cast<unsigned long>(info.ulSessionCount),
                static_cast<unsigned long>(info.ulTotalPublicMemory),
                static_cast<unsigned long>(info.ulFreePublicMemory));
    traceOutput(L"pInfo", text.c_str());
}

}  // namespace

extern "C" {

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return callFrame<FULL_FRAME>("C_GetTokenInfo", [&]() {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pInfo != 0", pInfo);
        if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
        Slot* slot = SlotManager::getById(slotID);
        const std::optional<ctl::PcScReader> reader = slot->findReaderWithCard();
        if (!reader) return CKR_TOKEN_NOT_PRESENT;

        CK_TOKEN_INFO info;
        std::memset(&info, 0, sizeof info);
        copyBlankPadded(info.manufacturerID, TOKEN_MANUFACTURER_ID);
        copyBlankPadded(info.model, TOKEN_MODEL);
        // With card holds on, a slot without a connection is connected as
        // for a session: the sessions that usually follow find the
        // connection, its card facts and the hold ready.
        if (cardhold::holdEnabled() && SessionManager::findSessionConnection(slot) == nullptr) {
            SessionManager::createSessionConnection(slot);
        }
        if (SessionConnection* slotConnection = usableSlotConnection(slot)) {
            readThroughSlotConnection(*slotConnection, info);
        } else {
            ctl::LockablePcScCardConnection connection(*reader, ctl::CardConnection::MODE_SHARED,
                                                       ctl::CardConnection::PROTOCOL_T0_OR_T1);
            readCardFacts(connection, info);
        }
        info.ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
        info.ulSessionCount = SessionManager::getOpenSessionCount(slot);
        info.ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
        info.ulRwSessionCount = CK_UNAVAILABLE_INFORMATION;
        info.ulMaxPinLen = MAX_PIN_LENGTH;
        info.ulMinPinLen = MIN_PIN_LENGTH;
        traceTokenInfo(info);
        *pInfo = info;
        return CKR_OK;
    });
}

}  // extern "C"
