// The persistent state of one simulated Ferrix card: what survives power-off,
// reset and simulator restarts. It is what `cardsim init` personalises, what
// the image file holds (cardimage.h) and what `cardsim inspect` prints.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cardsim {

using Bytes = std::vector<std::uint8_t>;

// Numbered like the token model's storage types; the number is also byte 0 of
// every object header the card hands out.
enum class ObjectKind : std::uint8_t {
    DATA_OBJECT = 0,
    FILE = 1,
    DIRECTORY = 2,
    KEY_PAIR = 3,
    CERTIFICATE = 4
};

const char* objectKindName(ObjectKind kind);

constexpr std::uint16_t BLOCK_ID_NONE = 0x8000;
// Access condition values: high byte and low byte are role masks (bit n = role
// n, bit 0 = everyone); the condition holds when both masks meet the set of
// authenticated roles plus "everyone". 0x0000 is never satisfied.
constexpr std::uint16_t AC_EVERYONE = 0x0101;
constexpr std::uint16_t AC_USER = 0x0202;
constexpr std::uint16_t AC_CARD_CHOOSES = 0xFFFF;

// Life-cycle byte reported by the activation information command.
constexpr std::uint8_t LIFE_CYCLE_PERSONALISED = 0x05;
constexpr std::uint8_t LIFE_CYCLE_ACTIVATED = 0x07;

// Key pair origin bits (the component-set byte).
constexpr std::uint8_t ORIGIN_GENERATED = 0x01;
constexpr std::uint8_t ORIGIN_PUBLIC = 0x02;
constexpr std::uint8_t ORIGIN_PRIVATE = 0x04;

struct AuthObject {
    bool isKey = false;  // PIN (false) or 24-byte key (true)
    Bytes value;         // PIN bytes without the zero padding, or the key
    std::uint8_t triesLeft = 3;
    std::uint8_t maxTries = 3;
    std::array<std::uint8_t, 9> pinPolicy{};
    bool securityOfficer = false;
    std::uint16_t unblockRoles = 0;  // bit n: role n may unblock this object
};

// RSA key material, big-endian unsigned integers without leading zero bytes
// (the modulus keeps its full key-size length). The private part is present
// when p is not empty.
struct RsaKey {
    Bytes n, e, p, q, dp, dq, qinv;
    bool hasPrivate() const { return !p.empty(); }
    bool hasPublic() const { return !n.empty(); }
};

struct CardObject {
    std::uint16_t blockId = BLOCK_ID_NONE;
    ObjectKind kind = ObjectKind::DATA_OBJECT;
    // Meaning per kind (README.md): data object {update metadata, read
    // content, write content, delete}; certificate and file {read content,
    // write, delete, -}; key pair {use, write, delete, -}; directory {create
    // files, delete, -, -}.
    std::array<std::uint16_t, 4> ac{};
    Bytes metadata;
    std::optional<Bytes> content;
    bool trusted = false;                         // certificate
    Bytes name;                                   // directory or file name, 0 to 8 bytes
    std::uint16_t directoryId = BLOCK_ID_NONE;    // file: its directory
    std::uint8_t origin = 0;                      // key pair
    std::uint8_t containerIndex = 0xFF;
    std::uint8_t keySpec = 0;
    std::uint16_t keyUsage = 0;
    std::uint16_t keySize = 0;
    int keySlot = -1;  // index into CardState::keySlotSizes, -1 without private key
    RsaKey key;

    bool hasContentBlock() const {
        return kind == ObjectKind::DATA_OBJECT || kind == ObjectKind::CERTIFICATE ||
               kind == ObjectKind::FILE;
    }
};

struct CardState {
    Bytes serial = Bytes(8, 0);
    Bytes cardId = Bytes(16, 0);
    std::uint8_t versionMajor = 3;
    std::uint8_t versionMinor = 1;
    std::uint8_t lifeCycle = LIFE_CYCLE_ACTIVATED;
    std::uint16_t blockSize = 256;
    std::uint16_t blockCount = 256;
    std::vector<std::uint16_t> keySlotSizes;  // 0: a slot not bound to a size
    std::array<std::optional<AuthObject>, 8> authObjects;  // index = role, 0 unused
    std::optional<Bytes> freshness;
    // All objects; the order of the objects of one kind is that kind's chain.
    std::vector<CardObject> objects;

    const CardObject* findObject(std::uint16_t blockId) const;
    CardObject* findObject(std::uint16_t blockId);
    bool keySlotUsed(std::size_t slot) const;
    std::uint32_t usedBlocks() const;
};

// Blocks an object occupies: one for its header, then its metadata, content
// and public key components, each rounded up to whole blocks. Private key
// components live in key slots, not in blocks.
std::uint32_t objectBlocks(const CardObject& object, std::uint16_t blockSize);

}  // namespace cardsim
