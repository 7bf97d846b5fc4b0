// Library initialisation, finalisation and the library description.
#include <cstring>

#include "amwferrix/token.h"
#include "callframe.h"
#include "ctl/pcscreader.h"
#include "internal/cardhold.h"
#include "internal/sessionmanager.h"
#include "internal/slotmanager.h"
#include "p11functions.h"
#include "textfield.h"

namespace {

const char MANUFACTURER_ID[] = "Velmoran s.r.o.";
const char LIBRARY_DESCRIPTION[] = "Zentrik 3.0 PKCS#11";
constexpr CK_VERSION CRYPTOKI_VERSION{2, 20};
constexpr CK_VERSION LIBRARY_VERSION{3, 0};

// The one place where the module's slots and sessions come to life and go
// away again. An exception leaves the module uninitialised.
void buildSlotTable() {
    // Cards in the slots are Ferrix cards: amw::Token::createToken makes
    // Ferrix tokens from here on.
    amwferrix::registerTokenFactory();
    SlotManager::init();
}

// The connections end their card holds as they go; the release timer has
// nothing left to do then and its thread is joined, so nothing of the module
// runs once C_Finalize has returned.
void releaseSlotsAndSessions() {
    SlotManager::finalize();
    SessionManager::finalize();
    cardhold::stopTimer();
    ctl::PcScReader::releaseSharedContext();
}

}  // namespace

extern "C" {

// Of the initialisation arguments only CKF_LIBRARY_CANT_CREATE_OS_THREADS
// is looked at: such an application gets no card hold, whose release timer
// is a thread (the module then works as with `cardhold = 0`). The module
// always uses its own operating-system locking, whatever mutex callbacks are
// passed.
// Random numbers come from the operating system's generator, which needs no
// seeding here. A child made by fork() finds the module uninitialised and
// starts afresh here (see forkedchild.cpp).
CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    return callFrame<INITIALIZE_FRAME>("C_Initialize", [&]() {
        tracePresence(L"pInitArgs != 0", pInitArgs);
        if (isInitialized.load()) {
            return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        }
        const auto* arguments = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
        cardhold::allowThreads(arguments == nullptr ||
                               (arguments->flags & CKF_LIBRARY_CANT_CREATE_OS_THREADS) == 0);
        registerForkHandler();
        buildSlotTable();
        isInitialized.store(true);
        return CKR_OK;
    });
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    return callFrame<FULL_FRAME>("C_Finalize", [&]() {
        tracePresence(L"pReserved != 0", pReserved);
        releaseSlotsAndSessions();
        isInitialized.store(false);
        return CKR_OK;
    });
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return callFrame<FIXED_OUTPUT_FRAME>("C_GetInfo", [&]() noexcept {
        tracePresence(L"pInfo != 0", pInfo);
        if (pInfo == nullptr) {
            return CKR_ARGUMENTS_BAD;
        }
        std::memset(pInfo, 0, sizeof *pInfo);
        pInfo->cryptokiVersion = CRYPTOKI_VERSION;
        copyBlankPadded(pInfo->manufacturerID, MANUFACTURER_ID);
        pInfo->flags = 0;
        copyBlankPadded(pInfo->libraryDescription, LIBRARY_DESCRIPTION);
        pInfo->libraryVersion = LIBRARY_VERSION;
        return CKR_OK;
    });
}

}  // extern "C"
