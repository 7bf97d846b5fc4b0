// Card facts: version, serial, memory, key slots, global access record,
// life cycle, card id, chain heads, the freshness record, the role mask.
#include <cstring>

#include "ferrixcard.h"

namespace cardsim {
namespace {

void putU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

bool noData(const CommandApdu& command) { return command.data.empty(); }

}  // namespace

FerrixCard::Response FerrixCard::getVersion(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!noData(command)) return status(sw::WRONG_LENGTH);
    return exact(command, {state_.versionMajor, state_.versionMinor});
}

FerrixCard::Response FerrixCard::getSerial(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!noData(command)) return status(sw::WRONG_LENGTH);
    return exact(command, state_.serial);
}

FerrixCard::Response FerrixCard::getCardId(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!noData(command)) return status(sw::WRONG_LENGTH);
    return exact(command, state_.cardId);
}

// Memory information (P1 01): block size, total blocks, free blocks, 2 zero
// bytes. Blocks held by an unfinished command sequence are not counted as used.
Bytes FerrixCard::memoryInfo() const {
    Bytes out;
    const std::uint32_t used = state_.usedBlocks();
    const std::uint32_t free = used >= state_.blockCount ? 0 : state_.blockCount - used;
    putU16(out, state_.blockSize);
    putU16(out, state_.blockCount);
    putU16(out, static_cast<std::uint16_t>(free));
    putU16(out, 0);
    return out;
}

// Key slot information (P1 03): per slot, used flag and the bound key size.
Bytes FerrixCard::keySlotInfo() const {
    Bytes out;
    for (std::size_t i = 0; i < state_.keySlotSizes.size(); ++i) {
        bool used = state_.keySlotUsed(i) ||
                    (current_.work && current_.work->keySlot == static_cast<int>(i));
        out.push_back(used ? 1 : 0);
        putU16(out, state_.keySlotSizes[i]);
    }
    return out;
}

// Global access information (P1 02), 59 bytes: card id (16), the text
// "Ferrix simulated card" zero-padded (32), serial number (8), version major
// and minor (2), life-cycle byte (1).
Bytes FerrixCard::globalAccessInfo() const {
    Bytes out = state_.cardId;
    const char text[] = "Ferrix simulated card";
    Bytes label(32, 0);
    std::memcpy(label.data(), text, sizeof text - 1);
    out.insert(out.end(), label.begin(), label.end());
    out.insert(out.end(), state_.serial.begin(), state_.serial.end());
    out.push_back(state_.versionMajor);
    out.push_back(state_.versionMinor);
    out.push_back(state_.lifeCycle);
    return out;
}

FerrixCard::Response FerrixCard::getInfo(const CommandApdu& command) {
    if (command.p2 != 0) return status(sw::WRONG_P1P2);
    if (!noData(command)) return status(sw::WRONG_LENGTH);
    switch (command.p1) {
    case 0x01: return exact(command, memoryInfo());
    case 0x02: return exact(command, globalAccessInfo());
    case 0x03: return exact(command, keySlotInfo());
    case 0x04: return exact(command, {state_.lifeCycle});
    default: return status(sw::WRONG_P1P2);
    }
}

FerrixCard::Response FerrixCard::getHeads(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!noData(command)) return status(sw::WRONG_LENGTH);
    Bytes out;
    for (auto kind : {ObjectKind::DATA_OBJECT, ObjectKind::KEY_PAIR, ObjectKind::CERTIFICATE,
                      ObjectKind::DIRECTORY, ObjectKind::FILE}) {
        std::uint16_t head = BLOCK_ID_NONE;
        for (const auto& object : state_.objects) {
            if (object.kind == kind) {
                head = object.blockId;
                break;
            }
        }
        putU16(out, head);
    }
    return exact(command, out);
}

// The freshness record is opaque to the card. Before the first write the card
// holds none and answers with no data and 9000; afterwards an Le other than
// the stored length is answered 6Cxx with that length.
FerrixCard::Response FerrixCard::getFreshness(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!noData(command)) return status(sw::WRONG_LENGTH);
    if (!state_.freshness) {
        return status(sw::OK);
    }
    return exact(command, *state_.freshness);
}

FerrixCard::Response FerrixCard::setFreshness(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (command.data.empty()) return status(sw::WRONG_LENGTH);
    if (!state_.freshness || *state_.freshness != command.data) {
        state_.freshness = command.data;
        changed();
    }
    return status(sw::OK);
}

// Activation moves a personalised card into use; the security officer (role
// 2) must be authenticated. Activating an active card changes nothing.
FerrixCard::Response FerrixCard::activate(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!noData(command)) return status(sw::WRONG_LENGTH);
    if ((authMask_ & 0x04) == 0) return status(sw::SECURITY_NOT_SATISFIED);
    if (state_.lifeCycle != LIFE_CYCLE_ACTIVATED) {
        state_.lifeCycle = LIFE_CYCLE_ACTIVATED;
        changed();
    }
    return status(sw::OK);
}

FerrixCard::Response FerrixCard::getAuthState(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (!noData(command)) return status(sw::WRONG_LENGTH);
    return exact(command, {authMask_});
}

// The card id belongs to the issuer: the security officer must be authenticated.
FerrixCard::Response FerrixCard::setCardId(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (command.data.size() != 16) return status(sw::WRONG_LENGTH);
    if ((authMask_ & 0x04) == 0) return status(sw::SECURITY_NOT_SATISFIED);
    if (state_.cardId != command.data) {
        state_.cardId = command.data;
        changed();
    }
    return status(sw::OK);
}

}  // namespace cardsim
