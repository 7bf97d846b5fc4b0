#include "internal/session.h"

#include "ctl/widetext.h"
#include "internal/sessionmanager.h"
#include "internal/slot.h"
#include "vxexception.h"

Session::Session(CK_SESSION_HANDLE handle_, State state_, Slot* slot_, CK_VOID_PTR application_,
                 CK_NOTIFY notify_) noexcept
    : handle(handle_), application(application_), notify(notify_), state(state_), slot(slot_) {
    static_cast<void>(application);
    static_cast<void>(notify);
}

SessionConnection& Session::getSessionConnection() const {
    if (state == INVALID) {
        throw InternalErrorException("using session which is in invalid state [CK_SESSION_HANDLE=%lu]",
                                     static_cast<unsigned long>(handle));
    }
    return SessionManager::getSessionConnection(slot);
}

TraceText Session::describe() const noexcept {
    TraceText text;
    std::wstring readerName;
    try {
        readerName = ctl::WideText::fromUtf8(slot->getReaderName());
    } catch (...) {
        readerName = L"?";
    }
    text.append(L"[state=%ls, slot desc=%ls, handle=%lu]", stateName(state), readerName.c_str(),
                static_cast<unsigned long>(handle));
    return text;
}

const wchar_t* Session::stateName(std::uint32_t state) noexcept {
    switch (state) {
        case RO_SESSION:
            return L"Session::RO_SESSION";
        case RW_SESSION:
            return L"Session::RW_SESSION";
        case INVALID:
            return L"Session::INVALID";
        default:
            return L"UNKNOWN";
    }
}
