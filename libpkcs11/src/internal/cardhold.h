// Holding a slot's card for a burst of calls.
//
// A call that talks to the card takes the PC/SC transaction, reads the
// freshness block and, for a logged-in slot, authenticates with the session
// PIN. An application that reads attributes one call at a time would pay
// those commands on every call. With a hold, consecutive calls of this
// process on a slot share one transaction: while it is held no other PC/SC
// client can reach the card, so the freshness block read at its start stays
// true, and a login the card accepted once in it stays accepted.
//
// Invariants:
// - the card is authenticated only inside a call: a role raised for a call
//   (from the session PIN, or by C_Login's PIN) is dropped at the end of that
//   call, so a process stopped or killed between calls leaves no role behind;
//   a card that refuses to drop it (and to select the applet again) is reset
//   when the transaction ends;
// - a login the card no longer accepts is found out the first time a hold
//   serves what only the logged-in user may see (one authentication with the
//   session PIN per hold); public reads never pay for it;
// - a hold ends after `cardhold` milliseconds without a call (the release
//   timer, a thread of its own that never takes the module-wide lock and
//   never waits for a hold whose call is running), and HOLD_BOUND after the
//   card was granted whatever the calls do, followed by a pause in which the
//   card is left alone, so another application waiting for it gets it;
// - the user's processes take turns at a reader, and the card is left alone
//   for the same pause whenever it passes from one to another (see
//   PAUSE_AFTER_BOUND);
// - lock order: the module-wide lock, then a hold's mutex, then the timer's;
//   the timer only tries a hold's mutex, after it has let go of its own;
// - at fork() idle holds are ended first, so a child (or a daemon whose
//   parent leaves at once) never inherits a held card; a forked child never
//   touches its parent's hold: the state belongs to the process that made it.
//
// With `cardhold = 0`, or when the application does not let the module
// create threads, nothing is held: every call takes and ends its own
// transaction and restores the login itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "amw/freshnessrecord.h"
#include "ctl/cardconnection.h"
#include "ctl/lockablepcsccardconnection.h"
#include "staticbuffer.h"

class SessionConnection;

namespace cardhold {

using Clock = std::chrono::steady_clock;

// The longest one hold lasts, counted from the moment the card was granted,
// before it is ended at the next call boundary.
inline constexpr std::chrono::milliseconds HOLD_BOUND{2000};
// pcsc-lite (1.9.x) makes a client that waits in SCardBeginTransaction ask
// again in a cycle of two sleeps of its lock poll rate (100 ms): the service
// sleeps before it answers "sharing violation", then the client sleeps
// before it asks again. A waiting client therefore looks at the card once
// every ~200 ms plus the round trips (measured on the bench: at most
// 167 ms from a release to the waiter's grant). After a hold reached its
// bound the card is left alone for a whole cycle and a margin, so that every
// client already waiting looks at least once while it is free. The pause
// costs a process that keeps the card busy for the whole bound about 11 % of
// its time, and nothing otherwise.
inline constexpr std::chrono::milliseconds PCSC_LOCK_RETRY_CYCLE{200};
inline constexpr std::chrono::milliseconds PAUSE_AFTER_BOUND = PCSC_LOCK_RETRY_CYCLE + std::chrono::milliseconds(50);
//
// pcsc-lite keeps no queue: in that pause a second busy process of ours and
// another application that both wait would each get the card about half the
// time, and when a hold of ours ends idle another of ours would take the
// card at once, so the other application could wait for many holds. The
// user's processes that hold cards therefore take turns at a reader
// (platform::ProcessTurns, a file in the cache directory): a hold takes its
// reader's turn before the transaction and gives it back when it ends, and
// a process that had to wait for the turn leaves the card alone for the
// same pause before it asks for it. Whenever the card passes from one of
// our processes to another, only applications that are not ours can take
// it for a moment, and ours wait for each other on the turn, not in
// pcsc-lite.

// The part of a hold the release timer shares. Guarded by `mutex`.
struct HoldState {
    std::mutex mutex;
    // Null once the slot's connection is gone.
    ctl::LockablePcScCardConnection* connection = nullptr;
    std::uint32_t tokenType = 0;
    std::chrono::milliseconds idle{0};
    std::uint64_t ownerProcess = 0;
    // The reader's turn among the user's processes (see PAUSE_AFTER_BOUND).
    std::uint32_t turnKey = 0;
    bool turnHeld = false;
    bool held = false;
    // When the bound started counting (see HoldLease::beginHold).
    Clock::time_point heldSince{};
    Clock::time_point releasedAt{};
    Clock::time_point lastUse{};
    Clock::time_point holdAllowedFrom{};
    // The role raised on the card within the running call; dropped at the
    // call's end.
    std::optional<std::uint32_t> authenticatedRole;
    // The card accepted the slot's session PIN in this hold: nobody else can
    // have changed the PIN since.
    bool loginConfirmed = false;
    // A role could not be dropped (deauthentication and the applet's
    // reselection refused): the transaction ends with a card reset.
    bool resetWhenEnded = false;
    // The card's freshness block as of the end of the last call in the hold.
    std::optional<amw::FreshnessRecord> knownFreshness;
    // The card's memory figures, read in this hold while nothing changed the
    // card since: forgotten together with the freshness block.
    struct MemoryInfo {
        std::uint32_t total = 0;
        std::uint32_t available = 0;
    };
    std::optional<MemoryInfo> knownMemory;
};

// Deauthenticates what the hold authenticated and ends the transaction;
// errors are logged and swallowed; the reader's turn is given back. Call
// with the state's mutex held.
void releaseLocked(HoldState& state) noexcept;

// Whether holds are on (`cardhold` greater than 0, and the application lets
// the module create the release timer's thread).
bool holdEnabled() noexcept;

// C_Initialize: an application that does not let the module create threads
// (CKF_LIBRARY_CANT_CREATE_OS_THREADS) gets no hold, as with `cardhold = 0`.
void allowThreads(bool allowed) noexcept;

// Registered once per process: before a fork() every idle hold is ended
// (deauthenticated, transaction ended), so the child never inherits a held
// card; the child gets fresh locks for the timer.
void registerForkHandlers() noexcept;

// The card hold of one slot connection.
class CardHold {
public:
    CardHold(ctl::LockablePcScCardConnection& connection, std::uint32_t tokenType,
             const std::wstring& readerName);
    // Releases and detaches the state from the timer; never throws.
    ~CardHold();
    CardHold(const CardHold&) = delete;
    CardHold& operator=(const CardHold&) = delete;

    // Ends a hold now (logout, a login or PIN change that works in a
    // transaction of its own). Call without a lease open on this hold.
    void release() noexcept;

    HoldState& state() noexcept { return *shared; }
    const std::shared_ptr<HoldState>& sharedState() noexcept { return shared; }

private:
    std::shared_ptr<HoldState> shared;
};

// A transaction of its own on a slot that holds are used with (the slot's
// first contact with its card) takes the reader's turn like a hold, with
// the pause when another process of ours had it, and gives it back at its
// end. Nothing with holds off.
class TurnForTransaction {
public:
    explicit TurnForTransaction(CardHold& hold);
    ~TurnForTransaction();
    TurnForTransaction(const TurnForTransaction&) = delete;
    TurnForTransaction& operator=(const TurnForTransaction&) = delete;

private:
    HoldState& state;
};

// The card connection tokens of a held call talk through. It passes every
// command to the slot's connection; when the card refuses one with 6982
// (security status not satisfied) on a logged-in slot whose login is not yet
// restored in this transaction, it authenticates with the session PIN and
// sends the command once more. A refused command has no effect on the card,
// so sending it again is safe, and read-only work served from current cache
// files sends no authentication at all.
class OnDemandLoginConnection : public ctl::CardConnection {
public:
    OnDemandLoginConnection(HoldState& state, SessionConnection& login) noexcept
        : state(state), login(login) {}

    bool isPinPadAvailable() override;
    Protocol getProtocol() override;
    std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength,
                           std::uint32_t flags) override;
    std::uint16_t pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* command,
                               std::uint32_t commandLength) override;
    std::uint16_t pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                               std::uint8_t currentPinOffset, std::uint8_t newPinOffset,
                               const std::uint8_t* command, std::uint32_t commandLength) override;

    // Restores the login now, when the slot is logged in and the call has
    // not restored it yet: for work that is known to need it (signing,
    // decryption, key generation), which saves the refused first command.
    void restoreLoginNow();
    // Before the call serves private objects or attributes from what it
    // knows: the first time in a hold, the card is asked to accept the
    // session PIN. A PIN it refuses forgets the slot's login and throws
    // amw::SecurityViolationException.
    void confirmLogin();

private:
    void restoreLogin();

    HoldState& state;
    SessionConnection& login;
    bool restoring = false;
};

// One call's use of a hold: the hold's mutex for the whole call, the
// transaction begun or reused. At the end the hold is kept (and the timer
// told) or, after a failure, at its bound or in the pause, released.
class HoldLease {
public:
    HoldLease(CardHold& hold, SessionConnection& login);
    ~HoldLease();
    HoldLease(const HoldLease&) = delete;
    HoldLease& operator=(const HoldLease&) = delete;

    ctl::CardConnection& cardConnection() noexcept { return connection; }
    const amw::FreshnessRecord* knownFreshness() const noexcept {
        return state.knownFreshness ? &*state.knownFreshness : nullptr;
    }
    // What the call leaves on the card: the block it read, when the call
    // changed nothing in it; otherwise the next call reads it again (and the
    // memory figures too).
    void finishedWith(const amw::FreshnessRecord& cardFreshness,
                      const amw::FreshnessRecord& freshness) noexcept;
    std::optional<HoldState::MemoryInfo>& knownMemory() noexcept { return state.knownMemory; }
    void restoreLoginNow() { connection.restoreLoginNow(); }
    void confirmLogin() { connection.confirmLogin(); }
    // Before a PIN is verified in the hold: a role authenticated earlier in
    // the call is deauthenticated first.
    void dropAuthentication();
    // A role the call authenticated with a PIN is deauthenticated at the end
    // of the call (or when a failure ends the hold), like a restored login.
    void authenticatedInCall(std::uint32_t role) noexcept {
        state.authenticatedRole = role;
        state.loginConfirmed = true;
    }

private:
    void endAtBound(Clock::time_point now) noexcept;
    void beginHold();

    std::shared_ptr<HoldState> shared;
    HoldState& state;
    std::unique_lock<std::mutex> guard;
    OnDemandLoginConnection connection;
    int exceptionsAtStart;
    bool cardChanged = false;
};

// Ends every hold and the timer thread (C_Finalize, after the connections
// are gone). Call without any hold's mutex.
void stopTimer() noexcept;

}  // namespace cardhold
