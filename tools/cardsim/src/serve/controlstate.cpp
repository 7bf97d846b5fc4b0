#include "controlstate.h"

namespace cardsim::serve {

void ControlState::pushKeypad(KeypadEntry entry) {
    std::lock_guard lock(mutex_);
    keypad_.push_back(std::move(entry));
    changed_.notify_all();
}

void ControlState::clearKeypad() {
    std::lock_guard lock(mutex_);
    keypad_.clear();
}

std::optional<KeypadEntry> ControlState::peekKeypad() const {
    std::lock_guard lock(mutex_);
    if (keypad_.empty()) return std::nullopt;
    return keypad_.front();
}

std::optional<KeypadEntry> ControlState::waitKeypad(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return !keypad_.empty() || !insertedRequested_; });
    if (keypad_.empty() || !insertedRequested_) return std::nullopt;
    return keypad_.front();
}

void ControlState::popKeypad() {
    std::lock_guard lock(mutex_);
    if (!keypad_.empty()) keypad_.pop_front();
}

std::size_t ControlState::keypadSize() const {
    std::lock_guard lock(mutex_);
    return keypad_.size();
}

void ControlState::setLatency(std::chrono::microseconds perApdu, std::chrono::microseconds perByte) {
    std::lock_guard lock(mutex_);
    perApdu_ = perApdu;
    perByte_ = perByte;
}

std::chrono::microseconds ControlState::delayFor(std::size_t bytes) const {
    std::lock_guard lock(mutex_);
    return perApdu_ + perByte_ * static_cast<std::int64_t>(bytes);
}

void ControlState::inject(std::uint8_t ins, unsigned nth, std::uint16_t sw) {
    std::lock_guard lock(mutex_);
    injections_.push_back({ins, nth, sw});
}

std::optional<std::uint16_t> ControlState::takeInjection(std::uint8_t ins) {
    std::lock_guard lock(mutex_);
    std::optional<std::uint16_t> result;
    for (auto it = injections_.begin(); it != injections_.end();) {
        if (it->ins == ins && --it->remaining == 0) {
            if (!result) result = it->sw;
            it = injections_.erase(it);
        } else {
            ++it;
        }
    }
    return result;
}

void ControlState::clearInjections() {
    std::lock_guard lock(mutex_);
    injections_.clear();
}

void ControlState::record(const std::vector<std::uint8_t>& apdu, std::size_t responseLength, std::uint16_t sw,
                          bool injected) {
    std::lock_guard lock(mutex_);
    TraceRecord r;
    r.sequence = ++sequence_;
    if (apdu.size() > 0) r.cla = apdu[0];
    if (apdu.size() > 1) r.ins = apdu[1];
    if (apdu.size() > 2) r.p1 = apdu[2];
    if (apdu.size() > 3) r.p2 = apdu[3];
    r.commandLength = apdu.size();
    r.responseLength = responseLength;
    r.sw = sw;
    r.injected = injected;
    if (capture_) r.command = apdu;
    if (trace_.size() < MAX_TRACE) trace_.push_back(r);
    ++counters_[r.ins];
}

std::vector<TraceRecord> ControlState::trace() const {
    std::lock_guard lock(mutex_);
    return trace_;
}

std::map<std::uint8_t, std::uint64_t> ControlState::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void ControlState::clearStatistics() {
    std::lock_guard lock(mutex_);
    trace_.clear();
    counters_.clear();
}

void ControlState::setCapture(bool on) {
    std::lock_guard lock(mutex_);
    capture_ = on;
}

void ControlState::requestInserted(bool inserted) {
    std::lock_guard lock(mutex_);
    insertedRequested_ = inserted;
    changed_.notify_all();
}

bool ControlState::insertedRequested() const {
    std::lock_guard lock(mutex_);
    return insertedRequested_;
}

void ControlState::reportConnected(bool connected) {
    {
        std::lock_guard lock(mutex_);
        connected_ = connected;
    }
    changed_.notify_all();
}

bool ControlState::connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

bool ControlState::waitConnected(bool connected, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connected_ == connected; });
}

}  // namespace cardsim::serve
