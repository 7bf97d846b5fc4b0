#include "ctl/pcsceventlistener.h"

#include <algorithm>
#include <utility>

#include "ctl/ctlexception.h"
#include "ctllog.h"
#include "logger.h"
#include "pcsccontext.h"

namespace ctl {

namespace {

// How long one status-change call of an endless wait may block.
constexpr std::uint32_t ENDLESS_WAIT_SLICE_MS = 500;

const char* const STATUS_CHANGE_CALL =
    "SCardGetStatusChangeW(context, static_cast<DWORD>(timeout), &readerStates[0], "
    "static_cast<DWORD>(readerStates.size()))";

}  // namespace

PcScEventListener::PcScEventListener() : PcScEventListener(PcScApi::current()) {}

PcScEventListener::PcScEventListener(PcScApi& pcsc) : api(pcsc) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScEventListener::PcScEventListener");
    PcScContextHolder newContext(api);
    PcScReaderState pnp;
    pnp.readerName = PNP_NOTIFICATION_READER;
    readerStates.push_back(std::move(pnp));
    for (const PcScReader& reader : PcScReader::list(api, newContext.get())) {
        appendReaderEntry(reader.getNameString());
    }
    context = newContext.release();
}

PcScEventListener::~PcScEventListener() {
    const PcScContext c = context.exchange(0);
    if (c != 0) api.releaseContext(c);
}

const wchar_t* PcScEventListener::eventTypeName(std::uint32_t type) noexcept {
    switch (type) {
        case CARD_INSERTED: return L"ctl::PcScEventListener::CARD_INSERTED";
        case CARD_REMOVED: return L"ctl::PcScEventListener::CARD_REMOVED";
        case READER_CONNECTED: return L"ctl::PcScEventListener::READER_CONNECTED";
        case READER_DISCONNECTED: return L"ctl::PcScEventListener::READER_DISCONNECTED";
        default: return L"UNKNOWN";
    }
}

std::vector<std::wstring> PcScEventListener::watchedReaders() const {
    std::vector<std::wstring> names;
    for (std::size_t i = 1; i < readerStates.size(); ++i) names.push_back(readerStates[i].readerName);
    return names;
}

void PcScEventListener::appendReaderEntry(const std::wstring& name) {
    PcScReaderState entry;
    entry.readerName = name;
    readerStates.push_back(std::move(entry));
}

void PcScEventListener::queue(const std::wstring& readerName, EventType type) {
    eventQueue.push_back(Event{PcScReader(readerName), type});
}

PcScEventListener::Event PcScEventListener::wait(std::uint32_t timeout) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScEventListener::wait");
    if (ctllog::enabled()) ctllog::parameter(L"timeout", ctllog::decimalAndHex(timeout));
    // An endless wait is made of slices: a cancel that lands after the flag
    // test below but before the service starts blocking is forgotten by the
    // service, and would otherwise leave the waiter blocked until the next
    // reader event. To the log the slices are one call: its start and its
    // result are written once, however long it blocks.
    const bool endless = timeout == PcScApi::INFINITE_TIMEOUT;
    const std::uint32_t callTimeout = endless ? ENDLESS_WAIT_SLICE_MS : timeout;
    bool callAnnounced = false;
    while (eventQueue.empty()) {
        // A cancel that arrived before the call could block is honoured here;
        // the service forgets a cancel on a context that is not waiting.
        if (cancelRequested.load()) throw CtlException(PcScResult::CANCELLED);
        // What an earlier wait could not finish comes first: a context lost
        // to a stopped service, a reader change whose listing failed.
        if (context.load() == 0 || readerListStale) {
            if (!catchUpWithService(endless)) throw CtlException(PcScResult::TIMEOUT);
            continue;
        }
        if (!callAnnounced) {
            ctllog::message(L"SCardGetStatusChangeW() may block...");
            callAnnounced = true;
        }
        const std::uint32_t rv = api.getStatusChange(context.load(), callTimeout,
                                                     readerStates.data(), readerStates.size());
        if (cancelRequested.load()) {
            ctllog::pcscResult(STATUS_CHANGE_CALL, rv);
            throw CtlException(PcScResult::CANCELLED);
        }
        if (endless && rv == PcScResult::TIMEOUT) {
            continue;
        }
        ctllog::pcscResult(STATUS_CHANGE_CALL, rv);
        callAnnounced = false;
        if (api.isServiceStopped(rv)) {
            // Only a blocking wait waits for the service to come back; a
            // non-blocking one reports that nothing happened, and a later
            // wait makes the new context.
            if (!endless) {
                dropContext();
                throw CtlException(PcScResult::TIMEOUT);
            }
            handleServiceStopped(rv);
            continue;
        }
        if (rv == PcScResult::CANCELLED || rv == PcScResult::INVALID_PARAMETER)
            throw CtlException(PcScResult::CANCELLED);
        if (rv != PcScResult::SUCCESS) throw CtlException(rv);

        collectCardEvents();
        // A reader the service no longer knows is a reader that went away,
        // even when the count of readers stayed the same.
        const bool readerVanished =
            std::any_of(readerStates.begin() + 1, readerStates.end(), [](const PcScReaderState& s) {
                return (s.eventState & PcScState::UNKNOWN) != 0;
            });
        if ((readerStates[0].eventState & PcScState::CHANGED) == 0 && !readerVanished) {
            readerStates[0].currentState = readerStates[0].eventState;
            continue;
        }
        ctllog::message(L"Number of readers changed");
        // The change counts as seen only once the readers were listed: a
        // listing that fails leaves it pending for the next wait.
        readerListStale = true;
        if (!catchUpWithService(endless) && eventQueue.empty()) {
            throw CtlException(PcScResult::TIMEOUT);
        }
    }
    if (ctllog::enabled()) ctllog::parameter(L"eventQueue.size()", ctllog::decimalAndHex(eventQueue.size()));
    Event event = std::move(eventQueue.front());
    eventQueue.pop_front();
    if (ctllog::enabled()) {
        const std::wstring text = std::wstring(L"[event = ") + eventTypeName(event.type) +
                                  L", reader = " + event.reader.getNameString() + L"]";
        ctllog::parameter(L"reader_event", text);
    }
    return event;
}

bool PcScEventListener::catchUpWithService(bool mayWaitForService) {
    if (context.load() == 0) {
        if (mayWaitForService) {
            handleServiceStopped(PcScResult::SERVICE_STOPPED_ERROR);
            return true;
        }
        PcScContext fresh = 0;
        const std::uint32_t rv = establishLoggedContext(api, &fresh);
        if (rv != PcScResult::SUCCESS) {
            if (api.isServiceUnavailable(rv)) return false;
            throw CtlException(rv);
        }
        context = fresh;
        // The restarted service may offer another set of readers than before.
        readerListStale = true;
    }
    try {
        resynchronizeReaders();
        return true;
    } catch (const CtlException& e) {
        // A daemon that is going down announces its readers' removal first
        // and then refuses the listing: a stopped service, not a failure of
        // the wait.
        if (!api.isServiceStopped(e.error) && !api.isServiceUnavailable(e.error)) throw;
        if (!mayWaitForService) {
            dropContext();
            return false;
        }
        handleServiceStopped(e.error);
        return true;
    }
}

void PcScEventListener::resynchronizeReaders() {
    handleNumOfReadersChanged();
    readerListStale = false;
    readerStates[0].currentState = readerStates[0].eventState;
}

void PcScEventListener::dropContext() noexcept {
    const PcScContext dead = context.exchange(0);
    if (dead != 0) api.releaseContext(dead);
}

void PcScEventListener::collectCardEvents() {
    for (std::size_t i = 1; i < readerStates.size(); ++i) {
        PcScReaderState& it = readerStates[i];
        if (ctllog::enabled()) {
            ctllog::message(L"Check change in a reader");
            ctllog::parameter(L"it->dwCurrentState", ctllog::hex(it.currentState));
            ctllog::parameter(L"it->dwEventState", ctllog::hex(it.eventState));
        }
        const bool wasPresent = (it.currentState & PcScState::PRESENT) != 0;
        const bool isPresent = (it.eventState & PcScState::PRESENT) != 0;
        if (wasPresent && !isPresent) {
            ctllog::messageWithText(L"Card removed from %s", it.readerName);
            queue(it.readerName, CARD_REMOVED);
        } else if (!wasPresent && isPresent) {
            ctllog::messageWithText(L"Card inserted into %s", it.readerName);
            queue(it.readerName, CARD_INSERTED);
        }
        it.currentState = it.eventState;
    }
}

void PcScEventListener::handleNumOfReadersChanged() {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScEventListener::handleNumOfReadersChanged");
    std::vector<PcScReader> present = PcScReader::list(api);
    for (std::size_t i = 1; i < readerStates.size();) {
        const std::wstring& name = readerStates[i].readerName;
        auto found = std::find_if(present.begin(), present.end(),
                                  [&](const PcScReader& r) { return r.getNameString() == name; });
        if (found != present.end()) {
            present.erase(found);
            ++i;
            continue;
        }
        ctllog::messageWithText(L"Reader %s disconnected", name);
        queue(name, READER_DISCONNECTED);
        readerStates.erase(readerStates.begin() + static_cast<std::ptrdiff_t>(i));
    }
    for (const PcScReader& reader : present) {
        appendReaderEntry(reader.getNameString());
        ctllog::messageWithText(L"Reader %s connected", reader.getNameString());
        queue(reader.getNameString(), READER_CONNECTED);
    }
}

void PcScEventListener::handleServiceStopped(std::uint32_t result) {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScEventListener::handleServiceStopped");
    ctllog::message(L"Service stopped. Waiting on single object ...");
    // The old context is dead for good; a restarted service needs a new one.
    dropContext();
    for (unsigned attempt = 0;; ++attempt) {
        const std::uint32_t waitResult = api.waitForServiceStart(attempt, cancelRequested);
        if (ctllog::enabled()) ctllog::parameter(L"waitForSingleObjectResult", ctllog::hex(waitResult));
        if (waitResult != 0)
            throw CtlException(cancelRequested.load() ? PcScResult::CANCELLED : result);
        PcScContext fresh = 0;
        const std::uint32_t rv = establishLoggedContext(api, &fresh);
        if (rv != PcScResult::SUCCESS) {
            if (!api.isServiceUnavailable(rv)) throw CtlException(rv);
            continue;
        }
        context = fresh;
        try {
            // The restarted service may offer another set of readers than before.
            resynchronizeReaders();
            return;
        } catch (const CtlException& e) {
            // Gone again before it could be asked: wait for the next start.
            if (!api.isServiceStopped(e.error) && !api.isServiceUnavailable(e.error)) throw;
            dropContext();
        }
    }
}

void PcScEventListener::cancel() {
    TraceScope trace(LOG_FACILITY_CTL, "ctl::PcScEventListener::cancel");
    cancelRequested = true;
    const PcScContext c = context.load();
    if (c == 0) return;  // between contexts: the service wait sees the flag
    const std::uint32_t rv = api.cancel(c);
    ctllog::pcscResult("SCardCancel(context)", rv);
    if (rv != PcScResult::SUCCESS) throw CtlException(rv);
}

}  // namespace ctl
