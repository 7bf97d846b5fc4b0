// Authentication objects: verification with tries, session PINs, challenges
// for key objects, PIN change and unblock.
#include <algorithm>

#include "cardcrypto.h"
#include "cardsim/personalisation.h"
#include "ferrixcard.h"

namespace cardsim {
namespace {

constexpr std::size_t PIN_FIELD = 16;
constexpr std::size_t KEY_ANSWER = 8;
constexpr std::size_t KEY_VALUE = 24;
constexpr std::size_t SESSION_PIN = 8;

Bytes paddedPin(const Bytes& pin) {
    Bytes padded = pin;
    padded.resize(PIN_FIELD, 0);
    return padded;
}

Bytes stripTrailingZeros(Bytes pin) {
    while (!pin.empty() && pin.back() == 0) pin.pop_back();
    return pin;
}

// Constant-time comparison of equal-length secrets.
bool sameSecret(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) return false;
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<std::uint8_t>(a[i] ^ b[i]);
    return diff == 0;
}

std::uint8_t roleBit(std::uint8_t role) { return static_cast<std::uint8_t>(1u << role); }

}  // namespace

AuthObject* FerrixCard::authObject(std::uint8_t role) {
    if (role < 1 || role > 7 || !state_.authObjects[role]) {
        return nullptr;
    }
    return &*state_.authObjects[role];
}

// A PIN object takes the 16-byte zero-padded PIN; a key object takes the
// 3DES encryption, under its 24-byte key, of the last challenge issued for
// the role (used up by this attempt). A wrong secret costs one try and drops
// the role's authentication; the try that uses up the last one answers 6983.
std::uint16_t FerrixCard::verifySecret(std::uint8_t role, const Bytes& secret) {
    AuthObject& ao = *authObject(role);
    if (ao.triesLeft == 0) {
        return sw::AUTH_BLOCKED;
    }
    bool match = false;
    if (ao.isKey) {
        auto challenge = std::move(challenges_[role]);
        challenges_[role].reset();
        if (!challenge) {
            return sw::CONDITIONS_NOT_SATISFIED;
        }
        auto expected = crypto::tripleDesEncrypt(ao.value, *challenge);
        match = expected && sameSecret(*expected, secret);
    } else {
        match = sameSecret(paddedPin(ao.value), secret);
    }
    if (!match) {
        authMask_ = static_cast<std::uint8_t>(authMask_ & ~roleBit(role));
        --ao.triesLeft;
        changed();
        return ao.triesLeft == 0 ? sw::AUTH_BLOCKED : sw::wrongSecret(ao.triesLeft);
    }
    if (ao.triesLeft != ao.maxTries) {
        ao.triesLeft = ao.maxTries;
        changed();
    }
    return sw::OK;
}

// 80 20 role P2: P2 00 verifies the object's own secret (16-byte PIN or
// 8-byte key answer); P2 02 presents the role's 8-byte session PIN, which
// costs no tries: a wrong or missing one is refused with 6985, and a role
// whose own secret is blocked answers 6983 to it as well.
FerrixCard::Response FerrixCard::authenticate(const CommandApdu& command) {
    AuthObject* ao = authObject(command.p1);
    if (!ao) return status(sw::NO_AUTH_OBJECT);
    if (command.p2 == 0x02) {
        if (command.data.size() != SESSION_PIN) return status(sw::WRONG_LENGTH);
        if (ao->triesLeft == 0) return status(sw::AUTH_BLOCKED);
        const auto& sessionPin = sessionPins_[command.p1];
        if (!sessionPin || !sameSecret(*sessionPin, command.data)) {
            return status(sw::CONDITIONS_NOT_SATISFIED);
        }
        authMask_ |= roleBit(command.p1);
        return status(sw::OK);
    }
    if (command.p2 != 0x00) return status(sw::WRONG_P1P2);
    if (command.data.size() != (ao->isKey ? KEY_ANSWER : PIN_FIELD)) {
        return status(sw::WRONG_LENGTH);
    }
    auto result = verifySecret(command.p1, command.data);
    if (result == sw::OK) {
        authMask_ |= roleBit(command.p1);
    }
    return status(result);
}

FerrixCard::Response FerrixCard::deauthenticate(const CommandApdu& command) {
    if (command.p2 != 0) return status(sw::WRONG_P1P2);
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    if (!authObject(command.p1)) return status(sw::NO_AUTH_OBJECT);
    authMask_ = static_cast<std::uint8_t>(authMask_ & ~roleBit(command.p1));
    return status(sw::OK);
}

FerrixCard::Response FerrixCard::getChallenge(const CommandApdu& command) {
    if (command.p2 != 0) return status(sw::WRONG_P1P2);
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    if (!authObject(command.p1)) return status(sw::NO_AUTH_OBJECT);
    if (command.hasLe && command.le != 8) return status(sw::wrongLe(8));
    challenges_[command.p1] = crypto::randomBytes(8);
    return Response{*challenges_[command.p1], sw::OK};
}

// The session PIN stands in for the role's secret until reset, power-off or a
// change of that secret; asking again while it is valid returns the same one.
FerrixCard::Response FerrixCard::generateSessionPin(const CommandApdu& command) {
    if (command.p2 != 0) return status(sw::WRONG_P1P2);
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    if (!authObject(command.p1)) return status(sw::NO_AUTH_OBJECT);
    if (command.hasLe && command.le != SESSION_PIN) return status(sw::wrongLe(SESSION_PIN));
    if ((authMask_ & roleBit(command.p1)) == 0) return status(sw::SECURITY_NOT_SATISFIED);
    if (!sessionPins_[command.p1]) {
        sessionPins_[command.p1] = crypto::randomBytes(SESSION_PIN);
    }
    return Response{*sessionPins_[command.p1], sw::OK};
}

// New value for `ao` from command data: a 16-byte zero-padded PIN that meets
// the object's policy (6F18 otherwise), or a 24-byte key.
std::optional<Bytes> FerrixCard::newSecretValue(const AuthObject& ao, const Bytes& data,
                                                std::uint16_t& failure) const {
    if (ao.isKey) {
        if (data.size() != KEY_VALUE) {
            failure = sw::WRONG_LENGTH;
            return std::nullopt;
        }
        return data;
    }
    if (data.size() != PIN_FIELD) {
        failure = sw::WRONG_LENGTH;
        return std::nullopt;
    }
    Bytes pin = stripTrailingZeros(data);
    if (pin.empty() || !pinSatisfiesPolicy(pin, ao.pinPolicy)) {
        failure = sw::PIN_POLICY;
        return std::nullopt;
    }
    return pin;
}

// 80 26 00 role: the role must be authenticated; the old value is not sent.
FerrixCard::Response FerrixCard::changePin(const CommandApdu& command) {
    if (command.p1 != 0) return status(sw::WRONG_P1P2);
    AuthObject* ao = authObject(command.p2);
    if (!ao) return status(sw::NO_AUTH_OBJECT);
    std::uint16_t failure = sw::OK;
    if (command.data.size() != (ao->isKey ? KEY_VALUE : PIN_FIELD)) return status(sw::WRONG_LENGTH);
    if ((authMask_ & roleBit(command.p2)) == 0) return status(sw::SECURITY_NOT_SATISFIED);
    auto value = newSecretValue(*ao, command.data, failure);
    if (!value) return status(failure);
    ao->value = *value;
    ao->triesLeft = ao->maxTries;
    sessionPins_[command.p2].reset();
    changed();
    return status(sw::OK);
}

// 80 28 role target: data = the unblocking role's secret (16-byte PIN or
// 8-byte key answer) followed by the target's new value (16-byte PIN or
// 24-byte key). The unblocking role must be in the target's unblock mask.
FerrixCard::Response FerrixCard::unblockPin(const CommandApdu& command) {
    AuthObject* unblocker = authObject(command.p1);
    AuthObject* target = authObject(command.p2);
    if (!unblocker || !target) return status(sw::NO_AUTH_OBJECT);
    const std::size_t secretSize = unblocker->isKey ? KEY_ANSWER : PIN_FIELD;
    const std::size_t valueSize = target->isKey ? KEY_VALUE : PIN_FIELD;
    if (command.data.size() != secretSize + valueSize) return status(sw::WRONG_LENGTH);
    if ((target->unblockRoles & roleBit(command.p1)) == 0) {
        return status(sw::CONDITIONS_NOT_SATISFIED);
    }
    Bytes secret(command.data.begin(), command.data.begin() + static_cast<std::ptrdiff_t>(secretSize));
    Bytes newValue(command.data.begin() + static_cast<std::ptrdiff_t>(secretSize), command.data.end());
    auto result = verifySecret(command.p1, secret);
    if (result != sw::OK) return status(result);
    std::uint16_t failure = sw::OK;
    auto value = newSecretValue(*target, newValue, failure);
    if (!value) return status(failure);
    target->value = *value;
    target->triesLeft = target->maxTries;
    sessionPins_[command.p2].reset();
    changed();
    return status(sw::OK);
}

// 80 2C index P2. P2 00, 10-byte record: type (0 PIN, 1 KEY), unblock role
// mask (16-bit little-endian), 2 zero bytes, 2 reserved zero bytes, maximum
// tries, flags (bit 0: PKCS#11 security officer), tries left. P2 01: the
// 9-byte PIN policy (zeros for a key object).
FerrixCard::Response FerrixCard::getAuthObject(const CommandApdu& command) {
    if (!command.data.empty()) return status(sw::WRONG_LENGTH);
    if (command.p2 > 1) return status(sw::WRONG_P1P2);
    AuthObject* ao = authObject(command.p1);
    if (!ao) return status(sw::NO_AUTH_OBJECT);
    if (command.p2 == 1) {
        Bytes policy(ao->pinPolicy.begin(), ao->pinPolicy.end());
        if (ao->isKey) std::fill(policy.begin(), policy.end(), 0);
        return exact(command, policy);
    }
    Bytes record = {static_cast<std::uint8_t>(ao->isKey ? 1 : 0),
                    static_cast<std::uint8_t>(ao->unblockRoles & 0xFF),
                    static_cast<std::uint8_t>(ao->unblockRoles >> 8),
                    0, 0, 0, 0,
                    ao->maxTries,
                    static_cast<std::uint8_t>(ao->securityOfficer ? 1 : 0),
                    ao->triesLeft};
    return exact(command, record);
}

}  // namespace cardsim
