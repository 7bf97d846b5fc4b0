#include "cardsim/personalisation.h"

#include <stdexcept>

#include "cardcrypto.h"

namespace cardsim {
namespace {

using crypto::randomBytes;

Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

AuthObject pinObject(const std::string& pin, std::uint8_t tries,
                     const std::array<std::uint8_t, 9>& policy, const char* what) {
    Bytes value = textBytes(pin);
    if (value.empty() || value.size() > 16) {
        throw std::invalid_argument(std::string(what) + " must be 1 to 16 bytes");
    }
    for (auto b : value) {
        if (b == 0) throw std::invalid_argument(std::string(what) + " must not contain zero bytes");
    }
    if (!pinSatisfiesPolicy(value, policy)) {
        throw std::invalid_argument(std::string(what) + " breaks its PIN policy");
    }
    AuthObject ao;
    ao.value = value;
    ao.maxTries = tries;
    ao.triesLeft = tries;
    ao.pinPolicy = policy;
    return ao;
}

CardObject directory(std::uint16_t id, const std::string& name) {
    CardObject object;
    object.blockId = id;
    object.kind = ObjectKind::DIRECTORY;
    object.name = textBytes(name);
    // Files may be created by the user; the minidriver directories are never deleted.
    object.ac = {AC_USER, 0x0000, 0x0000, 0x0000};
    return object;
}

CardObject file(std::uint16_t id, std::uint16_t dir, const std::string& name, Bytes content) {
    CardObject object;
    object.blockId = id;
    object.kind = ObjectKind::FILE;
    object.directoryId = dir;
    object.name = textBytes(name);
    object.ac = {AC_EVERYONE, AC_USER, 0x0000, 0x0000};
    object.content = std::move(content);
    return object;
}

int characterClass(std::uint8_t c) {
    if (c >= '0' && c <= '9') return 0x01;
    if (c >= 'a' && c <= 'z') return 0x02;
    if (c >= 'A' && c <= 'Z') return 0x04;
    return 0x08;
}

}  // namespace

bool pinSatisfiesPolicy(const Bytes& pin, const std::array<std::uint8_t, 9>& policy) {
    if (pin.size() < policy[0] || pin.size() > policy[1]) {
        return false;
    }
    int present = 0;
    std::size_t run = 0;
    for (std::size_t i = 0; i < pin.size(); ++i) {
        int cls = characterClass(pin[i]);
        if ((policy[2] & cls) == 0) {
            return false;
        }
        present |= cls;
        run = (i > 0 && pin[i] == pin[i - 1]) ? run + 1 : 1;
        if (policy[4] != 0 && run > policy[4]) {
            return false;
        }
    }
    return (present & policy[3]) == policy[3];
}

CardState personalise(const Personalisation& options) {
    CardState state;
    state.serial = options.serial ? *options.serial : randomBytes(8);
    state.cardId = options.cardId ? *options.cardId : randomBytes(16);
    if (state.serial.size() != 8) throw std::invalid_argument("the serial number must be 8 bytes");
    if (state.cardId.size() != 16) throw std::invalid_argument("the card id must be 16 bytes");
    state.versionMajor = options.versionMajor;
    state.versionMinor = options.versionMinor;
    state.lifeCycle = options.activated ? LIFE_CYCLE_ACTIVATED : LIFE_CYCLE_PERSONALISED;
    if (options.blockSize < 16) throw std::invalid_argument("the block size must be at least 16");
    if (options.blockCount < 8) throw std::invalid_argument("the card needs at least 8 blocks");
    state.blockSize = options.blockSize;
    state.blockCount = options.blockCount;
    for (const auto& [size, count] : options.keySlots) {
        if (size != 0 && size != 1024 && size != 2048) {
            throw std::invalid_argument("key slot sizes are 1024, 2048 or 0 (any size)");
        }
        for (std::uint16_t i = 0; i < count; ++i) {
            state.keySlotSizes.push_back(size);
        }
    }
    if (state.keySlotSizes.size() > 64) throw std::invalid_argument("at most 64 key slots");
    if (options.pinTries < 1 || options.pinTries > 15) {
        throw std::invalid_argument("PIN tries must be 1 to 15");
    }

    auto user = pinObject(options.userPin, options.pinTries, options.userPinPolicy, "the user PIN");
    user.unblockRoles = 1u << 2;  // the security officer unblocks the user PIN
    state.authObjects[1] = user;
    auto so = pinObject(options.soPin, options.pinTries, options.soPinPolicy, "the SO PIN");
    so.securityOfficer = true;
    state.authObjects[2] = so;
    for (const auto& [role, key] : options.keyAuthObjects) {
        if (role < 3 || role > 7 || state.authObjects[role]) {
            throw std::invalid_argument("key authentication objects take free roles 3 to 7");
        }
        if (key.size() != 24) throw std::invalid_argument("an authentication key is 24 bytes");
        AuthObject ao;
        ao.isKey = true;
        ao.value = key;
        ao.maxTries = options.pinTries;
        ao.triesLeft = options.pinTries;
        ao.unblockRoles = 1u << 2;
        state.authObjects[role] = ao;
    }

    // The platform's smart card stack expects these: the card cache file in the
    // root directory (empty name) and the container map in "mscp".
    state.objects.push_back(directory(0x0001, ""));
    state.objects.push_back(file(0x0002, 0x0001, "cardcf", Bytes(6, 0)));
    state.objects.push_back(directory(0x0003, "mscp"));
    state.objects.push_back(file(0x0004, 0x0003, "cmapfile", Bytes()));
    if (state.usedBlocks() > state.blockCount) throw std::invalid_argument("the card is too small");
    return state;
}

}  // namespace cardsim
