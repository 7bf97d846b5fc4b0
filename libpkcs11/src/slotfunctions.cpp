// Slot and token queries and the slot event wait.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "callframe.h"
#include "ctl/ctlexception.h"
#include "ctl/pcscapi.h"
#include "ctl/pcscreader.h"
#include "ctl/widetext.h"
#include "internal/mechanisms.h"
#include "internal/slot.h"
#include "internal/slotmanager.h"
#include "p11exceptions.h"
#include "p11functions.h"
#include "textfield.h"

namespace {

const char SLOT_MANUFACTURER_ID[] = "Unknown manufacturer";
// Module-specific slot flag: no reader is bound to the slot.
constexpr CK_FLAGS SLOT_FLAG_NO_READER = 0x1000;


void fillSlotInfo(const std::optional<ctl::PcScReader>& reader, CK_SLOT_INFO& info) {
    std::memset(&info, 0, sizeof info);
    info.flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    if (reader) {
        copyBlankPadded(info.slotDescription, ctl::WideText::toUtf8(reader->getNameString()));
        if (Slot::isCardPresent(*reader)) info.flags |= CKF_TOKEN_PRESENT;
    } else {
        copyBlankPadded(info.slotDescription, Slot::EMPTY_SLOT_NAME);
        info.flags |= SLOT_FLAG_NO_READER;
    }
    copyBlankPadded(info.manufacturerID, SLOT_MANUFACTURER_ID);
    info.hardwareVersion = CK_VERSION{0, 0};
    info.firmwareVersion = CK_VERSION{0, 0};
}

void traceSlot(const Slot& slot, const std::optional<ctl::PcScReader>& reader, const CK_SLOT_INFO& info) {
    if (!traceEnabled()) return;
    TraceText text;
    text.append(L"[slotID=%lu, reader=%ls, flags=0x%08lx]", static_cast<unsigned long>(slot.getId()),
                reader ? reader->getName() : L"empty", static_cast<unsigned long>(info.flags));
    traceOutput(L"slot", text.c_str());
}

// Writes a list through the usual two-call convention: no buffer asks for
// the count; a buffer too small is refused, nothing written into it, and the
// count set to what is needed so that the caller can grow its buffer.
template <class T>
CK_RV writeList(const T* items, CK_ULONG count, T* buffer, CK_ULONG_PTR pulCount) {
    if (buffer != nullptr) {
        if (*pulCount < count) {
            *pulCount = count;
            return CKR_BUFFER_TOO_SMALL;
        }
        std::copy(items, items + count, buffer);
    }
    *pulCount = count;
    traceOutput(L"*pulCount", *pulCount);
    return CKR_OK;
}

// Every slot, with or without a reader or a card; with `onlyWithToken`
// only the slots whose reader holds a card. The identifiers are the slots'
// own either way, so a listed slot keeps its number.
std::vector<CK_SLOT_ID> listedSlotIds(bool onlyWithToken) {
    std::vector<CK_SLOT_ID> ids = SlotManager::getSlotIds();
    if (onlyWithToken) {
        std::erase_if(ids, [](CK_SLOT_ID id) { return !SlotManager::getById(id)->findReaderWithCard(); });
    }
    return ids;
}

}  // namespace

extern "C" {

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return callFrame<FULL_FRAME>("C_GetSlotList", [&]() {
        traceParameter(L"tokenPresent", tokenPresent);
        tracePresence(L"pSlotList != 0", pSlotList);
        traceUlongPointer(L"pulCount", pulCount);
        if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
        const std::vector<CK_SLOT_ID> ids = listedSlotIds(tokenPresent == CK_TRUE);
        return writeList(ids.data(), static_cast<CK_ULONG>(ids.size()), pSlotList, pulCount);
    });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return callFrame<FULL_FRAME>("C_GetSlotInfo", [&]() {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pInfo != 0", pInfo);
        if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
        const Slot* slot = SlotManager::getById(slotID);
        // One look at the slot: a reader event wait on another thread may
        // unplug the reader meanwhile.
        const std::optional<ctl::PcScReader> reader = slot->findReader();
        CK_SLOT_INFO info;
        fillSlotInfo(reader, info);
        traceSlot(*slot, reader, info);
        *pInfo = info;
        return CKR_OK;
    });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                         CK_ULONG_PTR pulCount) {
    return callFrame<FULL_FRAME>("C_GetMechanismList", [&]() {
        traceParameter(L"slotID", slotID);
        tracePresence(L"pMechanismList != 0", pMechanismList);
        traceUlongPointer(L"pulCount", pulCount);
        if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
        SlotManager::getById(slotID);
        // Every slot offers every mechanism of the table, card or not.
        std::vector<CK_MECHANISM_TYPE> types;
        for (const MechanismRow& row : mechanismTable()) types.push_back(row.type);
        return writeList(types.data(), static_cast<CK_ULONG>(types.size()), pMechanismList, pulCount);
    });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return callFrame<FULL_FRAME>("C_GetMechanismInfo", [&]() {
        traceParameter(L"slotID", slotID);
        traceParameter(L"type", type);
        tracePresence(L"pInfo != 0", pInfo);
        if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
        SlotManager::getById(slotID);
        const MechanismRow* row = findMechanism(type);
        if (row == nullptr) return CKR_MECHANISM_INVALID;
        *pInfo = mechanismInfo(*row);
        return CKR_OK;
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
        const bool block = (flags & CKF_DONT_BLOCK) == 0;
        CK_SLOT_ID slot = 0;
        if (!SlotManager::waitForEvent(block, &slot)) return CKR_NO_EVENT;
        *pSlot = slot;
        traceOutput(L"*pSlot", slot);
        return CKR_OK;
    });
}

}  // extern "C"
