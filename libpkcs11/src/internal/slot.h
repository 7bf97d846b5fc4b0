// One Cryptoki slot: a fixed number in the slot table that may hold a PC/SC
// reader. The number never changes while the module is initialised; the
// reader comes and goes as the reader event wait plugs and unplugs it.
//
// The bound reader is read by the locked Cryptoki functions and changed by a
// C_WaitForSlotEvent thread that does not hold the module-wide lock, so every
// access to it takes the slot's own mutex and releases it on every path.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "cryptoki.h"
#include "ctl/pcscreader.h"
#include "platform.h"

class Slot {
public:
    explicit Slot(CK_SLOT_ID id);
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    CK_SLOT_ID getId() const noexcept { return id; }

    // A copy of the bound reader; ReaderNotInSlotException when the slot is empty.
    ctl::PcScReader getReader() const;
    // A copy of the bound reader, or nothing when the slot is empty. One look
    // under the lock, so the answer cannot change halfway through a caller's
    // use of it.
    std::optional<ctl::PcScReader> findReader() const;
    // The bound reader's name as UTF-8, "empty" for an empty slot.
    std::string getReaderName() const;
    // Binds a copy of `newReader` when the slot is empty (true); leaves a
    // bound slot unchanged (false).
    bool plugReader(const ctl::PcScReader& newReader);
    // Forgets the bound reader; ReaderNotInSlotException when there is none.
    void unplugReader();
    // Forgets the bound reader if there is one; used when the table goes away.
    void clearReader() noexcept;
    bool isReaderPresent() const;

    // Whether a card is in the reader. A slot keeps its reader until the slot
    // event wait learns that the reader went away, and an application that
    // never waits may still ask about it: the service no longer knows such a
    // reader, and no card can be in it.
    static bool isCardPresent(const ctl::PcScReader& reader);
    // The slot's reader if a card is in it; nothing for an empty slot or an
    // empty reader.
    std::optional<ctl::PcScReader> findReaderWithCard() const;

    static constexpr const char* EMPTY_SLOT_NAME = "empty";

private:
    const CK_SLOT_ID id;
    std::unique_ptr<ctl::PcScReader> reader;
    mutable platform::Mutex mutex;
};
