#include "amw/dataobject.h"

#include "samekind.h"

namespace amw {

DataObject::DataObject(const StaticBuffer<128>& pkcs11Id_, const StaticBuffer<128>& label_,
                       const StaticBuffer<128>& objectId_, const StaticBuffer<128>& application_)
    : pkcs11Id(pkcs11Id_), label(label_), objectId(objectId_), application(application_) {}

void DataObject::writeStream(std::ostream& stream) const {
    writeDataStorage(stream);
    writeBuffer(stream, pkcs11Id);
    writeBuffer(stream, label);
    writeBuffer(stream, objectId);
    writeBuffer(stream, application);
}

void DataObject::readStream(std::istream& stream) {
    readDataStorage(stream);
    readBuffer(stream, pkcs11Id);
    readBuffer(stream, label);
    readBuffer(stream, objectId);
    readBuffer(stream, application);
}

std::int32_t DataObject::compare(const SerializableEntity& other) const {
    return compareByteStrings(pkcs11Id, sameKind<DataObject>(other, "DataObject").pkcs11Id);
}

}  // namespace amw
