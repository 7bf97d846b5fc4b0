// Every open session and every slot's connection. It hands out session
// handles, resolves them, enforces the one login rule that concerns opening
// sessions, and tears sessions down when a card goes away or the module is
// finalised. Only static members: there is one table per loaded module.
//
// Handles come from a counter: never 0, and never handed out twice while the
// module is loaded, so a stale handle from before a C_Finalize or from a
// closed session can never reach another session.
//
// No lock of its own: every caller holds the module-wide lock.
#pragma once

#include <cstddef>

#include "cryptoki.h"
#include "internal/session.h"

class Slot;
class SessionConnection;

class SessionManager {
public:
    SessionManager() = delete;

    // Opens a session on the slot, first making the slot's connection (or
    // making it anew when the card was removed, reset or exchanged since).
    // Null when the slot has no card. A live connection answers for the card
    // itself (a removal or reset shows on it), so only a slot without one
    // asks the service whether a card is present.
    // A read-only session while the security officer is logged in throws
    // ReadWriteSoSessionExistsException.
    static Session* openSession(Slot* slot, Session::State type, CK_VOID_PTR application,
                                CK_NOTIFY notify);
    static void closeSession(Session* session);
    // The live session with this handle. An invalidated session is reported
    // (InvalidSessionHandleException) once and is gone afterwards.
    static Session* getByHandle(CK_SESSION_HANDLE handle);
    // Sessions of the slot that are not invalidated; 0 for a slot without a
    // reader.
    static std::size_t getOpenSessionCount(const Slot* slot);
    static bool existsRoSession(const Slot* slot);
    // Marks every session of the slot invalid and destroys the slot's
    // connection, and with it the login.
    static void invalidateAllSessions(const Slot* slot);
    static SessionConnection* createSessionConnection(Slot* slot);
    static SessionConnection& getSessionConnection(const Slot* slot);
    // Null when the slot has no connection.
    static SessionConnection* findSessionConnection(const Slot* slot) noexcept;
    // Destroys every session and connection.
    static void finalize() noexcept;
    // In a forked child: wipes every inherited session PIN and replaces the
    // tables with empty ones, leaving the inherited sessions and connections
    // (and their PC/SC handles) untouched. Throws only for lack of memory.
    static void abandonInheritedSessions();
};
