#include "internal/slot.h"

#include "ctl/ctlexception.h"
#include "ctl/pcscapi.h"
#include "ctl/widetext.h"
#include "p11exceptions.h"

Slot::Slot(CK_SLOT_ID slotId) : id(slotId) {}

Slot::~Slot() { clearReader(); }

ctl::PcScReader Slot::getReader() const {
    platform::MutexLock lock(mutex);
    if (!reader) throw ReaderNotInSlotException(id);
    return *reader;
}

std::optional<ctl::PcScReader> Slot::findReader() const {
    platform::MutexLock lock(mutex);
    if (!reader) return std::nullopt;
    return *reader;
}

std::string Slot::getReaderName() const {
    platform::MutexLock lock(mutex);
    if (!reader) return EMPTY_SLOT_NAME;
    return ctl::WideText::toUtf8(reader->getNameString());
}

bool Slot::plugReader(const ctl::PcScReader& newReader) {
    platform::MutexLock lock(mutex);
    if (reader) return false;
    reader = std::make_unique<ctl::PcScReader>(newReader);
    return true;
}

void Slot::unplugReader() {
    platform::MutexLock lock(mutex);
    if (!reader) throw ReaderNotInSlotException(id);
    reader.reset();
}

void Slot::clearReader() noexcept {
    try {
        platform::MutexLock lock(mutex);
        reader.reset();
    } catch (...) {
        // Without the lock the reader stays bound; the destructor frees it.
    }
}

bool Slot::isReaderPresent() const {
    platform::MutexLock lock(mutex);
    return reader != nullptr;
}

bool Slot::isCardPresent(const ctl::PcScReader& reader) {
    try {
        return reader.isCardPresent();
    } catch (const ctl::CtlException& e) {
        if (e.error == ctl::PcScResult::UNKNOWN_READER) return false;
        throw;
    }
}

std::optional<ctl::PcScReader> Slot::findReaderWithCard() const {
    std::optional<ctl::PcScReader> bound = findReader();
    if (bound && !isCardPresent(*bound)) bound.reset();
    return bound;
}
