// Slots, sessions and login, shared by the commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cardmodule.h"
#include "secret.h"

namespace zentriktool {

using Bytes = std::vector<std::uint8_t>;

// Every slot, or those with a card.
std::vector<CK_SLOT_ID> slotList(const CardModule& module, bool withToken);
// The slot asked for (it must hold a card), or the first slot with a card.
CK_SLOT_ID chooseSlot(const CardModule& module, std::optional<unsigned long> asked);
CK_TOKEN_INFO tokenInfo(const CardModule& module, CK_SLOT_ID slot);
bool hasPinPad(const CK_TOKEN_INFO& info);

// What the card's PIN flags say about the tries left, for a wrong-PIN
// message; the module may set none of them.
std::string userPinTriesNote(const CardModule& module, CK_SLOT_ID slot);

// A session, closed on every path.
class Session {
public:
    Session(const CardModule& module, CK_SLOT_ID slot, bool readWrite);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    CK_SESSION_HANDLE handle() const { return handle_; }

private:
    const CardModule& module_;
    CK_SESSION_HANDLE handle_ = 0;
};

// Logs the user in: with the PIN given, else on the reader's keypad, else
// with a PIN asked for. A wrong PIN carries the tries note.
void loginUser(const CardModule& module, CK_SLOT_ID slot, const Session& session, Secret& pin,
               bool pinGiven);

// A PIN for a Cryptoki call: the given one, or null for the keypad.
struct PinArgument {
    CK_UTF8CHAR_PTR data = nullptr;
    CK_ULONG size = 0;
};
PinArgument pinArgument(Secret& pin, bool useKeypad);

// Text of a blank-padded Cryptoki field without the padding.
std::string fieldText(const CK_UTF8CHAR* field, std::size_t width);
std::string toHex(const std::uint8_t* data, std::size_t size, const char* separator = "");
Bytes fromHex(const std::string& text);

}  // namespace zentriktool
