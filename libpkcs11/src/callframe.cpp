#include "callframe.h"

#include <new>

#include "amw/exceptions.h"
#include "ctl/ctlexception.h"
#include "internal/session.h"
#include "internal/sessionmanager.h"
#include "p11exceptions.h"

std::atomic<bool> isInitialized{false};

namespace {

// Never destroyed: applications finalise the module from exit handlers and
// static destructors of their own, which may run after the module's static
// objects are gone (a destroyed lock there hangs or crashes the exit). A
// forked child replaces it (see startAfreshInForkedChild) and abandons the
// old one.
std::atomic<platform::Mutex*> apiMutexInstance{new platform::Mutex};

// PC/SC results that mean the card went away or was reset under us.
constexpr std::uint32_t SCARD_RESULT_RESET_CARD = 0x80100068;
constexpr std::uint32_t SCARD_RESULT_REMOVED_CARD = 0x80100069;

CK_RV caught(const VxException& e, CK_RV rv) noexcept {
    logException(LOG_FACILITY_PKCS11, e);
    return rv;
}

}  // namespace

platform::Mutex& apiMutex() noexcept { return *apiMutexInstance.load(); }

void replaceApiMutex(platform::Mutex* fresh) noexcept { apiMutexInstance.store(fresh); }

FrameScope::FrameScope(bool lock, bool traceBeforeLock, const char* functionName) noexcept
    : locked(lock), traceFirst(traceBeforeLock) {
    if (traceFirst) {
        trace.emplace(LOG_FACILITY_PKCS11, functionName);
    }
    if (locked) {
        try {
            lockedMutex = &apiMutex();
            lockedMutex->lock();
        } catch (...) {
            // Running the body unlocked would race every other call.
            locked = false;
            failedToLock = true;
        }
    }
    if (!traceFirst) {
        trace.emplace(LOG_FACILITY_PKCS11, functionName);
    }
}

FrameScope::~FrameScope() {
    if (!traceFirst) {
        trace.reset();
    }
    if (locked) {
        lockedMutex->unlock();
    }
}

CK_RV mapCtlException(const ctl::CtlException& e, Session* session) noexcept {
    bool cardGone = e.error == SCARD_RESULT_RESET_CARD || e.error == SCARD_RESULT_REMOVED_CARD;
    if (session != nullptr && cardGone) {
        try {
            SessionManager::invalidateAllSessions(session->getSlot());
        } catch (const VxException& invalidation) {
            // The slot's connection is already gone: its sessions are invalid
            // all the same.
            logException(LOG_FACILITY_PKCS11, invalidation);
        } catch (...) {
        }
    }
    switch (e.error) {
        case SCARD_RESULT_RESET_CARD:
            return CKR_SESSION_CLOSED;
        case SCARD_RESULT_REMOVED_CARD:
            return CKR_TOKEN_NOT_PRESENT;
        default:
            return CKR_DEVICE_ERROR;
    }
}

void closeCallOwnedSession(CallContext& call) noexcept {
    Session* session = call.session;
    call.session = nullptr;
    call.sessionOwnedByCall = false;
    if (session == nullptr) return;
    try {
        SessionManager::closeSession(session);
    } catch (const VxException& e) {
        logException(LOG_FACILITY_PKCS11, e);
    } catch (...) {
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11,
                       L"unknown exception while closing the call's own session");
        }
    }
}

// The first matching clause wins; the order is the order of the exception
// catalogue, with VxException and then everything else last.
CK_RV translateCurrentException(Session* session) noexcept {
    try {
        throw;
    } catch (const AttributeTypeInvalidException& e) {
        return caught(e, CKR_ATTRIBUTE_TYPE_INVALID);
    } catch (const AttributeBufferTooSmallException& e) {
        return caught(e, CKR_BUFFER_TOO_SMALL);
    } catch (const AttributeTypeSensitiveException& e) {
        return caught(e, CKR_ATTRIBUTE_SENSITIVE);
    } catch (const AttributeReadOnlyException& e) {
        return caught(e, CKR_ATTRIBUTE_READ_ONLY);
    } catch (const TemplateInconsistentException& e) {
        return caught(e, CKR_TEMPLATE_INCONSISTENT);
    } catch (const TemplateIncompleteException& e) {
        return caught(e, CKR_TEMPLATE_INCOMPLETE);
    } catch (const AttributValueInvalidException& e) {
        return caught(e, CKR_ATTRIBUTE_VALUE_INVALID);
    } catch (const InvalidObjectHandleException& e) {
        return caught(e, CKR_OBJECT_HANDLE_INVALID);
    } catch (const InvalidSessionHandleException& e) {
        return caught(e, CKR_SESSION_HANDLE_INVALID);
    } catch (const SlotNotFoundException& e) {
        return caught(e, CKR_SLOT_ID_INVALID);
    } catch (const OperationNotInitialized& e) {
        return caught(e, CKR_OPERATION_NOT_INITIALIZED);
    } catch (const LibraryNotInicializedException& e) {
        return caught(e, CKR_CRYPTOKI_NOT_INITIALIZED);
    } catch (const ReadWriteSoSessionExistsException& e) {
        return caught(e, CKR_SESSION_READ_WRITE_SO_EXISTS);
    } catch (const InvalidEncryptedDataLength& e) {
        return caught(e, CKR_ENCRYPTED_DATA_LEN_RANGE);
    } catch (const InvalidEncryptedData& e) {
        return caught(e, CKR_ENCRYPTED_DATA_INVALID);
    } catch (const InvalidPlainTextDataLength& e) {
        return caught(e, CKR_DATA_LEN_RANGE);
    } catch (const amw::DuplicatePkcs11IdException& e) {
        return caught(e, CKR_ATTRIBUTE_VALUE_INVALID);
    } catch (const amw::SecurityViolationException& e) {
        return caught(e, CKR_USER_NOT_LOGGED_IN);
    } catch (const amw::CardOutOfMemoryException& e) {
        return caught(e, CKR_DEVICE_MEMORY);
    } catch (const amw::PinPadException& e) {
        return caught(e, CKR_FUNCTION_CANCELED);
    } catch (const amw::PinPolicyViolationException& e) {
        return caught(e, CKR_PIN_INVALID);
    } catch (const ctl::CtlException& e) {
        logException(LOG_FACILITY_PKCS11, e);
        return mapCtlException(e, session);
    } catch (const VxException& e) {
        return caught(e, CKR_FUNCTION_FAILED);
    } catch (...) {
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11, L"UNKNOWN EXCEPTION CAUGHT");
        }
        return CKR_GENERAL_ERROR;
    }
}
