// The module in a child made by fork(). The child is a copy of the parent
// with one thread: it holds the parent's slot table with the PC/SC context
// of its reader event listener, the slots' card handles, the sessions with
// the slot logins and their session PINs, and the module's locks, any of
// which another thread of the parent may have held at the fork. Using or
// releasing the PC/SC handles would talk over the parent's own connections
// to the service (releasing them would end the parent's), and a lock held at
// the fork stays held for good in the child. So the child leaves all of it
// untouched, wipes the session PINs, and starts with fresh, empty state of
// its own: uninitialised until it calls C_Initialize, as a process that has
// just loaded the module. Each process-wide lock below the module's (the
// card hold's timer, the shared PC/SC context, the token factory, the
// configuration) is replaced in the child by its own layer's handler; before
// the fork the idle card holds are ended (cardhold.h).
#include <atomic>
#include <cstdint>

#include "callframe.h"
#include "internal/cardhold.h"
#include "internal/sessionmanager.h"
#include "internal/slotmanager.h"
#include "logger.h"
#include "platform.h"

namespace {

// The process the module's state belongs to: the one that first called in,
// or the child that started afresh.
std::atomic<std::uint64_t>& ownerProcess() {
    static std::atomic<std::uint64_t> owner{platform::currentProcessId()};
    return owner;
}

void startAfreshAtFork() { startAfreshInForkedChild(); }

}  // namespace

bool stateInheritedFromParent() noexcept {
    return ownerProcess().load() != platform::currentProcessId();
}

bool startAfreshInForkedChild() noexcept {
    const std::uint64_t self = platform::currentProcessId();
    if (ownerProcess().load() == self) return true;
    try {
        // The secrets first: whatever fails later, no session PIN of the
        // parent stays usable here.
        SessionManager::abandonInheritedSessions();
        SlotManager::abandonInheritedTable();
        Logger::startAfreshAfterFork();
        replaceApiMutex(new platform::Mutex);
    } catch (...) {
        return false;
    }
    isInitialized.store(false);
    ownerProcess().store(self);
    return true;
}

void registerForkHandler() noexcept {
    // Makes sure the owner is this process before any child can exist.
    ownerProcess();
    platform::runInEveryForkedChild(startAfreshAtFork);
    cardhold::registerForkHandlers();
}
