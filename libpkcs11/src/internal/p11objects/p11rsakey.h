// What the two RSA key views share: the value table their attribute reads
// go through, the common part of their template parsers, and the commit and
// destroy steps of one half of a key pair.
//
// Both views answer over one card key pair (amw::KeyPair). Each class keeps
// two tables: its AttributeTable (which types it answers, which are
// writable) and a value table saying where each answered type's value comes
// from. A type in the attribute list but not in the value table answers as
// an invalid type (CKA_TRUSTED of a public key, CKA_SUBJECT and the dates of
// a private key).
#pragma once

#include <cstdint>
#include <span>

#include "amw/keypair.h"
#include "cryptoki.h"
#include "internal/p11objects/p11classes.h"
#include "staticbuffer.h"

namespace rsakey {

enum class Source : std::uint8_t {
    ULONG,               // the row's argument as a CK_ULONG
    BOOL,                // the row's argument (0 or 1) as a CK_BBOOL
    NO_DATA,             // the four bytes FF FF FF FF
    EMPTY,               // a value of length 0
    LABEL,               // the view's own label, or the hex text of CKA_ID
    ID,                  // the pair's PKCS#11 identifier
    USAGE,               // CK_BBOOL: the argument's bit in the usage mask
    MODULUS,             // the pair's modulus; invalid when not known
    PUBLIC_EXPONENT,     // the pair's public exponent; invalid when not known
    MODULUS_BITS,        // CK_ULONG: the key size in bits
    LOCAL,               // CK_BBOOL: generated on the card
    KEY_GEN_MECHANISM,   // CK_ULONG: CKM_RSA_PKCS_KEY_PAIR_GEN or unavailable
    ALLOWED_MECHANISMS,  // CK_MECHANISM_TYPE array: every signing and decryption mechanism
    SENSITIVE            // never revealed
};

struct ValueRow {
    CK_ATTRIBUTE_TYPE type;
    Source source;
    CK_ULONG argument = 0;
};

// The answer to one read, before the copy rule: a byte string, the view's
// label, an invalid type or a sensitive one.
class Answer {
public:
    enum Kind : std::uint8_t { BYTES, LABEL, INVALID, SENSITIVE };

    static Answer of(Kind kind) noexcept;
    static Answer bytes(const void* data, CK_ULONG length) noexcept;
    static Answer ulong(CK_ULONG value) noexcept;
    static Answer boolean(bool value) noexcept;

    Kind kind() const noexcept { return what; }
    const void* data() const noexcept { return external != nullptr ? external : scratch; }
    CK_ULONG length() const noexcept { return size; }

private:
    Kind what = INVALID;
    const void* external = nullptr;
    unsigned char scratch[sizeof(CK_ULONG)] = {};
    CK_ULONG size = 0;
};

// Looks the type up in `values` and takes the value from the key pair.
Answer answer(std::span<const ValueRow> values, const amw::KeyPair& keyPair,
              CK_ATTRIBUTE_TYPE type);

// length := CK_UNAVAILABLE_INFORMATION; AttributeTypeSensitiveException.
[[noreturn]] void sensitiveAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* length);

// The key pair of a new view: null, or without the half the view shows,
// throws InvalidArgumentException naming `partName`.
amw::KeyPair& requireHalf(amw::KeyPair* keyPair, bool publicHalf, const char* partName,
                          const char* function);

// Template parsing shared by both parsers: CKA_ID and CKA_LABEL (at most 128
// bytes) and the CK_BBOOL usage flags of `usage`. False for any other type.
struct UsageRule {
    CK_ATTRIBUTE_TYPE type;
    std::uint16_t bit;
};
bool readCommonAttribute(const CK_ATTRIBUTE& attribute, std::span<const UsageRule> usage,
                         RsaKeyTemplate& out);
// TemplateIncompleteException for the type unless `present`.
void requirePresent(bool present, CK_ATTRIBUTE_TYPE type);
// A modulus the card can take: 1024 or 2048 bits. Checked before anything
// is written, so that a refused import leaves the card as it was.
void requireCardModulus(const StaticBuffer<256>& modulus);

// Raises the key-pair freshness counter, then writes the pair's metadata.
void commitKeyPair(amw::CachedToken& token, amw::KeyPair& keyPair);
// Removes one half of the pair: from a complete pair the half alone (the
// container record then loses that key's size), otherwise the whole pair.
void destroyHalf(amw::CachedToken* token, amw::KeyPair& keyPair, bool publicHalf,
                 const char* function);

}  // namespace rsakey
