#include "internal/p11objects/p11rsakey.h"

#include <algorithm>
#include <cstring>

#include "amw/cachedtoken.h"
#include "internal/cmapfile.h"
#include "internal/mechanisms.h"
#include "internal/p11objects/p11content.h"
#include "logger.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace rsakey {

Answer Answer::of(Kind kind) noexcept {
    Answer result;
    result.what = kind;
    return result;
}

Answer Answer::bytes(const void* data, CK_ULONG length) noexcept {
    Answer result = of(BYTES);
    result.external = data;
    result.size = length;
    return result;
}

Answer Answer::ulong(CK_ULONG value) noexcept {
    Answer result = of(BYTES);
    std::memcpy(result.scratch, &value, sizeof value);
    result.size = sizeof value;
    return result;
}

Answer Answer::boolean(bool value) noexcept {
    Answer result = of(BYTES);
    result.scratch[0] = value ? CK_TRUE : CK_FALSE;
    result.size = sizeof(CK_BBOOL);
    return result;
}

namespace {

// Dates and subject are not kept on the card; they read as these bytes.
const unsigned char NO_DATA_BYTES[4] = {0xFF, 0xFF, 0xFF, 0xFF};

template <std::size_t N>
Answer bufferAnswer(const StaticBuffer<N>& value) {
    return Answer::bytes(value.data, static_cast<CK_ULONG>(value.length));
}

// The pair's public values, from its public half or, for a private key
// stored alone, from what was kept with it; invalid when not known.
Answer publicComponent(const amw::KeyPair& keyPair, bool modulus) {
    const StaticBuffer<256>& value = modulus ? keyPair.getModulus() : keyPair.getPublicExponent();
    if (value.length == 0) return Answer::of(Answer::INVALID);
    return bufferAnswer(value);
}

}  // namespace

Answer answer(std::span<const ValueRow> values, const amw::KeyPair& keyPair,
              CK_ATTRIBUTE_TYPE type) {
    const auto row = std::find_if(values.begin(), values.end(),
                                  [type](const ValueRow& r) { return r.type == type; });
    if (row == values.end()) return Answer::of(Answer::INVALID);
    switch (row->source) {
    case Source::ULONG: return Answer::ulong(row->argument);
    case Source::BOOL: return Answer::boolean(row->argument != 0);
    case Source::NO_DATA: return Answer::bytes(NO_DATA_BYTES, sizeof NO_DATA_BYTES);
    case Source::EMPTY: return Answer::bytes(nullptr, 0);
    case Source::LABEL: return Answer::of(Answer::LABEL);
    case Source::ID: return bufferAnswer(keyPair.getPkcs11Id());
    case Source::USAGE: return Answer::boolean((keyPair.getKeyUsage() & row->argument) != 0);
    case Source::MODULUS: return publicComponent(keyPair, true);
    case Source::PUBLIC_EXPONENT: return publicComponent(keyPair, false);
    case Source::MODULUS_BITS: return Answer::ulong(keyPair.getKeySize());
    case Source::LOCAL: return Answer::boolean(keyPair.isGeneratedOnCard());
    case Source::KEY_GEN_MECHANISM:
        return Answer::ulong(keyPair.isGeneratedOnCard() ? CKM_RSA_PKCS_KEY_PAIR_GEN
                                                         : CK_UNAVAILABLE_INFORMATION);
    case Source::ALLOWED_MECHANISMS:
        return Answer::bytes(keyMechanisms().data(),
                             static_cast<CK_ULONG>(keyMechanisms().size_bytes()));
    case Source::SENSITIVE: return Answer::of(Answer::SENSITIVE);
    }
    return Answer::of(Answer::INVALID);
}

void sensitiveAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* length) {
    if (length != nullptr) *length = CK_UNAVAILABLE_INFORMATION;
    throw AttributeTypeSensitiveException(type);
}

amw::KeyPair& requireHalf(amw::KeyPair* keyPair, bool publicHalf, const char* partName,
                          const char* function) {
    if (keyPair == nullptr) {
        throw InvalidArgumentException::nullPointer("keyPair", function, __FILE__, __LINE__);
    }
    if (!(publicHalf ? keyPair->hasPublicKey() : keyPair->hasPrivateKey())) {
        throw InvalidArgumentException::nullPointer(partName, function, __FILE__, __LINE__);
    }
    return *keyPair;
}

bool readCommonAttribute(const CK_ATTRIBUTE& attribute, std::span<const UsageRule> usage,
                         RsaKeyTemplate& out) {
    if (attribute.type == CKA_ID) {
        TemplateReader::readBytes(attribute, 128, out.id);
        p11content::refuseMarkedId(out.id);
        out.hasId = true;
        return true;
    }
    if (attribute.type == CKA_LABEL) {
        TemplateReader::readBytes(attribute, 128, out.label);
        out.hasLabel = true;
        return true;
    }
    for (const UsageRule& rule : usage) {
        if (rule.type == attribute.type) {
            if (TemplateReader::readBool(attribute)) {
                out.keyUsage = static_cast<std::uint16_t>(out.keyUsage | rule.bit);
            }
            return true;
        }
    }
    return false;
}

void requirePresent(bool present, CK_ATTRIBUTE_TYPE type) {
    if (!present) throw TemplateIncompleteException(type);
}

void requireCardModulus(const StaticBuffer<256>& modulus) {
    if (modulus.size() != 128 && modulus.size() != 256) {
        throw AttributValueInvalidException::invalidValue(CKA_MODULUS);
    }
}

void commitKeyPair(amw::CachedToken& token, amw::KeyPair& keyPair) {
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    amw::interruptedwrite::settleEveryKind(token);
    keyPair.commitCreationOrMetadataChanges();
}

void destroyHalf(amw::CachedToken* token, amw::KeyPair& keyPair, bool publicHalf,
                 const char* function) {
    if (token == nullptr) {
        throw InvalidArgumentException::nullPointer("token", function, __FILE__, __LINE__);
    }
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    amw::interruptedwrite::settleEveryKind(*token);
    if (!keyPair.isComplete()) {
        // The pair goes with its last half; a pair with one half has no key
        // size left in any container record.
        token->deleteKeyPair(&keyPair);
        return;
    }
    const std::uint8_t containerIndex = keyPair.getContainerIndex();
    const std::uint32_t keySpec = keyPair.getKeySpec();
    // The record goes first: a failure there removes nothing, and a half
    // that a lost card leaves after its record was cleared gets the record
    // back from the next map writer (the pair is still whole).
    cmapfile::deleteContainerInCmapfile(*token, containerIndex, keySpec);
    if (publicHalf) {
        token->amendKeyPairRemovePublicKey(&keyPair);
    } else {
        token->amendKeyPairRemovePrivateKey(&keyPair);
    }
    keyPair.commitCreationOrMetadataChanges();
}

}  // namespace rsakey
