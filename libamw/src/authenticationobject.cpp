#include "amw/authenticationobject.h"

#include "samekind.h"

namespace amw {

AuthenticationObject::AuthenticationObject(std::uint32_t role_, std::uint32_t type_,
                                           std::uint32_t attribute_,
                                           std::uint16_t firstAttribute_,
                                           std::uint16_t secondAttribute_, bool pkcs11So_)
    : role(role_),
      type(type_),
      attribute(attribute_),
      firstAttribute(firstAttribute_),
      secondAttribute(secondAttribute_),
      pkcs11So(pkcs11So_) {}

void AuthenticationObject::writeStream(std::ostream& stream) const {
    writeUint32(stream, role);
    writeUint32(stream, type);
    writeUint32(stream, attribute);
    writeBool(stream, pkcs11So);
    writeUint16(stream, firstAttribute);
    writeUint16(stream, secondAttribute);
}

void AuthenticationObject::readStream(std::istream& stream) {
    role = readUint32(stream);
    type = readUint32(stream);
    attribute = readUint32(stream);
    pkcs11So = readBool(stream);
    firstAttribute = readUint16(stream);
    secondAttribute = readUint16(stream);
}

std::int32_t AuthenticationObject::compare(const SerializableEntity& other) const {
    // Roles are 0 to 7 in practice; computed wide so that no pair of 32-bit
    // roles can overflow, and clamped into the result's range.
    const std::int64_t difference =
        static_cast<std::int64_t>(role) -
        static_cast<std::int64_t>(sameKind<AuthenticationObject>(other, "AuthenticationObject").role);
    if (difference > INT32_MAX) {
        return INT32_MAX;
    }
    if (difference < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(difference);
}

const wchar_t* AuthenticationObject::typeName(std::uint32_t type) noexcept {
    switch (type) {
    case PIN:
        return L"amw::AuthenticationObject::PIN";
    case KEY:
        return L"amw::AuthenticationObject::KEY";
    default:
        return L"UNKNOWN";
    }
}

}  // namespace amw
