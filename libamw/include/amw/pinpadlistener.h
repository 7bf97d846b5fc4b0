// Callbacks around PIN entry on a pin-pad reader. A caller of the three PIN
// operations (authenticate, change PIN, unblock PIN) may pass one; null means
// nobody is told and a wrong PIN is not re-entered.
#pragma once

#include <cstdint>

namespace amw {

class PinPadListener {
public:
    virtual ~PinPadListener() = default;

    // Before every entry; 0 before the first one, afterwards the value left by
    // the previous entry (the remaining tries after a wrong PIN).
    virtual void onPinPadStart(std::uint32_t state) = 0;
    // After every entry, whatever its outcome.
    virtual void onPinPadEnd() = 0;
    // The card answered 63Cx.
    virtual void onWrongPin() = 0;
    // The card answered 6983.
    virtual void onPinBlocked() = 0;
    // The reader answered 6403: the PIN was too short or too long.
    virtual void onPinLengthError() = 0;
    // The reader answered 6401: the user cancelled.
    virtual void onPinPadCanceled() = 0;
    // The reader answered 6402: the new PIN and its confirmation differ.
    virtual void onNewPinMismatch() = 0;
};

}  // namespace amw
