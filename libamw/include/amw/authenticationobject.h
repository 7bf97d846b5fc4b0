// A PIN or key that authenticates one role on the card.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cachememory/serializableentity.h"

namespace amw {

class AuthenticationObject : public SerializableEntity {
public:
    enum Type : std::uint32_t { PIN = 0, KEY = 1 };

    // The card's default for the 32-bit attribute.
    static constexpr std::uint32_t DEFAULT_ATTRIBUTE = 5;

    AuthenticationObject() = default;
    AuthenticationObject(std::uint32_t role, std::uint32_t type, std::uint32_t attribute,
                         std::uint16_t firstAttribute, std::uint16_t secondAttribute,
                         bool pkcs11So);

    // Cache record, 17 bytes: role (4), type (4), attribute (4),
    // security-officer flag (1), first 16-bit attribute (2), second (2).
    static constexpr std::size_t RECORD_SIZE = 17;
    void writeStream(std::ostream& stream) const override;
    void readStream(std::istream& stream) override;
    // By role: the difference of the two roles.
    std::int32_t compare(const SerializableEntity& other) const override;

    std::uint32_t getRole() const noexcept { return role; }
    void setRole(std::uint32_t value) noexcept { role = value; }
    std::uint32_t getType() const noexcept { return type; }
    void setType(std::uint32_t value) noexcept { type = value; }
    std::uint32_t getAttribute() const noexcept { return attribute; }
    void setAttribute(std::uint32_t value) noexcept { attribute = value; }
    std::uint16_t getFirstAttribute() const noexcept { return firstAttribute; }
    void setFirstAttribute(std::uint16_t value) noexcept { firstAttribute = value; }
    std::uint16_t getSecondAttribute() const noexcept { return secondAttribute; }
    void setSecondAttribute(std::uint16_t value) noexcept { secondAttribute = value; }
    // The object that acts as the PKCS#11 security officer.
    bool isPkcs11So() const noexcept { return pkcs11So; }
    void setPkcs11So(bool value) noexcept { pkcs11So = value; }

    // L"amw::AuthenticationObject::PIN" / L"...::KEY"; L"UNKNOWN" otherwise.
    static const wchar_t* typeName(std::uint32_t type) noexcept;

private:
    std::uint32_t role = 0;
    std::uint32_t type = PIN;
    std::uint32_t attribute = DEFAULT_ATTRIBUTE;
    std::uint16_t firstAttribute = 0;
    std::uint16_t secondAttribute = 0;
    bool pkcs11So = false;
};

}  // namespace amw
