// One open Cryptoki session: its kind, the slot it was opened on and the
// values the application gave when opening it (kept, never called back).
// Sessions are owned by the session manager.
#pragma once

#include <cstdint>

#include "calltrace.h"
#include "cryptoki.h"

class Slot;
class SessionConnection;

class Session {
public:
    enum State : std::uint32_t { RO_SESSION = 0, RW_SESSION = 1, INVALID = 2 };

    Session(CK_SESSION_HANDLE handle, State state, Slot* slot, CK_VOID_PTR application,
            CK_NOTIFY notify) noexcept;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    CK_SESSION_HANDLE getHandle() const noexcept { return handle; }
    State getState() const noexcept { return state; }
    void setState(State value) noexcept { state = value; }
    Slot* getSlot() const noexcept { return slot; }
    bool isReadOnly() const noexcept { return state == RO_SESSION; }

    // The slot's connection; InternalErrorException for an invalidated
    // session, whose slot may hold another card's connection by now.
    SessionConnection& getSessionConnection() const;

    // "[state=Session::RW_SESSION, slot desc=<reader>, handle=<n>]"
    TraceText describe() const noexcept;
    // L"Session::RO_SESSION", L"Session::RW_SESSION", L"Session::INVALID".
    static const wchar_t* stateName(std::uint32_t state) noexcept;

private:
    const CK_SESSION_HANDLE handle;
    CK_VOID_PTR application;
    CK_NOTIFY notify;
    State state;
    Slot* slot;
};
