#include "internal/cardhold.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "amw/exceptions.h"
#include "amw/token.h"
#include "calltrace.h"
#include "configuration.h"
#include "internal/sessionconnection.h"
#include "logger.h"
#include "platform.h"
#include "vxexception.h"

namespace cardhold {

namespace {

constexpr std::uint16_t SW_SECURITY_STATUS_NOT_SATISFIED = 0x6982;
// In the cache directory, beside the cards' directories (named by their
// identifiers in hexadecimal digits).
constexpr const char* TURNS_FILE = "card-turns";

void logText(const wchar_t* text) noexcept {
    try {
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"%ls", text);
    } catch (...) {
    }
}

// The user's turns at the readers (see PAUSE_AFTER_BOUND), opened with the first hold
// that wants one; null when the cache directory cannot hold the file (no
// cache, a directory refused): holds then take no turns. No lock guards the
// opening, so a fork can never find one taken: a thread that loses the race
// gets no turn for that one hold.
platform::ProcessTurns* userTurns() noexcept {
    static std::atomic<platform::ProcessTurns*> turns{nullptr};
    static std::atomic<bool> opened{false};
    if (platform::ProcessTurns* existing = turns.load()) return existing;
    if (opened.exchange(true)) return nullptr;
    try {
        std::string problem = "no cache directory";
        const std::string& directory = Configuration::instance().cacheDirectory;
        std::unique_ptr<platform::PrivateDirectory> cache;
        if (!directory.empty()) cache = platform::PrivateDirectory::open(directory, true, 1, problem);
        std::unique_ptr<platform::ProcessTurns> opening;
        if (cache) opening = platform::ProcessTurns::open(*cache, TURNS_FILE, problem);
        if (!opening) {
            Logger& logger = Logger::instance();
            if (logger.isEnabled()) {
                logger.log(LOG_FACILITY_PKCS11, L"card holds take no turns with other processes: %s",
                           problem.c_str());
            }
            return nullptr;
        }
        // Kept for the life of the process: closing the file would drop
        // every turn the process holds.
        turns.store(opening.release());
        return turns.load();
    } catch (...) {
        return nullptr;
    }
}

// True when another process of ours had the turn first: the card has just
// passed from it to this one.
bool takeTurn(HoldState& state) noexcept {
    if (state.turnHeld) return false;
    platform::ProcessTurns* turns = userTurns();
    if (turns == nullptr) return false;
    const platform::ProcessTurns::Taken taken = turns->take(state.turnKey);
    state.turnHeld = taken != platform::ProcessTurns::Taken::NOT;
    return taken == platform::ProcessTurns::Taken::AFTER_WAITING;
}

// A forked child holds none of its parent's turns.
void giveTurn(HoldState& state) noexcept {
    if (!std::exchange(state.turnHeld, false)) return;
    if (state.ownerProcess != platform::currentProcessId()) return;
    if (platform::ProcessTurns* turns = userTurns()) turns->give(state.turnKey);
}

// A stable number for a reader's name (FNV-1a over its characters): the
// byte of its turn. Two readers that meet on a number only share turns.
std::uint32_t turnKeyOf(const std::wstring& readerName) noexcept {
    std::uint32_t hash = 2166136261u;
    for (wchar_t character : readerName) {
        hash = (hash ^ static_cast<std::uint32_t>(character)) * 16777619u;
    }
    return hash;
}

// Ends holds that have been idle for their time. One per process, created
// with the first hold; the thread runs until stopTimer. It never takes the
// module-wide lock and never waits for a hold's mutex: a hold whose call is
// running is skipped, and that call's end schedules its release again. So
// one slow call (a key generation) never keeps the holds of other slots.
class ReleaseTimer {
public:
    static ReleaseTimer& instance();
    // The process's timer, or null when this process has none yet.
    static ReleaseTimer* existing() noexcept;

    void schedule(const std::shared_ptr<HoldState>& state, Clock::time_point at);
    void stop() noexcept;
    void releaseAllAtExit() noexcept;
    // Ends every hold whose call is not running, now.
    void releaseIdleHolds(const wchar_t* why) noexcept;
    bool ownedByThisProcess() const noexcept {
        return ownerProcess == platform::currentProcessId();
    }

private:
    struct Entry {
        std::weak_ptr<HoldState> state;
        const HoldState* key;
        Clock::time_point at;
    };

    void run();
    std::vector<std::shared_ptr<HoldState>> liveHolds();

    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Entry> entries;
    std::thread thread;
    bool stopping = false;
    std::uint64_t ownerProcess = 0;
};

ReleaseTimer*& currentTimer() {
    static ReleaseTimer* timer = nullptr;
    return timer;
}

// Guards the creation of the process's timer. A forked child gets a fresh
// one: a thread of the parent may have held it at the fork.
std::atomic<std::mutex*>& creationMutex() {
    static std::atomic<std::mutex*> mutex{new std::mutex};
    return mutex;
}

std::atomic<bool> threadsAllowed{true};

void releaseAtExit() {
    if (ReleaseTimer* timer = ReleaseTimer::existing()) timer->releaseAllAtExit();
}

// Never destroyed: an application may exit with holds open, and the exit
// handler runs after the module's statics are gone. A forked child gets a
// timer of its own and leaves its parent's (whose thread it does not have)
// untouched.
ReleaseTimer& ReleaseTimer::instance() {
    static bool exitHandlerRegistered = false;
    std::lock_guard<std::mutex> lock(*creationMutex().load());
    ReleaseTimer*& timer = currentTimer();
    const std::uint64_t process = platform::currentProcessId();
    if (timer == nullptr || timer->ownerProcess != process) {
        timer = new ReleaseTimer;
        timer->ownerProcess = process;
        if (!exitHandlerRegistered) {
            exitHandlerRegistered = true;
            platform::atProcessExit(&releaseAtExit);
        }
    }
    return *timer;
}

// Without the creation lock: the pointer is written once per process before
// any hold exists, and a child's stale copy is recognised by its owner.
ReleaseTimer* ReleaseTimer::existing() noexcept {
    ReleaseTimer* timer = currentTimer();
    return timer != nullptr && timer->ownedByThisProcess() ? timer : nullptr;
}

void ReleaseTimer::schedule(const std::shared_ptr<HoldState>& state, Clock::time_point at) {
    std::lock_guard<std::mutex> lock(mutex);
    bool found = false;
    for (Entry& entry : entries) {
        if (entry.key == state.get()) {
            entry.at = at;
            found = true;
        }
    }
    if (!found) entries.push_back(Entry{state, state.get(), at});
    if (!thread.joinable()) {
        stopping = false;
        thread = std::thread([this] { run(); });
    }
    wake.notify_one();
}

// A hold that is due and idle is ended; one whose call is running (its mutex
// taken) is left to that call, whose end schedules it again; one that a call
// used since it was scheduled has been scheduled again already.
void ReleaseTimer::run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (entries.empty()) {
            wake.wait(lock);
            continue;
        }
        Clock::time_point earliest = entries.front().at;
        for (const Entry& entry : entries) earliest = std::min(earliest, entry.at);
        const Clock::time_point now = Clock::now();
        if (now < earliest) {
            wake.wait_until(lock, earliest);
            continue;
        }
        std::vector<std::shared_ptr<HoldState>> due;
        std::vector<Entry> later;
        for (Entry& entry : entries) {
            if (entry.at > now) {
                later.push_back(std::move(entry));
            } else if (std::shared_ptr<HoldState> state = entry.state.lock()) {
                due.push_back(std::move(state));
            }
        }
        entries = std::move(later);
        lock.unlock();
        for (const auto& state : due) {
            std::unique_lock<std::mutex> holdLock(state->mutex, std::try_to_lock);
            if (!holdLock.owns_lock() || !state->held) continue;
            if (Clock::now() < state->lastUse + state->idle) continue;
            logText(L"card hold ends: idle");
            releaseLocked(*state);
        }
        due.clear();
        lock.lock();
    }
}

void ReleaseTimer::stop() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        entries.clear();
    }
    wake.notify_one();
    if (thread.joinable()) {
        try {
            thread.join();
        } catch (...) {
        }
    }
}

std::vector<std::shared_ptr<HoldState>> ReleaseTimer::liveHolds() {
    std::vector<std::shared_ptr<HoldState>> states;
    std::lock_guard<std::mutex> lock(mutex);
    for (const Entry& entry : entries) {
        if (std::shared_ptr<HoldState> state = entry.state.lock()) states.push_back(state);
    }
    return states;
}

// A call still running on another thread keeps its hold's mutex; its own
// end releases it.
void ReleaseTimer::releaseIdleHolds(const wchar_t* why) noexcept {
    try {
        for (const auto& state : liveHolds()) {
            std::unique_lock<std::mutex> lock(state->mutex, std::try_to_lock);
            if (!lock.owns_lock() || !state->held) continue;
            logText(why);
            releaseLocked(*state);
        }
    } catch (...) {
        // Without memory for the list the holds end by their timer.
    }
}

// A call still running on another thread keeps its hold's mutex; its own
// end releases or the service does when the process is gone.
void ReleaseTimer::releaseAllAtExit() noexcept {
    releaseIdleHolds(L"card hold ends: the process exits");
    // The handler also runs when the module is unloaded without C_Finalize:
    // the thread must not outlive the module's code.
    stop();
}

// Before fork(): the child shares this process's connections to the PC/SC
// service, so a transaction held now would be the child's too, and would
// outlive this process when it leaves at once (daemon()).
void endIdleHoldsBeforeFork() {
    if (ReleaseTimer* timer = ReleaseTimer::existing()) {
        timer->releaseIdleHolds(L"card hold ends: the process forks");
    }
}

// The child has only the forking thread: a timer lock held by another thread
// at the fork would stay held for good. The parent's timer stays untouched.
void freshTimerLocksInChild() { creationMutex().store(new std::mutex); }

// The role raised in the running call is dropped; a card that keeps it is
// reset when the transaction ends. Errors are logged and swallowed.
void dropRoleLocked(HoldState& state) noexcept {
    const std::optional<std::uint32_t> role = std::exchange(state.authenticatedRole, std::nullopt);
    if (!role || state.connection == nullptr) return;
    try {
        amw::Token::createToken(*state.connection, state.tokenType, false)->deauthenticate(*role);
    } catch (const amw::RoleStillAuthenticatedException& e) {
        logException(LOG_FACILITY_PKCS11, e);
        state.resetWhenEnded = true;
    } catch (const VxException& e) {
        logException(LOG_FACILITY_PKCS11, e);
    } catch (...) {
        state.resetWhenEnded = true;
    }
}

// Deauthenticates what the hold authenticated and ends the transaction.
void endTransactionLocked(HoldState& state) noexcept {
    if (!state.held) return;
    state.held = false;
    state.releasedAt = Clock::now();
    state.knownFreshness.reset();
    state.knownMemory.reset();
    state.loginConfirmed = false;
    // A forked child shares its parent's card handle but not its
    // transaction: it must neither deauthenticate nor end it.
    if (state.connection == nullptr || state.ownerProcess != platform::currentProcessId()) {
        state.authenticatedRole.reset();
        return;
    }
    dropRoleLocked(state);
    // A card that is gone, or was reset meanwhile, keeps no role; resetting
    // the reader of a removed card would only disturb its next insertion.
    bool reset = std::exchange(state.resetWhenEnded, false);
    if (reset) {
        try {
            reset = state.connection->isValid();
        } catch (...) {
            reset = false;
        }
    }
    if (reset) logText(L"card hold ends with a card reset: a role could not be dropped");
    try {
        state.connection->unlock(reset ? ctl::CardConnection::RESET_CARD
                                       : ctl::CardConnection::LEAVE_CARD);
    } catch (const VxException& e) {
        logException(LOG_FACILITY_PKCS11, e);
    } catch (...) {
    }
}

}  // namespace

bool holdEnabled() noexcept {
    if (!threadsAllowed.load()) return false;
    try {
        return Configuration::instance().cardHoldMs > 0;
    } catch (...) {
        return false;
    }
}

void allowThreads(bool allowed) noexcept { threadsAllowed.store(allowed); }

void registerForkHandlers() noexcept {
    platform::runBeforeEveryFork(&endIdleHoldsBeforeFork);
    platform::runInEveryForkedChild(&freshTimerLocksInChild);
}

void releaseLocked(HoldState& state) noexcept {
    endTransactionLocked(state);
    giveTurn(state);
}


CardHold::CardHold(ctl::LockablePcScCardConnection& connection, std::uint32_t tokenType,
                   const std::wstring& readerName)
    : shared(std::make_shared<HoldState>()) {
    shared->connection = &connection;
    shared->tokenType = tokenType;
    shared->turnKey = turnKeyOf(readerName);
    shared->ownerProcess = platform::currentProcessId();
    try {
        shared->idle = std::chrono::milliseconds(Configuration::instance().cardHoldMs);
    } catch (...) {
        shared->idle = std::chrono::milliseconds(0);
    }
}

CardHold::~CardHold() {
    // In a forked child the parent's state is left alone: its mutex may have
    // been held by a thread the child does not have.
    if (shared->ownerProcess != platform::currentProcessId()) return;
    std::lock_guard<std::mutex> lock(shared->mutex);
    releaseLocked(*shared);
    shared->connection = nullptr;
}

TurnForTransaction::TurnForTransaction(CardHold& hold) : state(hold.state()) {
    if (!holdEnabled()) return;
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.held && takeTurn(state)) std::this_thread::sleep_for(PAUSE_AFTER_BOUND);
}

TurnForTransaction::~TurnForTransaction() {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.held) giveTurn(state);
}

void CardHold::release() noexcept {
    if (shared->ownerProcess != platform::currentProcessId()) return;
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->held) logText(L"card hold ends: the call works in a transaction of its own");
    releaseLocked(*shared);
}

bool OnDemandLoginConnection::isPinPadAvailable() { return state.connection->isPinPadAvailable(); }

ctl::CardConnection::Protocol OnDemandLoginConnection::getProtocol() {
    return state.connection->getProtocol();
}

std::uint16_t OnDemandLoginConnection::transmit(const std::uint8_t* command,
                                                std::uint32_t commandLength,
                                                std::uint8_t* response,
                                                std::uint32_t* responseLength,
                                                std::uint32_t flags) {
    const std::uint32_t capacity = responseLength != nullptr ? *responseLength : 0;
    std::uint16_t sw =
        state.connection->transmit(command, commandLength, response, responseLength, flags);
    if (sw != SW_SECURITY_STATUS_NOT_SATISFIED || restoring || state.authenticatedRole ||
        login.loginState == SessionConnection::LOGGED_OUT) {
        return sw;
    }
    restoreLogin();
    if (responseLength != nullptr) *responseLength = capacity;
    sw = state.connection->transmit(command, commandLength, response, responseLength, flags);
    return sw;
}

// As the per-call login restorer does: an empty session PIN is an internal
// fault, a PIN the card no longer takes means the application is logged out.
void OnDemandLoginConnection::restoreLogin() {
    if (login.sessionPin.empty()) throw InternalErrorException("Session PIN is empty");
    logText(L"login restored in the card hold");
    restoring = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{restoring};
    std::unique_ptr<amw::Token> token = amw::Token::createToken(*this, state.tokenType, false);
    std::uint32_t attemptsRemaining = 0;
    const amw::AuthenticationResult result = token->authenticateSessionPin(
        login.authenticationObjectId, login.sessionPin.data,
        static_cast<std::uint32_t>(login.sessionPin.length), &attemptsRemaining);
    if (result != amw::AUTHENTICATION_SUCCESS) {
        // The session PIN is dead for good (the role's PIN was changed or
        // unblocked elsewhere, or the card was reset): the slot is logged out.
        logText(L"the slot's login is no longer accepted by the card");
        login.logout();
        throw amw::SecurityViolationException();
    }
    state.authenticatedRole = login.authenticationObjectId;
    state.loginConfirmed = true;
}

void OnDemandLoginConnection::confirmLogin() {
    if (state.loginConfirmed || restoring || login.loginState == SessionConnection::LOGGED_OUT) return;
    if (state.authenticatedRole) {
        state.loginConfirmed = true;
        return;
    }
    restoreLogin();
}

void OnDemandLoginConnection::restoreLoginNow() {
    if (restoring || state.authenticatedRole || login.loginState == SessionConnection::LOGGED_OUT) {
        return;
    }
    restoreLogin();
}

std::uint16_t OnDemandLoginConnection::pinPadVerify(std::uint8_t pinOffset,
                                                    const std::uint8_t* command,
                                                    std::uint32_t commandLength) {
    return state.connection->pinPadVerify(pinOffset, command, commandLength);
}

std::uint16_t OnDemandLoginConnection::pinPadModify(bool askForCurrentPin, bool confirmNewPin,
                                                    std::uint8_t currentPinOffset,
                                                    std::uint8_t newPinOffset,
                                                    const std::uint8_t* command,
                                                    std::uint32_t commandLength) {
    return state.connection->pinPadModify(askForCurrentPin, confirmNewPin, currentPinOffset,
                                          newPinOffset, command, commandLength);
}

HoldLease::HoldLease(CardHold& hold, SessionConnection& login)
    : shared(hold.sharedState()),
      state(*shared),
      guard(state.mutex),
      connection(state, login),
      exceptionsAtStart(std::uncaught_exceptions()) {
    if (state.connection == nullptr) {
        throw InternalErrorException("card hold used after its connection ended");
    }
    const Clock::time_point now = Clock::now();
    if (state.held && now - state.heldSince >= HOLD_BOUND) endAtBound(now);
    if (!state.held) beginHold();
}

void HoldLease::beginHold() {
    if (Clock::now() < state.holdAllowedFrom) std::this_thread::sleep_until(state.holdAllowedFrom);
    // The card comes from another process of ours: it is left alone for the
    // pause first, so that an application waiting for it gets it.
    const bool fromAnotherProcess = takeTurn(state);
    if (fromAnotherProcess) std::this_thread::sleep_for(PAUSE_AFTER_BOUND);
    // An error propagates with nothing held.
    try {
        state.connection->lock();
    } catch (...) {
        giveTurn(state);
        throw;
    }
    // The bound counts from the grant: time spent waiting for another
    // application is not ours. A hold begun less than a pause after this
    // process's last one ended continues that one's bound: a process that
    // calls just slower than the idle time would otherwise never pause.
    const Clock::time_point granted = Clock::now();
    if (fromAnotherProcess || granted - state.releasedAt >= PAUSE_AFTER_BOUND) state.heldSince = granted;
    state.held = true;
    state.knownFreshness.reset();
    state.knownMemory.reset();
    state.authenticatedRole.reset();
    state.loginConfirmed = false;
    state.resetWhenEnded = false;
}

void HoldLease::finishedWith(const amw::FreshnessRecord& cardFreshness,
                             const amw::FreshnessRecord& freshness) noexcept {
    cardChanged = !(cardFreshness == freshness);
    if (!cardChanged) state.knownFreshness = cardFreshness;
}

// The card is let go, and this process leaves it alone for the pause (a
// process of ours that waits for the turn takes the pause itself).
void HoldLease::endAtBound(Clock::time_point now) noexcept {
    logText(L"card hold ends: bound reached");
    releaseLocked(state);
    state.holdAllowedFrom = now + PAUSE_AFTER_BOUND;
}

HoldLease::~HoldLease() {
    const Clock::time_point now = Clock::now();
    if (cardChanged) {
        state.knownFreshness.reset();
        state.knownMemory.reset();
    }
    state.lastUse = now;
    // The role raised for this call goes with it.
    dropRoleLocked(state);
    const bool failed = std::uncaught_exceptions() > exceptionsAtStart;
    if (failed || state.idle.count() == 0 || state.resetWhenEnded) {
        releaseLocked(state);
        return;
    }
    if (now - state.heldSince >= HOLD_BOUND) {
        endAtBound(now);
        return;
    }
    try {
        ReleaseTimer::instance().schedule(shared, now + state.idle);
    } catch (...) {
        // Without a timer nothing would end the hold.
        releaseLocked(state);
    }
}

void HoldLease::dropAuthentication() {
    const std::optional<std::uint32_t> role = std::exchange(state.authenticatedRole, std::nullopt);
    if (role) amw::Token::createToken(*state.connection, state.tokenType, false)->deauthenticate(*role);
}

void stopTimer() noexcept {
    ReleaseTimer*& timer = currentTimer();
    if (timer != nullptr && timer->ownedByThisProcess()) timer->stop();
}

}  // namespace cardhold
