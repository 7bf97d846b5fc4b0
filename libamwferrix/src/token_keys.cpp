// Key pairs: generation, import of a pair or of one half, amending a stored
// pair by a half, deletion, and the raw RSA private-key operation.
//
// Origin bytes sent with createKeyPair / amendKeypair: bit 0 generated on the
// card, bit 1 public key, bit 2 private key; 7 generated pair, 6 imported
// pair, 2 public key alone, 4 private key alone. Private components always
// travel as sensitive commands and are never written to the trace.
#include "amw/amwtypes.h"
#include "amwferrix/apdu.h"
#include "amwferrix/keypair.h"
#include "amwferrix/token.h"
#include "cardobject.h"
#include "conversions.h"
#include "logger.h"
#include "objectheader.h"
#include "tokentrace.h"
#include "vxexception.h"

namespace amwferrix {

using detail::cardObject;

namespace {

constexpr std::uint8_t ORIGIN_GENERATED_PAIR = 7;
constexpr std::uint8_t ORIGIN_IMPORTED_PAIR = 6;
constexpr std::uint8_t ORIGIN_PUBLIC_ONLY = 2;
constexpr std::uint8_t ORIGIN_PRIVATE_ONLY = 4;
constexpr std::uint8_t ORIGIN_COMPLETE = 6;
constexpr std::uint8_t NO_CONTAINER = 0xFF;

// The card wants the exponent without leading zero bytes.
StaticBuffer<256> stripLeadingZeros(const StaticBuffer<256>& value) {
    std::size_t start = 0;
    while (start < value.length && value.data[start] == 0) {
        ++start;
    }
    return StaticBuffer<256>(value.data + start, value.length - start);
}

void importComponent(ctl::CardConnection& connection, std::uint8_t component,
                     const StaticBuffer<256>& value) {
    apdu::importComponent(connection, component, value.data,
                          static_cast<std::uint32_t>(value.length));
}

// N, then E without leading zeros; returns the stripped exponent.
StaticBuffer<256> importPublicComponents(ctl::CardConnection& connection,
                                         const StaticBuffer<256>& modulus,
                                         const StaticBuffer<256>& exponent) {
    importComponent(connection, apdu::COMPONENT_N, modulus);
    StaticBuffer<256> stripped = stripLeadingZeros(exponent);
    importComponent(connection, apdu::COMPONENT_E, stripped);
    return stripped;
}

void importPrivateComponents(ctl::CardConnection& connection,
                             const amw::RsaPrivateKeyComponents& key) {
    importComponent(connection, apdu::COMPONENT_P, key.p);
    importComponent(connection, apdu::COMPONENT_Q, key.q);
    importComponent(connection, apdu::COMPONENT_DP, key.dp);
    importComponent(connection, apdu::COMPONENT_DQ, key.dq);
    importComponent(connection, apdu::COMPONENT_INV, key.inv);
}

// The private part of a pair whose public values are in its public part.
KeyPair::PrivatePart privatePartLabelled(const StaticBuffer<128>& label) {
    KeyPair::PrivatePart part;
    part.label = label;
    return part;
}

// A new key pair with the parts given; the usage mask is taken as it is.
std::unique_ptr<KeyPair> newKeyPair(ctl::CardConnection& connection, std::uint32_t keySize,
                                    const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                    bool generated, std::uint8_t containerIndex,
                                    std::uint32_t keySpec, const KeyPair::PublicPart* publicPart,
                                    const KeyPair::PrivatePart* privatePart) {
    auto keyPair = std::make_unique<KeyPair>(connection, static_cast<std::uint16_t>(keySize));
    keyPair->setPkcs11Id(pkcs11Id);
    if (publicPart != nullptr) {
        keyPair->addPublicKey(*publicPart, containerIndex, keySpec, 0);
    }
    if (privatePart != nullptr) {
        keyPair->addPrivateKey(*privatePart, containerIndex, keySpec, 0);
    }
    keyPair->setContainerIndex(containerIndex);
    keyPair->setKeySpec(keySpec);
    keyPair->setKeyUsage(keyUsage);
    keyPair->setGeneratedOnCard(generated);
    return keyPair;
}

}  // namespace

void Token::checkKeySize(std::uint32_t keySize) {
    trace::logNumber(L"keySize", keySize);
    if (keySize != 1024 && keySize != 2048) {
        throw InvalidArgumentException("keySize must be 1024 or 2048");
    }
}

std::unique_ptr<amw::KeyPair> Token::generateKeyPair(
    const StaticBuffer<128>& publicLabel, const StaticBuffer<128>& privateLabel,
    std::uint32_t keySize, std::uint8_t containerIndex, std::uint32_t keySpec,
    const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
    const StaticBuffer<256>& publicExponent) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::generateKeyPair");
    checkKeySize(keySize);
    const std::uint8_t cardKeySpec = detail::toCardKeySpec(keySpec);
    apdu::createKeyPair(connection, ORIGIN_GENERATED_PAIR, static_cast<std::uint16_t>(keySize),
                        keyUsage, cardKeySpec, containerIndex);
    KeyPair::PublicPart part;
    apdu::generateKeyPair(connection, publicExponent, part.modulus);
    if (part.modulus.length > keySize / 8) {
        throw InternalErrorException("unexpected length of modulus (expected %d,  actual %d)",
                                     static_cast<int>(keySize / 8),
                                     static_cast<int>(part.modulus.length));
    }
    part.publicExponent = publicExponent;
    part.label = publicLabel;
    const KeyPair::PrivatePart labelled = privatePartLabelled(privateLabel);
    return newKeyPair(connection, keySize, pkcs11Id, keyUsage, true, containerIndex, keySpec,
                      &part, &labelled);
}

std::unique_ptr<amw::KeyPair> Token::importKeyPair(
    const StaticBuffer<128>& publicLabel, const StaticBuffer<128>& privateLabel,
    std::uint32_t keySize, std::uint8_t containerIndex, std::uint32_t keySpec,
    const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
    const amw::RsaPrivateKeyComponents& privateKey) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::importKeyPair");
    checkKeySize(keySize);
    const std::uint8_t cardKeySpec = detail::toCardKeySpec(keySpec);
    apdu::createKeyPair(connection, ORIGIN_IMPORTED_PAIR, static_cast<std::uint16_t>(keySize),
                        keyUsage, cardKeySpec, containerIndex);
    KeyPair::PublicPart part;
    part.modulus = privateKey.modulus;
    part.publicExponent =
        importPublicComponents(connection, privateKey.modulus, privateKey.publicExponent);
    part.label = publicLabel;
    importPrivateComponents(connection, privateKey);
    const KeyPair::PrivatePart labelled = privatePartLabelled(privateLabel);
    return newKeyPair(connection, keySize, pkcs11Id, keyUsage, false, containerIndex, keySpec,
                      &part, &labelled);
}

std::unique_ptr<amw::KeyPair> Token::importPublicKey(const StaticBuffer<128>& pkcs11Id,
                                                     std::uint32_t keySize,
                                                     const StaticBuffer<128>& label,
                                                     std::uint16_t keyUsage,
                                                     const amw::RsaPublicKeyComponents& publicKey) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::importPublicKey");
    checkKeySize(keySize);
    apdu::createKeyPair(connection, ORIGIN_PUBLIC_ONLY, static_cast<std::uint16_t>(keySize),
                        keyUsage, amw::KeyPair::SIGNATURE_KEY, NO_CONTAINER);
    KeyPair::PublicPart part;
    part.modulus = publicKey.modulus;
    part.publicExponent =
        importPublicComponents(connection, publicKey.modulus, publicKey.publicExponent);
    part.label = label;
    return newKeyPair(connection, keySize, pkcs11Id, keyUsage, false, NO_CONTAINER,
                      amw::KeyPair::SIGNATURE_KEY, &part, nullptr);
}

std::unique_ptr<amw::KeyPair> Token::importPrivateKey(
    const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
    const StaticBuffer<128>& privateLabel, std::uint16_t keyUsage,
    const amw::RsaPrivateKeyComponents& privateKey) {
    TraceScope scope(LOG_FACILITY_AMWFERRIX, "amwferrix::Token::importPrivateKey");
    checkKeySize(keySize);
    apdu::createKeyPair(connection, ORIGIN_PRIVATE_ONLY, static_cast<std::uint16_t>(keySize),
                        keyUsage, amw::KeyPair::SIGNATURE_KEY, NO_CONTAINER);
    importPrivateComponents(connection, privateKey);
    // The card is given no public component for a private key alone; the
    // pair's public values go into the metadata instead.
    KeyPair::PrivatePart part = privatePartLabelled(privateLabel);
    part.modulus = privateKey.modulus;
    part.publicExponent = stripLeadingZeros(privateKey.publicExponent);
    return newKeyPair(connection, keySize, pkcs11Id, keyUsage, false, NO_CONTAINER,
                      amw::KeyPair::SIGNATURE_KEY, nullptr, &part);
}

void Token::amendKeyPairAddPublicKey(amw::KeyPair& keyPair, const StaticBuffer<128>& publicLabel,
                                     std::uint8_t containerIndex, std::uint32_t keySpec,
                                     std::uint16_t keyUsage,
                                     const amw::RsaPublicKeyComponents& publicKey) {
    static constexpr char FN[] = "amwferrix::Token::amendKeyPairAddPublicKey";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    auto& card = cardObject<KeyPair>(keyPair, FN);
    trace::logNumber(L"blockId", card.getBlockId());
    if (card.hasPublicKey()) {
        throw InternalErrorException("Keypair has already public key");
    }
    detail::toCardKeySpec(keySpec);
    apdu::amendKeypair(connection, card.getBlockId(), ORIGIN_COMPLETE);
    KeyPair::PublicPart part;
    part.modulus = publicKey.modulus;
    part.publicExponent =
        importPublicComponents(connection, publicKey.modulus, publicKey.publicExponent);
    part.label = publicLabel;
    card.addPublicKey(part, containerIndex, keySpec, keyUsage);
    card.setAmendPending(true);
}

void Token::amendKeyPairAddPrivateKey(amw::KeyPair& keyPair,
                                      const StaticBuffer<128>& privateLabel,
                                      std::uint8_t containerIndex, std::uint32_t keySpec,
                                      std::uint16_t keyUsage,
                                      const amw::RsaPrivateKeyComponents& privateKey) {
    static constexpr char FN[] = "amwferrix::Token::amendKeyPairAddPrivateKey";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    auto& card = cardObject<KeyPair>(keyPair, FN);
    trace::logNumber(L"blockId", card.getBlockId());
    if (card.hasPrivateKey()) {
        throw InternalErrorException("Keypair has already private key");
    }
    detail::toCardKeySpec(keySpec);
    apdu::amendKeypair(connection, card.getBlockId(), ORIGIN_COMPLETE);
    importPrivateComponents(connection, privateKey);
    card.addPrivateKey(privatePartLabelled(privateLabel), containerIndex, keySpec, keyUsage);
    card.setAmendPending(true);
}

namespace {

// The origin byte stored on the card for a key pair.
std::uint8_t storedOrigin(ctl::CardConnection& connection, std::uint16_t blockId) {
    std::uint8_t header[detail::KEY_PAIR_HEADER_SIZE];
    apdu::beginReadMetadata(connection, blockId, header, sizeof header);
    return header[22];
}

}  // namespace

void Token::amendKeyPairRemovePublicKey(amw::KeyPair& keyPair) {
    static constexpr char FN[] = "amwferrix::Token::amendKeyPairRemovePublicKey";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    auto& card = cardObject<KeyPair>(keyPair, FN);
    trace::logNumber(L"blockId", card.getBlockId());
    const std::uint8_t origin = storedOrigin(connection, card.getBlockId());
    apdu::amendKeypair(connection, card.getBlockId(),
                       (origin & KeyPair::ORIGIN_GENERATED) != 0 ? 5 : 4);
    card.removePublicKey();
    card.setAmendPending(true);
}

void Token::amendKeyPairRemovePrivateKey(amw::KeyPair& keyPair) {
    static constexpr char FN[] = "amwferrix::Token::amendKeyPairRemovePrivateKey";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    auto& card = cardObject<KeyPair>(keyPair, FN);
    trace::logNumber(L"blockId", card.getBlockId());
    const std::uint8_t origin = storedOrigin(connection, card.getBlockId());
    apdu::amendKeypair(connection, card.getBlockId(),
                       (origin & KeyPair::ORIGIN_GENERATED) != 0 ? 3 : 2);
    card.removePrivateKey();
    card.setAmendPending(true);
}

void Token::deleteKeyPair(amw::KeyPair& keyPair) {
    static constexpr char FN[] = "amwferrix::Token::deleteKeyPair";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    const auto& card = cardObject<KeyPair>(keyPair, FN);
    trace::logNumber(L"blockId", card.getBlockId());
    apdu::deleteObject(connection, card.getBlockId());
}

void Token::rsaExponentiation(amw::KeyPair* keypair, const std::uint8_t* data,
                              std::uint32_t dataSize, StaticBuffer<256>* signedData,
                              bool sensitive) {
    static constexpr char FN[] = "amwferrix::Token::rsaExponentiation";
    TraceScope scope(LOG_FACILITY_AMWFERRIX, FN);
    trace::logNumber(L"dataSize", dataSize);
    if (data == nullptr) {
        throw InvalidArgumentException::nullPointer("data", FN, __FILE__, __LINE__);
    }
    if (sensitive) {
        trace::logMessage(L"data = ******");
    } else {
        trace::logHex(L"data = ", data, dataSize);
    }
    if (keypair == nullptr) {
        throw InvalidArgumentException::nullPointer("keypair", FN, __FILE__, __LINE__);
    }
    if (signedData == nullptr) {
        throw InvalidArgumentException::nullPointer("signedData", FN, __FILE__, __LINE__);
    }
    const auto& card = cardObject<KeyPair>(*keypair, FN);
    // A private key imported alone has no modulus in the model; its length
    // follows from the key size then.
    const std::uint64_t expected = card.hasPublicKey() ? card.getPublicPart().modulus.length
                                                       : card.getKeySize() / 8u;
    if (dataSize != expected || (dataSize != 128 && dataSize != 256)) {
        throw InternalErrorException("unexpected length of data (expected %d,  actual %d)",
                                     static_cast<int>(expected), static_cast<int>(dataSize));
    }
    apdu::cryptInit(connection, card.getBlockId());
    *signedData = StaticBuffer<256>();
    if (dataSize == 128) {
        apdu::crypt(connection, data, true, signedData->data, 128, sensitive);
    } else {
        apdu::crypt(connection, data, false, nullptr, 0, sensitive);
        apdu::crypt(connection, data + 128, true, signedData->data, 256, sensitive);
    }
    signedData->length = dataSize;
}

}  // namespace amwferrix
