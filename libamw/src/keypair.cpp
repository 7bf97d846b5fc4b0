#include "amw/keypair.h"

#include "amw/amwtypes.h"
#include "samekind.h"
#include "vxexception.h"

namespace amw {

KeyPair::KeyPair(std::uint16_t keySize_) : keySize(keySize_) {}

void KeyPair::writeStream(std::ostream& stream) const {
    writeUint16(stream, keySize);
    writeBuffer(stream, pkcs11Id);
    writeUint16(stream, keyUsage);
    writeBool(stream, generatedOnCard);
    writeUint8(stream, containerIndex);
    writeUint32(stream, keySpec);
    writeBool(stream, publicPresent);
    if (publicPresent) {
        writeBuffer(stream, publicPart.modulus);
        writeBuffer(stream, publicPart.publicExponent);
        writeBuffer(stream, publicPart.label);
    }
    writeBool(stream, privatePresent);
    if (privatePresent) {
        writeBuffer(stream, privatePart.label);
        writeBuffer(stream, privatePart.modulus);
        writeBuffer(stream, privatePart.publicExponent);
    }
}

void KeyPair::readStream(std::istream& stream) {
    keySize = readUint16(stream);
    readBuffer(stream, pkcs11Id);
    keyUsage = readUint16(stream);
    generatedOnCard = readBool(stream);
    containerIndex = readUint8(stream);
    keySpec = readUint32(stream);
    publicPresent = readBool(stream);
    publicPart = PublicPart();
    if (publicPresent) {
        readBuffer(stream, publicPart.modulus);
        readBuffer(stream, publicPart.publicExponent);
        readBuffer(stream, publicPart.label);
    }
    privatePresent = readBool(stream);
    privatePart = PrivatePart();
    if (privatePresent) {
        readBuffer(stream, privatePart.label);
        readBuffer(stream, privatePart.modulus);
        readBuffer(stream, privatePart.publicExponent);
    }
}

const StaticBuffer<256>& KeyPair::getModulus() const noexcept {
    return publicPresent ? publicPart.modulus : privatePart.modulus;
}

const StaticBuffer<256>& KeyPair::getPublicExponent() const noexcept {
    return publicPresent ? publicPart.publicExponent : privatePart.publicExponent;
}

std::size_t KeyPair::getModulusBits() const noexcept {
    const StaticBuffer<256>& modulus = getModulus();
    std::size_t first = 0;
    while (first < modulus.length && modulus.data[first] == 0) ++first;
    if (first == modulus.length) return keySize;
    std::size_t bits = (modulus.length - first) * 8;
    for (std::uint8_t top = modulus.data[first]; (top & 0x80) == 0; top = static_cast<std::uint8_t>(top << 1)) {
        --bits;
    }
    return bits;
}

std::int32_t KeyPair::compare(const SerializableEntity& other) const {
    return compareByteStrings(pkcs11Id, sameKind<KeyPair>(other, "KeyPair").pkcs11Id);
}

void KeyPair::addPublicKey(const PublicPart& part, std::uint8_t containerIndex_,
                           std::uint32_t keySpec_, std::uint16_t usage) {
    if (publicPresent) {
        throw InternalErrorException("keypair has already public key");
    }
    publicPart = part;
    publicPresent = true;
    privatePart.modulus = StaticBuffer<256>();
    privatePart.publicExponent = StaticBuffer<256>();
    containerIndex = containerIndex_;
    keySpec = keySpec_;
    keyUsage = static_cast<std::uint16_t>(keyUsage | (usage & KEY_USAGE_PUBLIC_MASK));
}

void KeyPair::addPrivateKey(const PrivatePart& part, std::uint8_t containerIndex_,
                            std::uint32_t keySpec_, std::uint16_t usage) {
    if (privatePresent) {
        throw InternalErrorException("keypair has already private key");
    }
    privatePart = part;
    privatePresent = true;
    if (publicPresent) {
        privatePart.modulus = StaticBuffer<256>();
        privatePart.publicExponent = StaticBuffer<256>();
    }
    containerIndex = containerIndex_;
    keySpec = keySpec_;
    keyUsage = static_cast<std::uint16_t>(keyUsage | (usage & KEY_USAGE_PRIVATE_MASK));
}

void KeyPair::removePublicKey() {
    if (!isComplete()) {
        throw InternalErrorException("cannot remove public key from incomplete keypair");
    }
    privatePart.modulus = publicPart.modulus;
    privatePart.publicExponent = publicPart.publicExponent;
    publicPart = PublicPart();
    publicPresent = false;
    keyUsage = static_cast<std::uint16_t>(keyUsage & KEY_USAGE_PRIVATE_MASK);
}

void KeyPair::removePrivateKey() {
    if (!isComplete()) {
        throw InternalErrorException("cannot remove private key from incomplete keypair");
    }
    privatePart = PrivatePart();
    privatePresent = false;
    keyUsage = static_cast<std::uint16_t>(keyUsage & KEY_USAGE_PUBLIC_MASK);
}

}  // namespace amw
