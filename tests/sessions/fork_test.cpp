// The module in a child made by fork(): uninitialised until the child calls
// C_Initialize, then working on its own (its own PC/SC handles, no login of
// the parent's), while the parent goes on as before; and a fork while another
// thread of the parent is inside a call never deadlocks the child.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "cryptohelpers.h"

namespace sessiontest {
namespace {

const Bytes KEY_ID = {0xF0, 0x4C};

// Runs `body` in a forked child, which ends with its result as exit status
// (0: every step passed; otherwise the number of the step that failed).
// A child still running after a minute is deadlocked: it is killed (by its
// PID) and reported as -1.
int runInChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = 100;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
    if (pid < 0) return -2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
}

CK_ULONG slotCount() {
    CK_ULONG count = 0;
    return p11()->C_GetSlotList(CK_FALSE, nullptr, &count) == CKR_OK ? count : 0;
}

using Fork = LoggedInBench;

// What a child that signs on its own does; 0 when every step passed.
int signInTheChild(CK_SESSION_HANDLE parentSession) {
    CK_ULONG count = 0;
    if (p11()->C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_CRYPTOKI_NOT_INITIALIZED) return 1;
    CK_SESSION_INFO info{};
    if (p11()->C_GetSessionInfo(parentSession, &info) != CKR_CRYPTOKI_NOT_INITIALIZED) return 2;
    if (p11()->C_Finalize(nullptr) != CKR_CRYPTOKI_NOT_INITIALIZED) return 3;
    CK_SLOT_ID event = 0;
    if (p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &event, nullptr) != CKR_CRYPTOKI_NOT_INITIALIZED) {
        return 13;
    }
    if (p11()->C_Initialize(nullptr) != CKR_OK) return 4;
    if (slotCount() <= PINPAD_SLOT) return 5;
    // The parent's sessions and login are not the child's.
    if (p11()->C_GetSessionInfo(parentSession, &info) != CKR_SESSION_HANDLE_INVALID) return 6;
    CK_SESSION_HANDLE own = 0;
    if (p11()->C_OpenSession(PLAIN_SLOT, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &own) != CKR_OK) {
        return 7;
    }
    if (p11()->C_GetSessionInfo(own, &info) != CKR_OK || info.state != CKS_RW_PUBLIC_SESSION) return 8;
    std::string pin = USER_PIN;
    if (p11()->C_Login(own, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()) != CKR_OK) {
        return 9;
    }
    Template search;
    search.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).add(CKA_ID, KEY_ID);
    const std::vector<CK_OBJECT_HANDLE> keys = findAll(own, search);
    if (keys.size() != 1) return 10;
    Bytes signature;
    if (signInit(own, keys[0]) != CKR_OK || sign(own, bytesOf("from the child"), signature) != CKR_OK) {
        return 11;
    }
    if (p11()->C_Finalize(nullptr) != CKR_OK) return 12;
    return 0;
}

TEST_F(Fork, ChildIsUninitialisedUntilItInitialisesThenSignsOnItsOwn) {
    GenerationRequest request;
    request.id = KEY_ID;
    const KeyHandles keys = generateOnCard(session, request);
    const PublicKey publicKey = publicKeyOf(session, keys.publicKey);

    EXPECT_EQ(0, runInChild([this] { return signInTheChild(session); }));

    // The parent keeps its session, login and card handles.
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, sessionState(session));
    Bytes signature;
    ASSERT_EQ(CKR_OK, signInit(session, keys.privateKey));
    ASSERT_EQ(CKR_OK, sign(session, bytesOf("from the parent"), signature));
    EXPECT_EQ(bytesOf("from the parent"), recoverSigned(publicKey, signature));
}

// A slow card keeps another thread inside C_FindObjectsInit (holding the
// module-wide lock) while the main thread forks.
TEST_F(Fork, ForkWhileAnotherThreadIsInsideACallDoesNotDeadlockTheChild) {
    control(PLAIN_SLOT).setLatency(100000, 0);
    std::atomic<bool> entered{false};
    CK_RV searched = CKR_GENERAL_ERROR;
    std::thread busy([&] {
        entered = true;
        searched = p11()->C_FindObjectsInit(session, nullptr, 0);
    });
    while (!entered) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    EXPECT_EQ(0, runInChild([] {
        if (slotCount() != 0) return 1;
        if (p11()->C_Initialize(nullptr) != CKR_OK) return 2;
        if (slotCount() <= PINPAD_SLOT) return 3;
        if (p11()->C_Finalize(nullptr) != CKR_OK) return 4;
        return 0;
    }));

    busy.join();
    control(PLAIN_SLOT).setLatency(0, 0);
    EXPECT_EQ(CKR_OK, searched);
    EXPECT_EQ(CKR_OK, p11()->C_FindObjectsFinal(session));
}

}  // namespace
}  // namespace sessiontest
