#include "internal/slotmanager.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

#include "configuration.h"
#include "ctl/ctlexception.h"
#include "ctl/pcscapi.h"
#include "ctl/pcsceventlistener.h"
#include "ctl/pcscreader.h"
#include "internal/slot.h"
#include "logger.h"
#include "p11exceptions.h"
#include "platform.h"

// The slots and the listener of one initialised period of the module.
class SlotManager::Table {
public:
    std::vector<std::unique_ptr<Slot>> slots;
    std::unique_ptr<ctl::PcScEventListener> listener;
    // The listener keeps no lock of its own: it serves one waiter at a time,
    // the holder of this mutex. A blocking waiter queues for it; a
    // non-blocking one only tries it, so it never waits behind an endless wait.
    platform::Mutex waiterMutex;
    // Set by finalize; a waiter that wakes afterwards reports nothing.
    std::atomic<bool> detached{false};

    Slot* findById(CK_SLOT_ID slotId) const;
    Slot* findByReaderName(const std::wstring& name) const;
    Slot* plugIntoEmptySlot(const ctl::PcScReader& reader);
    // The slot an event concerns, after binding or unbinding its reader; null
    // for an event that concerns no slot.
    Slot* applyEvent(const ctl::PcScEventListener::Event& event);
};

namespace {

// Guards the pointer to the current table, not the table itself: init and
// finalize replace it under the module-wide lock, while a waiter (without
// that lock) takes its reference. Both live as long as the process: an
// application may finalise from an exit handler after the module's static
// objects are gone, and one that never finalises must not have its listener
// torn down at exit after the PC/SC layer it calls.
// A forked child replaces both (abandonInheritedTable).
std::atomic<platform::Mutex*> tableMutexInstance{new platform::Mutex};
std::shared_ptr<SlotManager::Table>& table = *new std::shared_ptr<SlotManager::Table>;

platform::Mutex& tableMutex() { return *tableMutexInstance.load(); }

std::atomic<SlotManager::WaitHook> waitHook{nullptr};

void runWaitHook(SlotManager::WaitPoint point) {
    SlotManager::WaitHook hook = waitHook.load();
    if (hook != nullptr) hook(point);
}

// Holds the listener for one waiter: a blocking waiter queues for it, a
// non-blocking one takes it only when it is free.
class ListenerClaim {
public:
    ListenerClaim(platform::Mutex& mutex, bool block) : waiterMutex(mutex) {
        if (block) {
            waiterMutex.lock();
            held = true;
        } else {
            held = waiterMutex.tryLock();
        }
    }
    ~ListenerClaim() {
        if (held) waiterMutex.unlock();
    }
    ListenerClaim(const ListenerClaim&) = delete;
    ListenerClaim& operator=(const ListenerClaim&) = delete;
    bool isHeld() const noexcept { return held; }

private:
    platform::Mutex& waiterMutex;
    bool held = false;
};

void logSlotBinding(const char* what, const Slot& slot, const ctl::PcScReader& reader) noexcept {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.log(LOG_FACILITY_PKCS11, L"Reader %ls %s slot %lu", reader.getName(), what,
                   static_cast<unsigned long>(slot.getId()));
    }
}

}  // namespace

Slot* SlotManager::Table::findById(CK_SLOT_ID slotId) const {
    for (const std::unique_ptr<Slot>& slot : slots) {
        if (slot->getId() == slotId) return slot.get();
    }
    return nullptr;
}

Slot* SlotManager::Table::findByReaderName(const std::wstring& name) const {
    for (const std::unique_ptr<Slot>& slot : slots) {
        std::optional<ctl::PcScReader> reader = slot->findReader();
        if (reader && reader->getNameString() == name) return slot.get();
    }
    return nullptr;
}

Slot* SlotManager::Table::plugIntoEmptySlot(const ctl::PcScReader& reader) {
    // The listener lists the readers before the table does, so a reader that
    // arrives in between is bound by the table and then reported as
    // connected: it keeps the slot it has.
    if (Slot* bound = findByReaderName(reader.getNameString())) {
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11, L"Reader %ls already in slot %lu", reader.getName(),
                       static_cast<unsigned long>(bound->getId()));
        }
        return nullptr;
    }
    for (const std::unique_ptr<Slot>& slot : slots) {
        if (slot->plugReader(reader)) {
            logSlotBinding("plugged into", *slot, reader);
            return slot.get();
        }
    }
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.log(LOG_FACILITY_PKCS11, L"No empty slot for reader %ls", reader.getName());
    }
    return nullptr;
}

Slot* SlotManager::Table::applyEvent(const ctl::PcScEventListener::Event& event) {
    switch (event.type) {
        case ctl::PcScEventListener::CARD_INSERTED:
        case ctl::PcScEventListener::CARD_REMOVED:
            return findByReaderName(event.reader.getNameString());
        case ctl::PcScEventListener::READER_CONNECTED:
            return plugIntoEmptySlot(event.reader);
        case ctl::PcScEventListener::READER_DISCONNECTED: {
            Slot* slot = findByReaderName(event.reader.getNameString());
            if (slot == nullptr) return nullptr;
            try {
                slot->unplugReader();
            } catch (const ReaderNotInSlotException&) {
                return nullptr;  // finalize emptied it meanwhile
            }
            logSlotBinding("unplugged from", *slot, event.reader);
            return slot;
        }
    }
    return nullptr;
}

std::shared_ptr<SlotManager::Table> SlotManager::currentTable() {
    platform::MutexLock lock(tableMutex());
    return table;
}

void SlotManager::init() {
    TraceScope trace(LOG_FACILITY_PKCS11, "SlotManager::init");
    if (currentTable()) finalize();
    auto fresh = std::make_shared<Table>();
    fresh->listener = std::make_unique<ctl::PcScEventListener>();
    // The listener has just listed the readers present: its list is the
    // reader list, in the service's order, without asking the service again.
    std::vector<ctl::PcScReader> readers;
    for (const std::wstring& name : fresh->listener->watchedReaders()) readers.emplace_back(name);
    const std::size_t configured = Configuration::instance().slotCount;
    const std::size_t count = std::max(readers.size(), configured);
    fresh->slots.reserve(count);
    for (std::size_t id = 0; id < count; ++id) {
        fresh->slots.push_back(std::make_unique<Slot>(static_cast<CK_SLOT_ID>(id)));
    }
    for (const ctl::PcScReader& reader : readers) fresh->plugIntoEmptySlot(reader);
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.log(LOG_FACILITY_PKCS11, L"Slots created: %lu, readers: %lu",
                   static_cast<unsigned long>(count), static_cast<unsigned long>(readers.size()));
    }
    platform::MutexLock lock(tableMutex());
    table = std::move(fresh);
}

void SlotManager::abandonInheritedTable() {
    // The inherited lock may be held for good: neither it nor the table is
    // touched beyond moving the table's reference aside. The reference is
    // kept in storage that is never destroyed, so the listener's PC/SC
    // context (the parent's) is never released from here.
    platform::Mutex* freshMutex = new platform::Mutex;
    alignas(std::shared_ptr<Table>) static unsigned char abandoned[sizeof(std::shared_ptr<Table>)];
    new (abandoned) std::shared_ptr<Table>(std::move(table));
    tableMutexInstance.store(freshMutex);
}

void SlotManager::finalize() noexcept {
    TraceScope trace(LOG_FACILITY_PKCS11, "SlotManager::finalize");
    std::shared_ptr<Table> old;
    try {
        platform::MutexLock lock(tableMutex());
        old.swap(table);
    } catch (const VxException& e) {
        // The table stays; the next init finalizes it again.
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"EXCEPTION CAUGHT %s", e.what());
        return;
    }
    if (!old) return;
    old->detached = true;
    for (const std::unique_ptr<Slot>& slot : old->slots) slot->clearReader();
    if (old->listener) {
        try {
            old->listener->cancel();
        } catch (const VxException& e) {
            // A service that went away leaves nothing to wake; the waiter,
            // if any, fails on its own and drops the last reference.
            Logger& logger = Logger::instance();
            if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"EXCEPTION CAUGHT %s", e.what());
        } catch (...) {
            Logger& logger = Logger::instance();
            if (logger.isEnabled()) logger.log(LOG_FACILITY_PKCS11, L"UNKNOWN EXCEPTION CAUGHT");
        }
    }
}

Slot* SlotManager::getById(CK_SLOT_ID slotId) {
    std::shared_ptr<Table> current = currentTable();
    if (!current) throw LibraryNotInicializedException();
    Slot* slot = current->findById(slotId);
    if (slot == nullptr) throw SlotNotFoundException(slotId);
    return slot;
}

Slot* SlotManager::plugReaderIntoEmptySlot(const ctl::PcScReader& reader) {
    std::shared_ptr<Table> current = currentTable();
    return current ? current->plugIntoEmptySlot(reader) : nullptr;
}

bool SlotManager::waitForEvent(bool block, CK_SLOT_ID* slotId) {
    TraceScope trace(LOG_FACILITY_PKCS11, "SlotManager::waitForEvent");
    if (slotId == nullptr) {
        throw InvalidArgumentException::nullPointer("slotId", "SlotManager::waitForEvent", __FILE__, __LINE__);
    }
    // Held until this waiter leaves, whatever finalize does meanwhile.
    const std::shared_ptr<Table> current = currentTable();
    if (!current || !current->listener) throw LibraryNotInicializedException();
    runWaitHook(WaitPoint::BEFORE_CLAIMING_LISTENER);
    // Another thread that holds the listener will take whatever is pending.
    ListenerClaim claim(current->waiterMutex, block);
    if (!claim.isHeld()) return false;
    const std::uint32_t timeout = block ? ctl::PcScApi::INFINITE_TIMEOUT : 0;
    for (;;) {
        if (current->detached.load()) throw LibraryNotInicializedException();
        std::optional<ctl::PcScEventListener::Event> event;
        try {
            event = current->listener->wait(timeout);
        } catch (const ctl::CtlException& e) {
            if (e.error == ctl::PcScResult::CANCELLED) throw LibraryNotInicializedException();
            if (e.error == ctl::PcScResult::TIMEOUT) return false;
            throw;
        }
        if (current->detached.load()) throw LibraryNotInicializedException();
        runWaitHook(WaitPoint::BEFORE_APPLYING_EVENT);
        Slot* slot = current->applyEvent(*event);
        // finalize may have run while the event was applied: its slots are no
        // longer the application's.
        if (current->detached.load()) throw LibraryNotInicializedException();
        if (slot != nullptr) {
            *slotId = slot->getId();
            return true;
        }
    }
}

void SlotManager::setWaitHook(WaitHook hook) noexcept { waitHook.store(hook); }

std::vector<CK_SLOT_ID> SlotManager::getSlotIds() {
    std::vector<CK_SLOT_ID> ids;
    std::shared_ptr<Table> current = currentTable();
    if (!current) return ids;
    ids.reserve(current->slots.size());
    for (const std::unique_ptr<Slot>& slot : current->slots) ids.push_back(slot->getId());
    return ids;
}

std::size_t SlotManager::getSlotCount() {
    std::shared_ptr<Table> current = currentTable();
    return current ? current->slots.size() : 0;
}
