#include "tokensession.h"

#include <iostream>

#include "pinentry.h"

namespace zentriktool {

// Presence is read from each slot's information: a module may list every
// slot whatever tokenPresent asks (this one does).
std::vector<CK_SLOT_ID> slotList(const CardModule& module, bool withToken) {
    CK_ULONG count = 0;
    check(module.p11().C_GetSlotList(CK_FALSE, nullptr, &count), "listing the slots");
    std::vector<CK_SLOT_ID> slots(count);
    check(module.p11().C_GetSlotList(CK_FALSE, slots.data(), &count), "listing the slots");
    slots.resize(count);
    if (!withToken) return slots;
    std::vector<CK_SLOT_ID> withCard;
    for (CK_SLOT_ID slot : slots) {
        CK_SLOT_INFO info{};
        check(module.p11().C_GetSlotInfo(slot, &info), "reading a slot's information");
        if (info.flags & CKF_TOKEN_PRESENT) withCard.push_back(slot);
    }
    return withCard;
}

CK_SLOT_ID chooseSlot(const CardModule& module, std::optional<unsigned long> asked) {
    const std::vector<CK_SLOT_ID> withCard = slotList(module, true);
    if (asked) {
        for (CK_SLOT_ID slot : withCard) {
            if (slot == *asked) return slot;
        }
        throw ToolFailure("slot " + std::to_string(*asked) +
                          " has no card\n  insert the card, or see zentrik-tool info for the slots");
    }
    if (withCard.empty()) {
        throw ToolFailure("no card found in any reader\n  insert the card; zentrik-tool info lists "
                          "the readers the module sees");
    }
    return withCard.front();
}

CK_TOKEN_INFO tokenInfo(const CardModule& module, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    check(module.p11().C_GetTokenInfo(slot, &info), "reading the card's information");
    return info;
}

bool hasPinPad(const CK_TOKEN_INFO& info) {
    return (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
}

std::string userPinTriesNote(const CardModule& module, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    if (module.p11().C_GetTokenInfo(slot, &info) != CKR_OK) return "";
    if (info.flags & CKF_USER_PIN_LOCKED) return "the card reports the PIN is now blocked";
    if (info.flags & CKF_USER_PIN_FINAL_TRY) return "the card reports only one try is left";
    if (info.flags & CKF_USER_PIN_COUNT_LOW) return "the card reports few tries are left";
    return "the module does not report how many tries are left; the card blocks the PIN "
           "after a few wrong tries";
}

Session::Session(const CardModule& module, CK_SLOT_ID slot, bool readWrite) : module_(module) {
    const CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    check(module.p11().C_OpenSession(slot, flags, nullptr, nullptr, &handle_), "opening a session");
}

Session::~Session() { module_.p11().C_CloseSession(handle_); }

PinArgument pinArgument(Secret& pin, bool useKeypad) {
    if (useKeypad) return {};
    return {pin.data(), pin.size()};
}

void loginUser(const CardModule& module, CK_SLOT_ID slot, const Session& session, Secret& pin,
               bool pinGiven) {
    const bool keypad = !pinGiven && hasPinPad(tokenInfo(module, slot));
    if (keypad) {
        std::cerr << "Enter the user PIN on the reader's keypad.\n";
    } else if (!pinGiven) {
        askSecret("User PIN: ", pin);
    }
    const PinArgument argument = pinArgument(pin, keypad);
    const CK_RV rv = module.p11().C_Login(session.handle(), CKU_USER, argument.data, argument.size);
    pin.wipe();
    if (rv == CKR_OK) return;
    CryptokiError error(rv, "logging in");
    if (rv == CKR_PIN_INCORRECT) error.detail = userPinTriesNote(module, slot);
    throw error;
}

std::string fieldText(const CK_UTF8CHAR* field, std::size_t width) {
    std::string text(reinterpret_cast<const char*>(field), width);
    const std::size_t end = text.find_last_not_of(' ');
    text.resize(end == std::string::npos ? 0 : end + 1);
    return text;
}

std::string toHex(const std::uint8_t* data, std::size_t size, const char* separator) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i > 0) text += separator;
        text += DIGITS[data[i] >> 4];
        text += DIGITS[data[i] & 0x0F];
    }
    return text;
}

Bytes fromHex(const std::string& text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace zentriktool
