#include "pinpad.h"

#include "readerwire.h"

#include <algorithm>
#include <sstream>

namespace cardsim::serve {

namespace {

// Both structures are packed and little-endian. The fields that say how a PIN
// is laid out in the command:
//   bmFormatString     bit 7: position unit (1 bytes, 0 bits); bits 6-3: PIN
//                      position in that unit from the first data byte; bit 2:
//                      justification (1 right); bits 1-0: 00 binary, 01 BCD,
//                      10 ASCII
//   bmPINBlockString   bits 7-4: size of the PIN length field in bits;
//                      bits 3-0: PIN block size in bytes
//   bmPINLengthFormat  bit 4: length field unit (1 bytes, 0 bits); bits 3-0:
//                      length field position from the first data byte
//   wPINMaxExtraDigit  high byte minimum, low byte maximum number of digits
struct PinLayout {
    bool positionInBytes = true;
    unsigned position = 0;
    bool rightJustified = false;
    unsigned encoding = 2;
    unsigned blockSize = 0;
    unsigned lengthFieldBits = 0;
    bool lengthPositionInBytes = false;
    unsigned lengthPosition = 0;
    unsigned minDigits = 0;
    unsigned maxDigits = 0;
};

constexpr unsigned ENCODING_BINARY = 0;
constexpr unsigned ENCODING_BCD = 1;
constexpr unsigned ENCODING_ASCII = 2;

std::uint32_t readLe32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

PinLayout readLayout(std::uint8_t format, std::uint8_t block, std::uint8_t lengthFormat, std::uint8_t extraLow,
                     std::uint8_t extraHigh) {
    PinLayout l;
    l.positionInBytes = (format & 0x80) != 0;
    l.position = (format >> 3) & 0x0F;
    l.rightJustified = (format & 0x04) != 0;
    l.encoding = format & 0x03;
    l.blockSize = block & 0x0F;
    l.lengthFieldBits = block >> 4;
    l.lengthPositionInBytes = (lengthFormat & 0x10) != 0;
    l.lengthPosition = lengthFormat & 0x0F;
    l.minDigits = extraHigh;
    l.maxDigits = extraLow;
    return l;
}

// Extracts the APDU template: ulDataLength bytes after the fixed header; it
// must fit in the input and hold at least a header and Lc.
std::optional<std::vector<std::uint8_t>> readTemplate(const std::vector<std::uint8_t>& s, std::size_t headerSize,
                                                      std::string& reason) {
    if (s.size() < headerSize) {
        reason = "structure shorter than its header";
        return std::nullopt;
    }
    std::uint32_t dataLength = readLe32(s, headerSize - 4);
    if (dataLength > s.size() - headerSize) {
        reason = "ulDataLength runs past the structure";
        return std::nullopt;
    }
    if (dataLength < 5) {
        reason = "APDU template without a data field";
        return std::nullopt;
    }
    return std::vector<std::uint8_t>(s.begin() + static_cast<std::ptrdiff_t>(headerSize),
                                     s.begin() + static_cast<std::ptrdiff_t>(headerSize + dataLength));
}

bool lengthAcceptable(const PinLayout& l, const std::string& pin) {
    if (pin.size() < l.minDigits) return false;
    return l.maxDigits == 0 || pin.size() <= l.maxDigits;
}

void setNibble(std::uint8_t* data, std::size_t nibble, unsigned value) {
    std::uint8_t& b = data[nibble / 2];
    b = (nibble % 2 == 0) ? static_cast<std::uint8_t>((b & 0x0F) | (value << 4))
                          : static_cast<std::uint8_t>((b & 0xF0) | (value & 0x0F));
}

// Writes the PIN into the data field of apdu (which starts at byte 5) at the
// given byte offset. Positions are handled in nibbles so that BCD digits and
// right justification need no special cases.
bool insertPin(std::vector<std::uint8_t>& apdu, const PinLayout& l, std::size_t byteOffset, const std::string& pin,
               std::string& reason) {
    std::uint8_t* data = apdu.data() + 5;
    std::size_t dataNibbles = (apdu.size() - 5) * 2;
    std::size_t pinNibbles = l.encoding == ENCODING_BCD ? pin.size() : pin.size() * 2;
    std::size_t start = byteOffset * 2;
    if (l.rightJustified && l.blockSize * 2 >= pinNibbles) start += l.blockSize * 2 - pinNibbles;
    if (start > dataNibbles || pinNibbles > dataNibbles - start) {
        reason = "PIN position outside the APDU template";
        return false;
    }
    std::size_t at = start;
    for (char c : pin) {
        unsigned digit = static_cast<unsigned>(c - '0');
        if (l.encoding == ENCODING_BCD) {
            setNibble(data, at++, digit);
            continue;
        }
        unsigned value = l.encoding == ENCODING_ASCII ? static_cast<unsigned>(c) : digit;
        setNibble(data, at++, value >> 4);
        setNibble(data, at++, value & 0x0F);
    }
    return true;
}

bool insertLength(std::vector<std::uint8_t>& apdu, const PinLayout& l, std::size_t digits, std::string& reason) {
    if (l.lengthFieldBits == 0) return true;
    std::size_t bit = l.lengthPositionInBytes ? l.lengthPosition * 8 : l.lengthPosition;
    std::size_t dataBits = (apdu.size() - 5) * 8;
    if (bit > dataBits || l.lengthFieldBits > dataBits - bit) {
        reason = "PIN length field outside the APDU template";
        return false;
    }
    for (unsigned i = 0; i < l.lengthFieldBits; ++i) {
        bool set = (digits >> (l.lengthFieldBits - 1 - i)) & 1;
        std::size_t pos = bit + i;
        std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (pos % 8));
        std::uint8_t& b = apdu[5 + pos / 8];
        b = set ? static_cast<std::uint8_t>(b | mask) : static_cast<std::uint8_t>(b & ~mask);
    }
    return true;
}

bool validEncoding(const PinLayout& l, std::string& reason) {
    if (l.encoding != ENCODING_BINARY && l.encoding != ENCODING_BCD && l.encoding != ENCODING_ASCII) {
        reason = "unknown PIN encoding in bmFormatString";
        return false;
    }
    if (l.minDigits > l.maxDigits && l.maxDigits != 0) {
        reason = "minimum PIN length above the maximum";
        return false;
    }
    return true;
}

// The reader's own answers to an entry that cannot be typed in.
std::optional<PinPadResult> readerOutcome(const KeypadEntry* entry) {
    if (entry == nullptr) return PinPadResult::readerSw(SW_PINPAD_TIMEOUT);
    switch (entry->kind) {
    case KeypadEntry::Kind::CANCEL: return PinPadResult::readerSw(SW_PINPAD_CANCELLED);
    case KeypadEntry::Kind::TIMEOUT: return PinPadResult::readerSw(SW_PINPAD_TIMEOUT);
    case KeypadEntry::Kind::MISMATCH: return PinPadResult::readerSw(SW_PINPAD_MISMATCH);
    case KeypadEntry::Kind::DIGITS: break;
    }
    if (entry->pins.empty()) return PinPadResult::readerSw(SW_PINPAD_TIMEOUT);
    return std::nullopt;
}

}  // namespace

std::optional<KeypadEntry> KeypadEntry::parse(const std::string& text) {
    KeypadEntry e;
    if (text == "cancel") {
        e.kind = Kind::CANCEL;
    } else if (text == "timeout") {
        e.kind = Kind::TIMEOUT;
    } else if (text == "mismatch") {
        e.kind = Kind::MISMATCH;
    } else if (text.rfind("pin:", 0) == 0) {
        e.kind = Kind::DIGITS;
        std::stringstream in(text.substr(4));
        std::string pin;
        while (std::getline(in, pin, ':')) {
            if (pin.size() > 32 || !std::all_of(pin.begin(), pin.end(), [](char c) { return c >= '0' && c <= '9'; }))
                return std::nullopt;
            e.pins.push_back(pin);
        }
        if (e.pins.empty() || e.pins.size() > 3) return std::nullopt;
    } else {
        return std::nullopt;
    }
    return e;
}

std::string KeypadEntry::describe() const {
    switch (kind) {
    case Kind::CANCEL: return "cancel";
    case Kind::TIMEOUT: return "timeout";
    case Kind::MISMATCH: return "mismatch";
    case Kind::DIGITS: break;
    }
    std::string d = "pin";
    for (const auto& p : pins) d += ":" + std::to_string(p.size()) + " digits";
    return d;
}

PinPadResult PinPadResult::send(std::vector<std::uint8_t> apdu) {
    PinPadResult r;
    r.kind = Kind::SEND_APDU;
    r.apdu = std::move(apdu);
    return r;
}

PinPadResult PinPadResult::readerSw(std::uint16_t sw) {
    PinPadResult r;
    r.kind = Kind::READER_SW;
    r.sw = sw;
    return r;
}

PinPadResult PinPadResult::invalid(std::string reason) {
    PinPadResult r;
    r.kind = Kind::INVALID;
    r.reason = std::move(reason);
    return r;
}

std::vector<std::uint8_t> PinPad::featureList() {
    std::vector<std::uint8_t> list;
    for (auto [tag, code] : {std::pair{readerwire::FEATURE_VERIFY_PIN_DIRECT, readerwire::IOCTL_VERIFY_PIN_DIRECT},
                             std::pair{readerwire::FEATURE_MODIFY_PIN_DIRECT, readerwire::IOCTL_MODIFY_PIN_DIRECT}}) {
        list.insert(list.end(), {tag, 4, static_cast<std::uint8_t>(code >> 24), static_cast<std::uint8_t>(code >> 16),
                                 static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code)});
    }
    return list;
}

std::chrono::milliseconds PinPad::entryTimeout(const std::vector<std::uint8_t>& structure) {
    const std::chrono::seconds wanted =
        structure.empty() || structure[0] == 0 ? DEFAULT_ENTRY_WAIT : std::chrono::seconds(structure[0]);
    return std::min(wanted, MAX_ENTRY_WAIT);
}

// PIN_VERIFY_STRUCTURE: 0 bTimerOut, 1 bTimerOut2, 2 bmFormatString,
// 3 bmPINBlockString, 4 bmPINLengthFormat, 5-6 wPINMaxExtraDigit,
// 7 bEntryValidationCondition, 8 bNumberMessage, 9-10 wLangId, 11 bMsgIndex,
// 12-14 bTeoPrologue, 15-18 ulDataLength, 19.. abData.
PinPadResult PinPad::verify(const std::vector<std::uint8_t>& s, const KeypadEntry* entry) {
    std::string reason;
    auto apdu = readTemplate(s, 19, reason);
    if (!apdu) return PinPadResult::invalid(reason);
    PinLayout l = readLayout(s[2], s[3], s[4], s[5], s[6]);
    if (!validEncoding(l, reason)) return PinPadResult::invalid(reason);
    if (!l.positionInBytes && l.position % 8 != 0) return PinPadResult::invalid("PIN position not on a byte boundary");
    std::size_t offset = l.positionInBytes ? l.position : l.position / 8;
    if (auto outcome = readerOutcome(entry)) return *outcome;
    const std::string& pin = entry->pins.front();
    if (!lengthAcceptable(l, pin)) return PinPadResult::readerSw(SW_PINPAD_WRONG_LENGTH);
    if (!insertPin(*apdu, l, offset, pin, reason) || !insertLength(*apdu, l, pin.size(), reason))
        return PinPadResult::invalid(reason);
    return PinPadResult::send(std::move(*apdu));
}

// PIN_MODIFY_STRUCTURE: 0 bTimerOut, 1 bTimerOut2, 2 bmFormatString,
// 3 bmPINBlockString, 4 bmPINLengthFormat, 5 bInsertionOffsetOld,
// 6 bInsertionOffsetNew (bytes from the first data byte), 7-8
// wPINMaxExtraDigit, 9 bConfirmPIN (bit 0 confirm the new PIN, bit 1 enter the
// current PIN), 10 bEntryValidationCondition, 11 bNumberMessage, 12-13
// wLangId, 14-16 bMsgIndex1-3, 17-19 bTeoPrologue, 20-23 ulDataLength, 24.. abData.
PinPadResult PinPad::modify(const std::vector<std::uint8_t>& s, const KeypadEntry* entry) {
    std::string reason;
    auto apdu = readTemplate(s, 24, reason);
    if (!apdu) return PinPadResult::invalid(reason);
    PinLayout l = readLayout(s[2], s[3], s[4], s[7], s[8]);
    if (!validEncoding(l, reason)) return PinPadResult::invalid(reason);
    bool askCurrent = (s[9] & 0x02) != 0;
    bool confirm = (s[9] & 0x01) != 0;
    if (auto outcome = readerOutcome(entry)) return *outcome;

    const auto& pins = entry->pins;
    std::size_t needed = askCurrent ? 2 : 1;
    if (pins.size() < needed) return PinPadResult::readerSw(SW_PINPAD_TIMEOUT);
    const std::string* current = askCurrent ? &pins[0] : nullptr;
    const std::string& fresh = pins[needed - 1];
    if (confirm && pins.size() > needed && pins[needed] != fresh) return PinPadResult::readerSw(SW_PINPAD_MISMATCH);
    if ((current && !lengthAcceptable(l, *current)) || !lengthAcceptable(l, fresh))
        return PinPadResult::readerSw(SW_PINPAD_WRONG_LENGTH);
    if (current && !insertPin(*apdu, l, s[5], *current, reason)) return PinPadResult::invalid(reason);
    if (!insertPin(*apdu, l, s[6], fresh, reason) || !insertLength(*apdu, l, fresh.size(), reason))
        return PinPadResult::invalid(reason);
    return PinPadResult::send(std::move(*apdu));
}

}  // namespace cardsim::serve
