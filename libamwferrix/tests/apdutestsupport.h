// Helpers shared by the command-set tests: hex text, a listener that records
// its calls, and a catcher that hands back the exception for inspection.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "amw/pinpadlistener.h"
#include "ctl/scriptedconnection.h"

namespace apdutest {

using Bytes = ctl::ScriptedConnection::Bytes;

inline Bytes hex(const std::string& text) { return ctl::ScriptedConnection::hex(text); }
inline std::string toHex(const Bytes& bytes) { return ctl::ScriptedConnection::toHex(bytes); }

// `count` bytes counting up from `first` (wrapping at 256).
inline Bytes sequence(std::size_t count, std::uint8_t first = 0) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(first + i);
    }
    return bytes;
}

inline std::string zeros(std::size_t count) { return toHex(Bytes(count, 0)); }

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Records the listener calls as "start(0)", "end", "wrongPin", "blocked",
// "lengthError", "canceled", "mismatch".
class RecordingListener : public amw::PinPadListener {
public:
    std::vector<std::string> events;
    void onPinPadStart(std::uint32_t state) override {
        events.push_back("start(" + std::to_string(state) + ")");
    }
    void onPinPadEnd() override { events.push_back("end"); }
    void onWrongPin() override { events.push_back("wrongPin"); }
    void onPinBlocked() override { events.push_back("blocked"); }
    void onPinLengthError() override { events.push_back("lengthError"); }
    void onPinPadCanceled() override { events.push_back("canceled"); }
    void onNewPinMismatch() override { events.push_back("mismatch"); }
};

// Runs `body`, which must throw E; returns the exception (or nothing after
// reporting a failure).
template <class E, class F>
std::optional<E> catchAs(F&& body) {
    try {
        body();
    } catch (const E& e) {
        return e;
    } catch (const std::exception& e) {
        ADD_FAILURE() << "threw another exception: " << e.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "nothing was thrown";
    return std::nullopt;
}

}  // namespace apdutest
