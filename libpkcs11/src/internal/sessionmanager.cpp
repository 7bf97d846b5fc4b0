#include "internal/sessionmanager.h"

#include <map>
#include <memory>

#include "internal/sessionconnection.h"
#include "internal/slot.h"
#include "logger.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

// Sessions by handle. Connections by slot id: a slot number is fixed for as
// long as its connection can exist (both end at finalize).
struct Tables {
    std::map<CK_SESSION_HANDLE, std::unique_ptr<Session>> sessions;
    std::map<CK_SLOT_ID, std::unique_ptr<SessionConnection>> connections;
    // The last handle handed out. CK_SESSION_HANDLE is 32 bits wide on some
    // platforms; the counter is kept to that width everywhere.
    std::uint32_t lastHandle = 0;
};

// Never destroyed, like the module-wide lock: an application may finalise
// from its own exit handlers after the module's statics are gone. A forked
// child replaces them (abandonInheritedSessions).
Tables*& currentTables() {
    static Tables* instance = new Tables;
    return instance;
}

Tables& tables() { return *currentTables(); }

void requireSlot(const Slot* slot, const char* function, int line) {
    if (slot == nullptr) {
        throw InvalidArgumentException::nullPointer("slot", function, __FILE__, line);
    }
}

CK_SESSION_HANDLE nextHandle() {
    Tables& t = tables();
    // Skips 0 and, after the 32-bit counter wraps, any handle still in use.
    do {
        ++t.lastHandle;
    } while (t.lastHandle == 0 || t.sessions.count(t.lastHandle) != 0);
    return t.lastHandle;
}

void logSession(const wchar_t* name, const Session& session) {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.log(LOG_FACILITY_PKCS11, L"%ls = %ls", name, session.describe().c_str());
    }
}

void logText(const wchar_t* text) {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"%ls", text);
}

}  // namespace

Session* SessionManager::openSession(Slot* slot, Session::State type, CK_VOID_PTR application,
                                     CK_NOTIFY notify) {
    TraceScope trace(LOG_FACILITY_PKCS11, "SessionManager::openSession");
    if (type == Session::INVALID) {
        throw InvalidArgumentException("SessionManager::openSession(), invalid parameter Session::INVALID");
    }
    requireSlot(slot, "SessionManager::openSession", __LINE__);
    SessionConnection* connection = findSessionConnection(slot);
    if (connection == nullptr || !connection->cardConnection.isValid()) {
        // Asked before anything is dropped: a failing service, or a card
        // that is not there, leaves the slot's sessions as they are.
        if (!slot->findReaderWithCard()) return nullptr;
        if (connection != nullptr) invalidateAllSessions(slot);
        connection = createSessionConnection(slot);
    }
    if (type == Session::RO_SESSION && connection->loginState == SessionConnection::SECURITY_OFFICER) {
        throw ReadWriteSoSessionExistsException();
    }
    const CK_SESSION_HANDLE handle = nextHandle();
    auto session = std::make_unique<Session>(handle, type, slot, application, notify);
    Session* result = session.get();
    tables().sessions.emplace(handle, std::move(session));
    logSession(L"session", *result);
    return result;
}

void SessionManager::closeSession(Session* session) {
    if (session == nullptr) {
        throw InvalidArgumentException::nullPointer("session", "SessionManager::closeSession", __FILE__,
                                                    __LINE__);
    }
    auto& sessions = tables().sessions;
    auto found = sessions.find(session->getHandle());
    if (found == sessions.end() || found->second.get() != session) {
        throw InternalErrorException("closing a session that is not open");
    }
    std::unique_ptr<Session> owned = std::move(found->second);
    sessions.erase(found);
    owned->setState(Session::INVALID);
    if (owned->isSearchActive()) owned->findObjectsFinal();
}

Session* SessionManager::getByHandle(CK_SESSION_HANDLE handle) {
    auto& sessions = tables().sessions;
    auto found = sessions.find(handle);
    if (found == sessions.end()) {
        logText(L"session handle not found");
        throw InvalidSessionHandleException(handle);
    }
    Session* session = found->second.get();
    if (session->getState() == Session::INVALID) {
        logText(L"session is in the invalid state");
        closeSession(session);
        throw InvalidSessionHandleException(handle);
    }
    return session;
}

std::size_t SessionManager::getOpenSessionCount(const Slot* slot) {
    requireSlot(slot, "SessionManager::getOpenSessionCount", __LINE__);
    if (!slot->isReaderPresent()) return 0;
    std::size_t count = 0;
    for (const auto& [handle, session] : tables().sessions) {
        if (session->getState() != Session::INVALID && session->getSlot()->getId() == slot->getId()) {
            ++count;
        }
    }
    return count;
}

bool SessionManager::existsRoSession(const Slot* slot) {
    requireSlot(slot, "SessionManager::existsRoSession", __LINE__);
    for (const auto& [handle, session] : tables().sessions) {
        if (session->getSlot() == slot && session->getState() == Session::RO_SESSION) return true;
    }
    return false;
}

void SessionManager::invalidateAllSessions(const Slot* slot) {
    TraceScope trace(LOG_FACILITY_PKCS11, "SessionManager::invalidateAllSessions");
    requireSlot(slot, "SessionManager::invalidateAllSessions", __LINE__);
    for (auto& [handle, session] : tables().sessions) {
        if (session->getSlot() != slot) continue;
        session->setState(Session::INVALID);
        if (session->isSearchActive()) session->findObjectsFinal();
    }
    auto& connections = tables().connections;
    auto found = connections.find(slot->getId());
    if (found == connections.end()) {
        throw InternalErrorException("invalidateAllSessions(): no session connection exists for slot id %lu",
                                     static_cast<unsigned long>(slot->getId()));
    }
    // The destructor wipes the session PIN and disconnects.
    connections.erase(found);
}

SessionConnection* SessionManager::createSessionConnection(Slot* slot) {
    requireSlot(slot, "SessionManager::createSessionConnection", __LINE__);
    auto& connections = tables().connections;
    if (connections.count(slot->getId()) != 0) {
        throw InternalErrorException("session connection already exists for slot id %lu",
                                     static_cast<unsigned long>(slot->getId()));
    }
    auto connection = std::make_unique<SessionConnection>(slot->getReader());
    SessionConnection* result = connection.get();
    connections.emplace(slot->getId(), std::move(connection));
    return result;
}

SessionConnection& SessionManager::getSessionConnection(const Slot* slot) {
    requireSlot(slot, "SessionManager::getSessionConnection", __LINE__);
    SessionConnection* connection = findSessionConnection(slot);
    if (connection == nullptr) {
        throw InternalErrorException("no session connection exists for slot id %lu",
                                     static_cast<unsigned long>(slot->getId()));
    }
    return *connection;
}

SessionConnection* SessionManager::findSessionConnection(const Slot* slot) noexcept {
    if (slot == nullptr) return nullptr;
    auto& connections = tables().connections;
    auto found = connections.find(slot->getId());
    return found == connections.end() ? nullptr : found->second.get();
}

void SessionManager::abandonInheritedSessions() {
    Tables& inherited = tables();
    for (auto& [slotId, connection] : inherited.connections) connection->logout();
    // Kept reachable, never destroyed: destroying a connection disconnects
    // the parent's card handle.
    [[maybe_unused]] static Tables* abandoned = nullptr;
    Tables* fresh = new Tables;
    abandoned = currentTables();
    currentTables() = fresh;
}

void SessionManager::finalize() noexcept {
    Tables& t = tables();
    for (auto& [handle, session] : t.sessions) session->setState(Session::INVALID);
    t.sessions.clear();
    t.connections.clear();
}
