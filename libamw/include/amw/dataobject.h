// A PKCS#11 data object on the card.
#pragma once

#include <cstdint>

#include "amw/datastorage.h"

namespace amw {

class DataObject : public DataStorage {
public:
    DataObject() = default;
    DataObject(const StaticBuffer<128>& pkcs11Id, const StaticBuffer<128>& label,
               const StaticBuffer<128>& objectId, const StaticBuffer<128>& application);

    std::uint32_t getStorageType() const override { return STORAGE_DATA_OBJECT; }

    // Cache record: the content part, then pkcs11Id, label, objectId and
    // application, each an LV of at most 128 bytes.
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;
    // By PKCS#11 identifier.
    std::int32_t compare(const SerializableEntity& other) const override;

    const StaticBuffer<128>& getPkcs11Id() const noexcept { return pkcs11Id; }
    void setPkcs11Id(const StaticBuffer<128>& value) { pkcs11Id = value; }
    const StaticBuffer<128>& getLabel() const noexcept { return label; }
    void setLabel(const StaticBuffer<128>& value) { label = value; }
    const StaticBuffer<128>& getObjectId() const noexcept { return objectId; }
    void setObjectId(const StaticBuffer<128>& value) { objectId = value; }
    const StaticBuffer<128>& getApplication() const noexcept { return application; }
    void setApplication(const StaticBuffer<128>& value) { application = value; }

private:
    StaticBuffer<128> pkcs11Id;
    StaticBuffer<128> label;
    StaticBuffer<128> objectId;
    StaticBuffer<128> application;
};

}  // namespace amw
