// An RSA key pair on the card: a public part, a private part or both, sharing
// one PKCS#11 identifier. The card driver derives from it and adds the card
// side (block id, connection) and the commit operation.
#pragma once

#include <cstdint>

#include "amw/storage.h"
#include "staticbuffer.h"

namespace amw {

class KeyPair : public Storage {
public:
    enum KeySpec : std::uint32_t { SIGNATURE_KEY = 0, KEY_EXCHANGE_KEY = 1 };

    struct PublicPart {
        StaticBuffer<256> modulus;
        StaticBuffer<256> publicExponent;
        StaticBuffer<128> label;
    };
    // A private half stored without its public half keeps the pair's public
    // values itself (a modulus and public exponent are public by definition,
    // and applications size signatures from the modulus); empty when they are
    // not known. With both halves present they live in the public part only.
    struct PrivatePart {
        StaticBuffer<128> label;
        StaticBuffer<256> modulus;
        StaticBuffer<256> publicExponent;
    };

    explicit KeyPair(std::uint16_t keySize = 0);

    std::uint32_t getStorageType() const override { return STORAGE_KEY_PAIR; }
    virtual void commitCreationOrMetadataChanges() = 0;

    // Cache record (integers little-endian, LV = 32-bit length + bytes):
    //   keySize (2), pkcs11Id LV (<= 128), keyUsage (2), generatedOnCard (1),
    //   containerIndex (1), keySpec (4),
    //   public-part flag (1) [+ modulus LV (<= 256), exponent LV (<= 256), label LV (<= 128)],
    //   private-part flag (1) [+ label LV (<= 128), modulus LV (<= 256), exponent LV (<= 256)]
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;
    // By PKCS#11 identifier.
    std::int32_t compare(const SerializableEntity& other) const override;

    std::uint16_t getKeySize() const noexcept { return keySize; }
    void setKeySize(std::uint16_t value) noexcept { keySize = value; }
    const StaticBuffer<128>& getPkcs11Id() const noexcept { return pkcs11Id; }
    void setPkcs11Id(const StaticBuffer<128>& id) { pkcs11Id = id; }
    std::uint16_t getKeyUsage() const noexcept { return keyUsage; }
    void setKeyUsage(std::uint16_t usage) noexcept { keyUsage = usage; }
    bool isGeneratedOnCard() const noexcept { return generatedOnCard; }
    void setGeneratedOnCard(bool value) noexcept { generatedOnCard = value; }
    std::uint8_t getContainerIndex() const noexcept { return containerIndex; }
    void setContainerIndex(std::uint8_t value) noexcept { containerIndex = value; }
    std::uint32_t getKeySpec() const noexcept { return keySpec; }
    void setKeySpec(std::uint32_t value) noexcept { keySpec = value; }

    bool hasPublicKey() const noexcept { return publicPresent; }
    bool hasPrivateKey() const noexcept { return privatePresent; }
    // Both parts present.
    bool isComplete() const noexcept { return publicPresent && privatePresent; }
    // Only meaningful when the part is present.
    const PublicPart& getPublicPart() const noexcept { return publicPart; }
    const PrivatePart& getPrivatePart() const noexcept { return privatePart; }
    // The pair's modulus and public exponent: the public half's, else those
    // kept with a private half stored alone; empty when neither is known.
    const StaticBuffer<256>& getModulus() const noexcept;
    const StaticBuffer<256>& getPublicExponent() const noexcept;
    // The modulus's length in bits, leading zero bits not counted (a key
    // whose modulus is not a whole number of bytes has fewer than the key
    // size); the key size when the modulus is not known.
    std::size_t getModulusBits() const noexcept;
    // Label changes made in memory (CKA_LABEL writes); the card sees them at
    // the next commitCreationOrMetadataChanges. Only meaningful when the
    // part is present.
    void setPublicLabel(const StaticBuffer<128>& label) { publicPart.label = label; }
    void setPrivateLabel(const StaticBuffer<128>& label) { privatePart.label = label; }

    // Part operations. Adding a part that is present, or removing a part from
    // an incomplete key pair, throws InternalErrorException and changes
    // nothing. Adding stores the part, the container index and the key
    // kind (signature or exchange) and ORs the part's usage bits in; removing keeps only the
    // usage bits of the other part. A private half left alone keeps the
    // public values of the removed public half.
    void addPublicKey(const PublicPart& part, std::uint8_t containerIndex, std::uint32_t keySpec,
                      std::uint16_t usage);
    void addPrivateKey(const PrivatePart& part, std::uint8_t containerIndex,
                       std::uint32_t keySpec, std::uint16_t usage);
    void removePublicKey();
    void removePrivateKey();

private:
    std::uint16_t keySize;
    StaticBuffer<128> pkcs11Id;
    std::uint16_t keyUsage = 0;
    bool generatedOnCard = false;
    std::uint8_t containerIndex = 0;
    std::uint32_t keySpec = SIGNATURE_KEY;
    bool publicPresent = false;
    PublicPart publicPart;
    bool privatePresent = false;
    PrivatePart privatePart;
};

}  // namespace amw
