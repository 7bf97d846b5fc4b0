// RSA key pairs: generation, component import and read-back, the amend
// sequence, and the raw private-key operation.
#include "cardcrypto.h"
#include "ferrixcard.h"

namespace cardsim {
namespace {

constexpr std::uint8_t COMPONENT_P = 1;
[[maybe_unused]] constexpr std::uint8_t COMPONENT_INV = 5;  // the last private component
constexpr std::uint8_t COMPONENT_N = 6;
constexpr std::uint8_t COMPONENT_E = 7;
constexpr std::size_t CRYPT_BLOCK = 128;

bool usableExponent(const Bytes& e) {
    if (e.empty() || (e.back() & 1) == 0) return false;
    for (std::size_t i = 0; i + 1 < e.size(); ++i) {
        if (e[i] != 0) return true;
    }
    return e.back() > 1;
}

Bytes* privateComponent(RsaKey& key, std::uint8_t component) {
    switch (component) {
    case 1: return &key.p;
    case 2: return &key.q;
    case 3: return &key.dp;
    case 4: return &key.dq;
    case 5: return &key.qinv;
    default: return nullptr;
    }
}

}  // namespace

bool FerrixCard::keyMaterialComplete(const CardObject& keyPair) const {
    const RsaKey& key = keyPair.key;
    if (keyPair.origin & ORIGIN_PUBLIC) {
        if (key.n.size() != keyPair.keySize / 8u || key.n[0] == 0 || !usableExponent(key.e)) {
            return false;
        }
    } else if (!key.n.empty() || !key.e.empty()) {
        return false;
    }
    if (keyPair.origin & ORIGIN_PRIVATE) {
        return !key.p.empty() && !key.q.empty() && !key.dp.empty() && !key.dq.empty() &&
               !key.qinv.empty() && keyPair.keySlot >= 0;
    }
    return key.p.empty() && keyPair.keySlot < 0;
}

// A free slot bound to the key's size, else a free slot bound to no size.
int FerrixCard::freeKeySlot(std::uint16_t keySize) const {
    const int reserved = current_.work ? current_.work->keySlot : -1;
    for (std::uint16_t wanted : {keySize, std::uint16_t(0)}) {
        for (std::size_t i = 0; i < state_.keySlotSizes.size(); ++i) {
            if (state_.keySlotSizes[i] == wanted && !state_.keySlotUsed(i) &&
                static_cast<int>(i) != reserved) {
                return static_cast<int>(i);
            }
        }
    }
    return -1;
}

// 80 40 00 00 exponent: generates the pair of the key pair just created with
// origin 7 and answers the modulus (61xx first when the command had no Le).
FerrixCard::Response FerrixCard::generateKeyPair(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (command.data.empty()) return status(sw::WRONG_LENGTH);
    if (current_.mode != Mode::CREATED || !current_.work ||
        current_.work->kind != ObjectKind::KEY_PAIR || current_.work->origin != 7 ||
        !current_.work->key.n.empty()) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    if (command.data.size() > 8 || !usableExponent(command.data)) return status(sw::WRONG_DATA);
    CardObject& work = *current_.work;
    const std::size_t modulusLength = work.keySize / 8u;
    if (command.hasLe && command.le != modulusLength) return status(sw::wrongLe(modulusLength));
    const int slot = freeKeySlot(work.keySize);
    if (slot < 0) return status(sw::CARD_FULL);
    CardObject projected = work;
    projected.key.n.assign(modulusLength, 0);
    projected.key.e = command.data;
    if (!fits(projected, nullptr)) return status(sw::CARD_FULL);
    auto key = crypto::generateRsaKey(work.keySize, command.data);
    if (!key) return status(sw::NO_DIAGNOSIS);
    work.key = std::move(*key);
    work.keySlot = slot;
    return deliver(command, work.key.n);
}

// 80 42 component part: imports into the key pair just created (origin 2, 4
// or 6) or the half an amend adds. The 256-byte modulus comes as part 00 with
// the first 128 bytes and part 01 with the rest. The first private component
// takes a key slot.
FerrixCard::Response FerrixCard::importComponent(const CommandApdu& command) {
    const std::uint8_t component = command.p1;
    if (component < COMPONENT_P || component > COMPONENT_E || command.p2 > 1) {
        return status(sw::WRONG_P1P2);
    }
    if (command.data.empty()) return status(sw::WRONG_LENGTH);
    if ((current_.mode != Mode::CREATED && current_.mode != Mode::AMENDING) || !current_.work ||
        current_.work->kind != ObjectKind::KEY_PAIR) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    CardObject& work = *current_.work;
    const bool isPublic = component == COMPONENT_N || component == COMPONENT_E;
    if ((current_.importable & (isPublic ? ORIGIN_PUBLIC : ORIGIN_PRIVATE)) == 0) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    const std::size_t modulusLength = work.keySize / 8u;
    if (command.data.size() > modulusLength) return status(sw::WRONG_DATA);
    if (command.p2 == 1 && !(component == COMPONENT_N && modulusLength == 256 &&
                             work.key.n.size() == CRYPT_BLOCK)) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    if (isPublic) {
        CardObject projected = work;
        Bytes& target = component == COMPONENT_N ? projected.key.n : projected.key.e;
        if (command.p2 == 1) {
            target.insert(target.end(), command.data.begin(), command.data.end());
        } else {
            target = command.data;
        }
        if (!fits(projected, state_.findObject(current_.blockId))) return status(sw::CARD_FULL);
        work.key = projected.key;
        return status(sw::OK);
    }
    if (work.keySlot < 0) {
        const int slot = freeKeySlot(work.keySize);
        if (slot < 0) return status(sw::CARD_FULL);
        work.keySlot = slot;
    }
    *privateComponent(work.key, component) = command.data;
    return status(sw::OK);
}

// 80 44 component 00: N or E of the key pair whose header was read last;
// Le must be the component's length (6Cxx tells it).
FerrixCard::Response FerrixCard::getComponent(const CommandApdu& command) {
    if ((command.p1 != COMPONENT_N && command.p1 != COMPONENT_E) || command.p2 != 0) {
        return status(sw::WRONG_P1P2);
    }
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    if (current_.mode != Mode::READING_METADATA) return status(sw::CONDITIONS_NOT_SATISFIED);
    const CardObject* object = state_.findObject(current_.blockId);
    if (!object || object->kind != ObjectKind::KEY_PAIR || !object->key.hasPublic()) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    return exact(command, command.p1 == COMPONENT_N ? object->key.n : object->key.e);
}

FerrixCard::Response FerrixCard::cryptInit(const CommandApdu& command) {
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    current_ = Current();
    const CardObject* object = state_.findObject(command.p1p2());
    if (!object) return status(sw::NOT_FOUND);
    if (object->kind != ObjectKind::KEY_PAIR) return status(sw::INCOMPATIBLE_OBJECT);
    if (!object->key.hasPrivate() || !activated()) return status(sw::CONDITIONS_NOT_SATISFIED);
    if (!satisfied(object->ac[0])) return status(sw::SECURITY_NOT_SATISFIED);
    current_.mode = Mode::CRYPT;
    current_.blockId = object->blockId;
    return status(sw::OK);
}

// 80 48 (first half of a 2048-bit input, no answer) and 80 4A (the last or
// only 128 bytes): the raw private-key operation of the key pair selected by
// crypt init. The key pair stays selected for further operations.
FerrixCard::Response FerrixCard::crypt(const CommandApdu& command) {
    if (command.p1p2() != 0) return status(sw::WRONG_P1P2);
    if (command.data.size() != CRYPT_BLOCK) return status(sw::WRONG_LENGTH);
    if (current_.mode != Mode::CRYPT) return status(sw::CONDITIONS_NOT_SATISFIED);
    const CardObject* object = state_.findObject(current_.blockId);
    if (!object) return status(sw::CONDITIONS_NOT_SATISFIED);
    if (!satisfied(object->ac[0])) return status(sw::SECURITY_NOT_SATISFIED);
    const std::size_t length = object->keySize / 8u;
    const bool twoParts = length == 2 * CRYPT_BLOCK;
    if (command.ins == 0x48) {
        if (!twoParts || current_.haveFirstHalf) {
            current_.haveFirstHalf = false;
            return status(sw::CONDITIONS_NOT_SATISFIED);
        }
        current_.cryptFirstHalf = command.data;
        current_.haveFirstHalf = true;
        return status(sw::OK);
    }
    if (twoParts != current_.haveFirstHalf) {
        current_.haveFirstHalf = false;
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    if (command.hasLe && command.le != length) {
        current_.haveFirstHalf = false;
        return status(sw::wrongLe(length));
    }
    Bytes input = twoParts ? current_.cryptFirstHalf : Bytes();
    input.insert(input.end(), command.data.begin(), command.data.end());
    current_.haveFirstHalf = false;
    current_.cryptFirstHalf.clear();
    auto output = crypto::rsaPrivate(object->key, input, length);
    if (!output) return status(sw::WRONG_DATA);
    return deliver(command, std::move(*output));
}

// 80 4C id, new origin: removing the private half (origin without bit 2),
// removing the public half (without bit 1), or completing a half key pair
// (6). The change takes effect at the metadata commit after continue-amend.
FerrixCard::Response FerrixCard::amendKeyPair(const CommandApdu& command) {
    if (command.data.size() != 1) return status(sw::WRONG_LENGTH);
    current_ = Current();
    const CardObject* object = state_.findObject(command.p1p2());
    if (!object) return status(sw::NOT_FOUND);
    if (object->kind != ObjectKind::KEY_PAIR) return status(sw::INCOMPATIBLE_OBJECT);
    if (!activated()) return status(sw::CONDITIONS_NOT_SATISFIED);
    if (!satisfied(object->ac[1])) return status(sw::SECURITY_NOT_SATISFIED);
    const std::uint8_t stored = object->origin;
    const std::uint8_t wanted = command.data[0];
    const bool complete = (stored & (ORIGIN_PUBLIC | ORIGIN_PRIVATE)) == (ORIGIN_PUBLIC | ORIGIN_PRIVATE);
    CardObject work = *object;
    std::uint8_t importable = 0;
    if (complete && wanted == (stored & ~ORIGIN_PRIVATE)) {
        work.key.p.clear();
        work.key.q.clear();
        work.key.dp.clear();
        work.key.dq.clear();
        work.key.qinv.clear();
        work.keySlot = -1;
    } else if (complete && wanted == (stored & ~ORIGIN_PUBLIC)) {
        work.key.n.clear();
        work.key.e.clear();
    } else if (!complete && wanted == (ORIGIN_PUBLIC | ORIGIN_PRIVATE)) {
        importable = (stored & ORIGIN_PUBLIC) ? ORIGIN_PRIVATE : ORIGIN_PUBLIC;
    } else {
        return status(sw::WRONG_DATA);
    }
    work.origin = wanted;
    current_.mode = Mode::AMENDING;
    current_.blockId = object->blockId;
    current_.work = std::move(work);
    current_.importable = importable;
    return status(sw::OK);
}

FerrixCard::Response FerrixCard::continueAmend(const CommandApdu& command) {
    if (command.data.size() != 4) return status(sw::WRONG_LENGTH);
    if (command.p2 > 1) return status(sw::WRONG_P1P2);
    if (current_.mode != Mode::AMENDING || !current_.work) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    const std::size_t size = static_cast<std::size_t>(command.data[2] << 8 | command.data[3]);
    if (size > 1024) return status(sw::WRONG_DATA);
    CardObject& work = *current_.work;
    if (!keyMaterialComplete(work)) return status(sw::CONDITIONS_NOT_SATISFIED);
    CardObject projected = work;
    projected.metadata.assign(size, 0);
    if (!fits(projected, state_.findObject(current_.blockId))) return status(sw::CARD_FULL);
    work.containerIndex = command.p1;
    work.keySpec = command.p2;
    work.keyUsage = static_cast<std::uint16_t>(command.data[0] << 8 | command.data[1]);
    current_.mode = Mode::WRITING_METADATA;
    current_.expected = size;
    current_.buffer.clear();
    current_.importable = 0;
    return status(sw::OK);
}

}  // namespace cardsim
