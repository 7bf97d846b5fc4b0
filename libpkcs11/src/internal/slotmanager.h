// The module's table of Cryptoki slots and the binding of PC/SC readers to
// them. There is one table per loaded module, so the manager has only static
// members.
//
// The table is built by init (C_Initialize) and torn down by finalize
// (C_Finalize), both under the module-wide lock; in between its size is fixed
// and slot k has id k. Readers are bound at init in the order the service
// lists them, and later by the reader event wait, always into the lowest
// empty slot.
//
// Lifetime: the table and its reader event listener are held by shared
// ownership. C_WaitForSlotEvent runs without the module-wide lock and keeps
// its own reference for the whole wait, so a waiter woken by finalize's
// cancel, or one that receives an event at the moment finalize runs, still
// holds valid slots and a valid listener; the last holder frees them.
// Pointers from getById stay valid until finalize, which callers under the
// module-wide lock never outlive.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "cryptoki.h"

class Slot;
namespace ctl {
class PcScReader;
}

class SlotManager {
public:
    SlotManager() = delete;

    // Creates the reader event listener, lists the readers and makes
    // max(readers, configured slot count) empty slots, then binds reader k of
    // the list to slot k. A PC/SC failure throws ctl::CtlException and leaves
    // no table behind.
    static void init();
    // Unbinds every reader, detaches the table and cancels the listener, so
    // that a blocked waiter leaves with LibraryNotInicializedException.
    // Never fails: a listener that cannot be cancelled (its service is gone)
    // is logged and left to its last holder.
    static void finalize() noexcept;
    // In a forked child: sets the inherited table aside without using it,
    // releasing it or taking its lock, and makes a fresh lock; the manager
    // then has no table. Throws only for lack of memory.
    static void abandonInheritedTable();

    // The slot with this id; SlotNotFoundException when there is none
    // (LibraryNotInicializedException without a table).
    static Slot* getById(CK_SLOT_ID slotId);
    // Binds a copy of the reader to the lowest empty slot and returns it;
    // null when every slot holds a reader or there is no table.
    static Slot* plugReaderIntoEmptySlot(const ctl::PcScReader& reader);
    // Waits for the next reader or card event that concerns a slot. True with
    // *slotId set when one happened; false when `block` is false and nothing
    // was pending, or another waiter holds the listener (a non-blocking call
    // never waits for it). LibraryNotInicializedException before init, when
    // finalize cancels the wait, and when finalize ran while the event was
    // being applied.
    static bool waitForEvent(bool block, CK_SLOT_ID* slotId);

    // Points of waitForEvent at which a test may run code of its own, to
    // interleave another thread's call deterministically.
    enum class WaitPoint {
        BEFORE_CLAIMING_LISTENER,  // the waiter has its table, has not claimed the listener
        BEFORE_APPLYING_EVENT,     // an event came, the table was still attached
    };
    using WaitHook = void (*)(WaitPoint);
    // Installs the hook (null removes it); tests only.
    static void setWaitHook(WaitHook hook) noexcept;

    // The slot ids in ascending order (empty without a table).
    static std::vector<CK_SLOT_ID> getSlotIds();
    static std::size_t getSlotCount();

    // The slots and listener of one initialised period; opaque outside the
    // manager.
    class Table;

private:
    static std::shared_ptr<Table> currentTable();
};
