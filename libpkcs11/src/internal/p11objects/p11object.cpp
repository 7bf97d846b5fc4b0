#include "internal/p11objects/p11object.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "logger.h"
#include "p11exceptions.h"
#include "vxexception.h"

P11Object::P11Object(CK_OBJECT_CLASS objectClass_, const StaticBuffer<128>& pkcs11Id_)
    : objectClass(objectClass_), pkcs11Id(pkcs11Id_) {}

bool P11Object::compareAttribute(const CK_ATTRIBUTE& attribute) {
    if (attribute.type == CKA_ALLOWED_MECHANISMS) {
        Logger& logger = Logger::instance();
        if (logger.isEnabled()) {
            logger.log(LOG_FACILITY_PKCS11,
                       L"unssuported comparison of attribute type CKA_ALLOWED_MECHANISMS");
        }
        return false;
    }
    CK_ULONG length = 0;
    getAttributeValue(attribute.type, nullptr, &length);
    if (length != attribute.ulValueLen) return false;
    if (length == 0) return true;
    if (attribute.pValue == nullptr) return false;
    std::unique_ptr<unsigned char[]> value(new unsigned char[length]);
    getAttributeValue(attribute.type, value.get(), &length);
    return std::memcmp(value.get(), attribute.pValue, length) == 0;
}

void P11Object::copyBufferToAttributeBuffer(void* buffer, CK_ULONG* length, const void* source,
                                            CK_ULONG sourceLength) {
    if (length == nullptr) {
        throw InvalidArgumentException::nullPointer("attBufferSize", "P11Object::copyBufferToAttributeBuffer",
                                                    __FILE__, __LINE__);
    }
    if (sourceLength > 0 && source == nullptr) {
        throw InvalidArgumentException::nullPointer("srcBuffer", "P11Object::copyBufferToAttributeBuffer",
                                                    __FILE__, __LINE__);
    }
    if (buffer == nullptr) {
        *length = sourceLength;
        return;
    }
    if (*length < sourceLength) {
        const CK_ULONG given = *length;
        *length = CK_UNAVAILABLE_INFORMATION;
        throw AttributeBufferTooSmallException(given, sourceLength);
    }
    *length = sourceLength;
    if (sourceLength == 0) return;
    std::memcpy(buffer, source, sourceLength);
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.logHexAscii(LOG_FACILITY_PKCS11, L"[OUT] ", static_cast<const unsigned char*>(buffer),
                           sourceLength);
    }
}

void P11Object::copyUlong(void* buffer, CK_ULONG* length, CK_ULONG value) {
    copyBufferToAttributeBuffer(buffer, length, &value, sizeof value);
}

void P11Object::copyBool(void* buffer, CK_ULONG* length, bool value) {
    const CK_BBOOL byte = value ? CK_TRUE : CK_FALSE;
    copyBufferToAttributeBuffer(buffer, length, &byte, sizeof byte);
}

void P11Object::copyLabel(void* buffer, CK_ULONG* length, const StaticBuffer<128>& label,
                          const StaticBuffer<128>& id) {
    if (!label.empty()) {
        copyStaticBuffer(buffer, length, label);
        return;
    }
    const std::string text = hexText(id.data, id.size());
    copyBufferToAttributeBuffer(buffer, length, text.data(), static_cast<CK_ULONG>(text.size()));
}

void P11Object::invalidAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* length) {
    if (length != nullptr) *length = CK_UNAVAILABLE_INFORMATION;
    throw AttributeTypeInvalidException(type);
}

AttributeTable::AttributeTable(std::initializer_list<Rule> list) : rules(list) {
    std::sort(rules.begin(), rules.end(), [](const Rule& a, const Rule& b) { return a.type < b.type; });
}

const AttributeTable::Rule* AttributeTable::find(CK_ATTRIBUTE_TYPE type) const noexcept {
    auto found = std::lower_bound(rules.begin(), rules.end(), type,
                                  [](const Rule& rule, CK_ATTRIBUTE_TYPE t) { return rule.type < t; });
    return found != rules.end() && found->type == type ? &*found : nullptr;
}

bool AttributeTable::supports(CK_ATTRIBUTE_TYPE type) const noexcept { return find(type) != nullptr; }

void AttributeTable::checkWrite(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) const {
    if (buffer == nullptr) throw AttributValueInvalidException::invalidValue(type);
    const Rule* rule = find(type);
    if (rule == nullptr) throw AttributeTypeInvalidException(type);
    if (!rule->writable) throw AttributeReadOnlyException(type);
    if (length > rule->maximumLength) {
        throw AttributValueInvalidException::tooBig(type, length, rule->maximumLength);
    }
}

TemplateReader::TemplateReader(const CK_ATTRIBUTE* attributes_, CK_ULONG count_)
    : attributes(attributes_), count(count_) {
    if (attributes == nullptr && count != 0) {
        throw InvalidArgumentException::nullPointer("attributes", "TemplateReader::TemplateReader",
                                                    __FILE__, __LINE__);
    }
}

void TemplateReader::checkNotSeen(std::set<CK_ATTRIBUTE_TYPE>& seen, CK_ATTRIBUTE_TYPE type) {
    if (!seen.insert(type).second) throw TemplateInconsistentException(type);
}

void TemplateReader::requireValue(const CK_ATTRIBUTE& attribute) {
    if (attribute.ulValueLen != 0 && attribute.pValue == nullptr) {
        throw AttributValueInvalidException::invalidValue(attribute.type);
    }
}

void TemplateReader::requireAtMost(const CK_ATTRIBUTE& attribute, CK_ULONG maximum) {
    if (attribute.ulValueLen > maximum) {
        throw AttributValueInvalidException::tooBig(attribute.type, attribute.ulValueLen, maximum);
    }
}

void TemplateReader::requireExactly(const CK_ATTRIBUTE& attribute, CK_ULONG size) {
    requireAtMost(attribute, size);
    if (attribute.ulValueLen < size) {
        throw AttributValueInvalidException::tooSmall(attribute.type, attribute.ulValueLen, size);
    }
    requireValue(attribute);
}

bool TemplateReader::readBool(const CK_ATTRIBUTE& attribute) {
    requireExactly(attribute, sizeof(CK_BBOOL));
    return *static_cast<const CK_BBOOL*>(attribute.pValue) == CK_TRUE;
}

CK_ULONG TemplateReader::readUlong(const CK_ATTRIBUTE& attribute) {
    requireExactly(attribute, sizeof(CK_ULONG));
    CK_ULONG value = 0;
    std::memcpy(&value, attribute.pValue, sizeof value);
    return value;
}

std::string hexText(const unsigned char* bytes, std::size_t length) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 0x0F];
    }
    return text;
}
