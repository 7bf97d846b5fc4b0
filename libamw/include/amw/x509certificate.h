// An X.509 certificate on the card; its content is the DER encoding.
#pragma once

#include <cstdint>

#include "amw/datastorage.h"

namespace amw {

class X509Certificate : public DataStorage {
public:
    X509Certificate() = default;
    X509Certificate(const StaticBuffer<128>& pkcs11Id, bool trusted, const StaticBuffer<128>& label,
                    std::uint8_t containerIndex, std::uint32_t keySpec);

    std::uint32_t getStorageType() const override { return STORAGE_CERTIFICATE; }

    // Cache record: the content part, pkcs11Id LV (<= 128), trusted (1),
    // label LV (<= 128), containerIndex (1), keySpec (4).
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;
    // By PKCS#11 identifier.
    std::int32_t compare(const SerializableEntity& other) const override;

    const StaticBuffer<128>& getPkcs11Id() const noexcept { return pkcs11Id; }
    void setPkcs11Id(const StaticBuffer<128>& id) { pkcs11Id = id; }
    bool isTrusted() const noexcept { return trusted; }
    void setTrusted(bool value) noexcept { trusted = value; }
    const StaticBuffer<128>& getLabel() const noexcept { return label; }
    void setLabel(const StaticBuffer<128>& value) { label = value; }
    // The key container the certificate belongs to and its key kind (signature or exchange).
    std::uint8_t getContainerIndex() const noexcept { return containerIndex; }
    void setContainerIndex(std::uint8_t value) noexcept { containerIndex = value; }
    std::uint32_t getKeySpec() const noexcept { return keySpec; }
    void setKeySpec(std::uint32_t value) noexcept { keySpec = value; }

private:
    StaticBuffer<128> pkcs11Id;
    bool trusted = false;
    StaticBuffer<128> label;
    std::uint8_t containerIndex = 0;
    std::uint32_t keySpec = 0;
};

}  // namespace amw
