#include "amw/x509certificate.h"

#include "samekind.h"

namespace amw {

X509Certificate::X509Certificate(const StaticBuffer<128>& pkcs11Id_, bool trusted_,
                                 const StaticBuffer<128>& label_, std::uint8_t containerIndex_,
                                 std::uint32_t keySpec_)
    : pkcs11Id(pkcs11Id_),
      trusted(trusted_),
      label(label_),
      containerIndex(containerIndex_),
      keySpec(keySpec_) {}

void X509Certificate::writeStream(std::ostream& stream) const {
    writeDataStorage(stream);
    writeBuffer(stream, pkcs11Id);
    writeBool(stream, trusted);
    writeBuffer(stream, label);
    writeUint8(stream, containerIndex);
    writeUint32(stream, keySpec);
}

void X509Certificate::readStream(std::istream& stream) {
    readDataStorage(stream);
    readBuffer(stream, pkcs11Id);
    trusted = readBool(stream);
    readBuffer(stream, label);
    containerIndex = readUint8(stream);
    keySpec = readUint32(stream);
}

std::int32_t X509Certificate::compare(const SerializableEntity& other) const {
    return compareByteStrings(pkcs11Id,
                              sameKind<X509Certificate>(other, "X509Certificate").pkcs11Id);
}

}  // namespace amw
