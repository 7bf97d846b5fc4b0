// zentrik-tool change-pin and unblock-pin. A PIN not given on the command
// line is typed on the reader's keypad when the reader has one and no PIN of
// the command was given at all; otherwise it is asked for here.
#include <iostream>

#include "commands.h"
#include "pinentry.h"
#include "tokensession.h"

namespace zentriktool {
namespace {

// True when the reader's keypad collects the command's PINs; the user is
// told what to type there.
bool useKeypad(const CK_TOKEN_INFO& info, bool anyGiven, const char* keypadText) {
    if (!hasPinPad(info) || anyGiven) return false;
    std::cerr << keypadText << '\n';
    return true;
}

CryptokiError pinError(const CardModule& module, CK_SLOT_ID slot, CK_RV rv, const char* action,
                       bool securityOfficer) {
    CryptokiError error(rv, action);
    if (securityOfficer && rv == CKR_PIN_INCORRECT) {
        error.detail = "that was the security officer's PIN; the card blocks it after a few "
                       "wrong tries";
    } else if (securityOfficer && rv == CKR_PIN_LOCKED) {
        error.detail = "the security officer's PIN is blocked too; the card has to be "
                       "personalised again";
    } else if (rv == CKR_PIN_INCORRECT) {
        error.detail = userPinTriesNote(module, slot);
    }
    return error;
}

}  // namespace

void runChangePin(const CardModule& module, Options& options) {
    const CK_SLOT_ID slot = chooseSlot(module, options.slot);
    const bool keypad = useKeypad(tokenInfo(module, slot), options.pinGiven || options.newPinGiven,
                                  "Enter the current PIN, then the new PIN twice, on the "
                                  "reader's keypad.");
    if (!keypad && !options.pinGiven) askSecret("Current PIN: ", options.pin);
    if (!keypad && !options.newPinGiven) askNewSecret("New PIN: ", options.newPin);
    const Session session(module, slot, true);
    const PinArgument oldPin = pinArgument(options.pin, keypad);
    const PinArgument newPin = pinArgument(options.newPin, keypad);
    const CK_RV rv =
        module.p11().C_SetPIN(session.handle(), oldPin.data, oldPin.size, newPin.data, newPin.size);
    options.pin.wipe();
    options.newPin.wipe();
    if (rv != CKR_OK) throw pinError(module, slot, rv, "changing the PIN", false);
    std::cout << "The PIN of the card in slot " << slot << " was changed.\n";
}

void runUnblockPin(const CardModule& module, Options& options) {
    const CK_SLOT_ID slot = chooseSlot(module, options.slot);
    const bool keypad = useKeypad(tokenInfo(module, slot), options.soPinGiven || options.newPinGiven,
                                  "Enter the security officer's PIN, then the new user PIN "
                                  "twice, on the reader's keypad.");
    if (!keypad && !options.soPinGiven) askSecret("Security officer's PIN: ", options.soPin);
    if (!keypad && !options.newPinGiven) askNewSecret("New user PIN: ", options.newPin);
    const Session session(module, slot, true);
    const PinArgument soPin = pinArgument(options.soPin, keypad);
    const PinArgument newPin = pinArgument(options.newPin, keypad);
    const CK_RV rv = module.priv().C_UnblockPIN(session.handle(), soPin.data, soPin.size,
                                                newPin.data, newPin.size);
    options.soPin.wipe();
    options.newPin.wipe();
    if (rv != CKR_OK) throw pinError(module, slot, rv, "unblocking the PIN", true);
    std::cout << "The user PIN of the card in slot " << slot << " was unblocked and set anew.\n";
}

}  // namespace zentriktool
