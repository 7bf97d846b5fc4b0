// The one call frame of every Cryptoki function: the module-wide lock, the
// trace scope, the initialisation test, the translation of exceptions into
// CK_RV codes and the "Returning" line. A function states its frame variant
// and its own work, nothing else:
//
//     CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
//         return callFrame<FULL_FRAME>("C_Logout", [&](CallContext& call) {
//             traceParameter(L"hSession", hSession);
//             ...
//             return CKR_OK;
//         });
//     }
//
// The body runs after the lock is taken and the initialisation test passed;
// objects it creates are destroyed before an exception is translated.
#pragma once

#include <atomic>
#include <optional>
#include <type_traits>

#include "calltrace.h"
#include "cryptoki.h"
#include "logger.h"
#include "platform.h"

namespace ctl {
class CtlException;
}
class Session;

// Serialises every locked function of the module within the process. It
// lives as long as the process, not only as long as the module's statics.
// A child made by fork() gets a lock of its own when it starts afresh: a
// thread of the parent may have held the inherited one at the fork, and that
// thread does not exist in the child to release it.
platform::Mutex& apiMutex() noexcept;
// Installs a fresh module-wide lock; the old one is abandoned, never touched.
void replaceApiMutex(platform::Mutex* fresh) noexcept;
// Set by C_Initialize, cleared by C_Finalize. Read without the lock by
// C_WaitForSlotEvent, hence atomic.
extern std::atomic<bool> isInitialized;

// A child made by fork() inherits the parent's slots, sessions, login and
// PC/SC handles; none of them is its own (the handles talk over the parent's
// connections to the service). Until the child calls C_Initialize the module
// is uninitialised there, and the inherited locks are never taken.
// True in such a child until it has started afresh.
bool stateInheritedFromParent() noexcept;
// Leaves everything inherited behind without using or releasing it: the
// session PINs are wiped, the tables, PC/SC handles and locks are abandoned
// and fresh locks made; afterwards the module is uninitialised and belongs
// to this process. Runs in the child at fork() and, should that not have
// happened, at the child's C_Initialize.
// False when the fresh state could not be made (no memory); the module then
// stays unusable in this process rather than touch the parent's.
bool startAfreshInForkedChild() noexcept;
// Makes the module start afresh in the child of every later fork().
void registerForkHandler() noexcept;

// What a function's frame does around its body.
struct FrameVariant {
    bool lock;             // hold apiMutex for the whole call
    bool initTest;         // answer CKR_CRYPTOKI_NOT_INITIALIZED before C_Initialize
    bool catchSequence;    // translate exceptions (otherwise the body must be noexcept)
    bool traceBeforeLock;  // open the trace scope before waiting for the lock
    bool startsAfresh = false;  // in a forked child: start afresh (else: uninitialised)
};

// Every implemented function.
inline constexpr FrameVariant FULL_FRAME{true, true, true, false};
// C_Initialize: traced before it waits; tests initialisation itself, inverted.
inline constexpr FrameVariant INITIALIZE_FRAME{true, false, true, true, true};
// C_GetInfo and the private functions that only write constants.
inline constexpr FrameVariant FIXED_OUTPUT_FRAME{true, true, false, false};
// C_WaitForSlotEvent: blocks, so it must not hold the lock.
inline constexpr FrameVariant UNLOCKED_FRAME{false, false, true, false};
// C_GetFunctionList, C_GetPrivateFunctionList and the unsupported functions.
inline constexpr FrameVariant BARE_FRAME{false, false, false, false};

// State a body shares with its frame.
struct CallContext {
    // The session the body resolved from its handle, once it has; a PC/SC
    // error of a removed or reset card then invalidates that session's slot.
    Session* session = nullptr;
    // Set when the body opened `session` for its own use (the slot-level
    // functions that reach the card without an application session). The
    // frame closes it after the catch sequence, on every path: translating a
    // PC/SC error of a reset or removed card still needs the session to find
    // the slot whose sessions it invalidates, and a guard inside the body
    // would already have destroyed it by then.
    bool sessionOwnedByCall = false;
    // How the result is written in the "Returning" line.
    ReturnForm returnForm = ReturnForm::NAMED;
};

// Translates a PC/SC failure: a reset card gives CKR_SESSION_CLOSED, a removed
// card CKR_TOKEN_NOT_PRESENT, anything else CKR_DEVICE_ERROR. With a session,
// a reset or removed card also invalidates every session of its slot.
CK_RV mapCtlException(const ctl::CtlException& e, Session* session) noexcept;

// The catch sequence: translates the exception being handled. Call only from
// inside a catch block.
CK_RV translateCurrentException(Session* session) noexcept;

// Closes the session a body opened for itself, once the call's result is
// known; errors are logged, never passed on.
void closeCallOwnedSession(CallContext& call) noexcept;

// Takes the lock and opens the trace scope in the variant's order, and
// releases them in the opposite order. A lock that cannot be taken is
// reported by lockFailed(); the call then does no work.
class FrameScope {
public:
    FrameScope(bool lock, bool traceBeforeLock, const char* functionName) noexcept;
    ~FrameScope();
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

    bool lockFailed() const noexcept { return failedToLock; }

private:
    bool locked;
    // The lock taken, released even if a fresh one was installed meanwhile.
    platform::Mutex* lockedMutex = nullptr;
    bool failedToLock = false;
    bool traceFirst;
    std::optional<TraceScope> trace;
};

template <class Body>
CK_RV invokeFrameBody(Body& body, CallContext& call) {
    if constexpr (std::is_invocable_v<Body&, CallContext&>) {
        return body(call);
    } else {
        return body();
    }
}

template <class Body>
inline constexpr bool isNothrowFrameBody =
    std::is_nothrow_invocable_v<Body&, CallContext&> || std::is_nothrow_invocable_v<Body&>;

template <FrameVariant Variant>
inline constexpr bool isBareFrame =
    !Variant.lock && !Variant.initTest && !Variant.catchSequence && !Variant.traceBeforeLock;

template <FrameVariant Variant, class Body>
CK_RV callFrame(const char* functionName, Body&& body) noexcept {
    static_assert(Variant.catchSequence || isNothrowFrameBody<std::remove_reference_t<Body>>,
                  "a frame without the catch sequence needs a noexcept body");
    // Decided before any lock is taken: the inherited lock may be held for
    // good by a parent's thread.
    CK_RV refusal = CKR_OK;
    if constexpr (!isBareFrame<Variant>) {
        if (stateInheritedFromParent()) {
            if constexpr (Variant.startsAfresh) {
                if (!startAfreshInForkedChild()) refusal = CKR_HOST_MEMORY;
            } else {
                refusal = CKR_CRYPTOKI_NOT_INITIALIZED;
            }
        }
    }
    FrameScope scope(Variant.lock && refusal == CKR_OK, Variant.traceBeforeLock, functionName);
    CallContext call;
    CK_RV rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    if (refusal != CKR_OK) {
        rv = refusal;
    } else if (scope.lockFailed()) {
        rv = CKR_GENERAL_ERROR;
    } else if (!Variant.initTest || isInitialized.load()) {
        if constexpr (Variant.catchSequence) {
            try {
                rv = invokeFrameBody(body, call);
            } catch (...) {
                rv = translateCurrentException(call.session);
            }
        } else {
            rv = invokeFrameBody(body, call);
        }
        if (call.sessionOwnedByCall) {
            closeCallOwnedSession(call);
        }
    }
    return logReturn(LOG_FACILITY_PKCS11, rv, call.returnForm);
}

// The whole of an unsupported function: traced, unlocked, any arguments.
inline CK_RV notSupported(const char* functionName, ReturnForm form = ReturnForm::NAMED) noexcept {
    return callFrame<BARE_FRAME>(functionName, [form](CallContext& call) noexcept {
        call.returnForm = form;
        return CKR_FUNCTION_NOT_SUPPORTED;
    });
}
