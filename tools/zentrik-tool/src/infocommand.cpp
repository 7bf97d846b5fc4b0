// zentrik-tool info: the module, every slot, and the facts of one card from
// both function lists.
#include <iostream>
#include <map>
#include <sstream>

#include "commands.h"
#include "tokensession.h"

namespace zentriktool {
namespace {

// A key-slot code is the slot's RSA size; occupied slots carry this bit.
constexpr CK_ULONG KEY_SLOT_OCCUPIED = 0x10000;

void printLine(const char* name, const std::string& value) {
    std::cout << "  " << name << std::string(18 - std::string(name).size(), ' ') << value << '\n';
}

std::string versionText(const CK_VERSION& version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor);
}

void printModule(const CardModule& module) {
    CK_INFO info{};
    check(module.p11().C_GetInfo(&info), "reading the module's information");
    std::cout << "Module: " << fieldText(info.libraryDescription, sizeof info.libraryDescription)
              << " " << versionText(info.libraryVersion) << " ("
              << fieldText(info.manufacturerID, sizeof info.manufacturerID) << "), Cryptoki "
              << versionText(info.cryptokiVersion) << '\n';
}

void printSlots(const CardModule& module) {
    std::cout << "Slots:\n";
    for (CK_SLOT_ID slot : slotList(module, false)) {
        CK_SLOT_INFO info{};
        check(module.p11().C_GetSlotInfo(slot, &info), "reading a slot's information");
        std::cout << "  " << slot << ": " << fieldText(info.slotDescription, sizeof info.slotDescription)
                  << ((info.flags & CKF_TOKEN_PRESENT) ? " (card present)" : "") << '\n';
    }
}

std::string atrText(const CardModule& module, CK_SLOT_ID slot) {
    CK_ULONG length = 0;
    check(module.priv().C_GetATR(slot, nullptr, &length), "reading the ATR");
    Bytes atr(length);
    check(module.priv().C_GetATR(slot, atr.data(), &length), "reading the ATR");
    return toHex(atr.data(), length, ":");
}

std::string cardIdText(const CardModule& module, CK_SLOT_ID slot) {
    CK_ULONG length = 0;
    check(module.priv().C_GetCardId(slot, nullptr, &length), "reading the card identifier");
    Bytes id(length);
    check(module.priv().C_GetCardId(slot, id.data(), &length), "reading the card identifier");
    return toHex(id.data(), length);
}

std::string appletVersionText(const CardModule& module, CK_SLOT_ID slot) {
    CK_ULONG major = 0, minor = 0, build = 0;
    check(module.priv().C_GetAppletVersion(slot, &major, &minor, &build),
          "reading the applet version");
    return std::to_string(major) + "." + std::to_string(minor);
}

// The codes counted by kind: "2 free for 1024-bit keys, 1 in use (2048-bit)".
std::string keySlotsText(const CardModule& module, CK_SLOT_ID slot) {
    CK_ULONG count = 0;
    check(module.priv().C_GetVxeiInfo(slot, nullptr, &count), "reading the key slots");
    std::vector<CK_ULONG> codes(count);
    check(module.priv().C_GetVxeiInfo(slot, codes.data(), &count), "reading the key slots");
    if (codes.empty()) return "none";
    std::map<CK_ULONG, unsigned> byCode;
    for (CK_ULONG code : codes) ++byCode[code];
    std::ostringstream text;
    const char* separator = "";
    for (const auto& [code, number] : byCode) {
        const CK_ULONG bits = code & ~KEY_SLOT_OCCUPIED;
        text << separator << number;
        if (code & KEY_SLOT_OCCUPIED) {
            text << " in use (" << bits << "-bit)";
        } else {
            text << " free for " << bits << "-bit keys";
        }
        separator = ", ";
    }
    return text.str();
}

// What the token flags say; the module need not set any of them.
std::string pinStateText(CK_FLAGS flags, CK_FLAGS locked, CK_FLAGS finalTry, CK_FLAGS countLow,
                         CK_FLAGS toBeChanged) {
    if (flags & locked) return "blocked";
    if (flags & finalTry) return "one try left";
    if (flags & countLow) return "few tries left";
    if (flags & toBeChanged) return "must be changed";
    return "no warning reported (the module does not report the tries left)";
}

std::string memoryText(CK_ULONG total, CK_ULONG free) {
    if (total == CK_UNAVAILABLE_INFORMATION || free == CK_UNAVAILABLE_INFORMATION) {
        return "not reported";
    }
    return std::to_string(free) + " bytes free of " + std::to_string(total);
}

void printCard(const CardModule& module, CK_SLOT_ID slot) {
    const CK_TOKEN_INFO info = tokenInfo(module, slot);
    CK_SLOT_INFO slotInfo{};
    check(module.p11().C_GetSlotInfo(slot, &slotInfo), "reading a slot's information");
    std::cout << "Card in slot " << slot << " ("
              << fieldText(slotInfo.slotDescription, sizeof slotInfo.slotDescription) << "):\n";
    printLine("Label:", fieldText(info.label, sizeof info.label));
    printLine("Manufacturer:", fieldText(info.manufacturerID, sizeof info.manufacturerID));
    printLine("Model:", fieldText(info.model, sizeof info.model));
    printLine("Serial number:", fieldText(info.serialNumber, sizeof info.serialNumber));
    printLine("ATR:", atrText(module, slot));
    printLine("Card identifier:", cardIdText(module, slot));
    printLine("Applet version:", appletVersionText(module, slot));
    printLine("Key slots:", keySlotsText(module, slot));
    printLine("PIN entry:", hasPinPad(info) ? "on the reader's keypad" : "on the computer");
    printLine("PIN length:", std::to_string(info.ulMinPinLen) + " to " + std::to_string(info.ulMaxPinLen));
    printLine("User PIN:", pinStateText(info.flags, CKF_USER_PIN_LOCKED, CKF_USER_PIN_FINAL_TRY,
                                        CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_TO_BE_CHANGED));
    printLine("SO PIN:", pinStateText(info.flags, CKF_SO_PIN_LOCKED, CKF_SO_PIN_FINAL_TRY,
                                      CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_TO_BE_CHANGED));
    printLine("Memory:", memoryText(info.ulTotalPublicMemory, info.ulFreePublicMemory));
}

}  // namespace

void runInfo(const CardModule& module, Options& options) {
    printModule(module);
    printSlots(module);
    if (!options.slot && slotList(module, true).empty()) {
        std::cout << "No card in any reader.\n";
        return;
    }
    printCard(module, chooseSlot(module, options.slot));
}

}  // namespace zentriktool
