// The Cryptoki view of one card object, made for a single call over an
// object of that call's cached token and thrown away when the call ends.
// What persists between calls is the card object and its object handle.
//
// This file holds what the four object classes share: the copy rule every
// attribute read goes through, the checks of attribute writes and of
// templates with their exceptions, the label default and the comparison
// searches use. Each class keeps its attributes as a table (AttributeTable)
// rather than as one branch per attribute.
//
// Values of CK_ULONG attributes (class, key type, certificate type, ...) are
// sizeof(CK_ULONG) bytes long: 8 on Linux, 4 on Windows. CK_BBOOL values are
// one byte, true only when equal to 1.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "cryptoki.h"
#include "staticbuffer.h"

namespace amw {
class CachedToken;
}

class P11Object {
public:
    P11Object(CK_OBJECT_CLASS objectClass, const StaticBuffer<128>& pkcs11Id);
    virtual ~P11Object() = default;
    P11Object(const P11Object&) = delete;
    P11Object& operator=(const P11Object&) = delete;

    // Reads one attribute through the copy rule: a null buffer asks for the
    // length. Unknown types set the length to CK_UNAVAILABLE_INFORMATION and
    // throw AttributeTypeInvalidException.
    virtual void getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) = 0;
    // Changes one attribute of the view in memory; nothing reaches the card
    // before commitChanges.
    virtual void setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) = 0;
    virtual void commitChanges(amw::CachedToken& token) = 0;
    // A null token throws InvalidArgumentException naming "token".
    virtual void destroyObjectFromCard(amw::CachedToken* token) = 0;

    CK_OBJECT_CLASS getObjectClass() const noexcept { return objectClass; }
    const StaticBuffer<128>& getPkcs11Id() const noexcept { return pkcs11Id; }

    // True when the object's value of the attribute equals the template's
    // bytes exactly. CKA_ALLOWED_MECHANISMS never matches. A read the class
    // refuses (invalid or sensitive type) passes its exception on.
    bool compareAttribute(const CK_ATTRIBUTE& attribute);

    // The copy rule:
    //   null length: InvalidArgumentException naming "attBufferSize";
    //   sourceLength > 0 with a null source: the same naming "srcBuffer";
    //   null buffer: length := sourceLength (a size query);
    //   length < sourceLength: length := CK_UNAVAILABLE_INFORMATION and
    //     AttributeBufferTooSmallException;
    //   otherwise copy, length := sourceLength, and log the bytes.
    static void copyBufferToAttributeBuffer(void* buffer, CK_ULONG* length, const void* source,
                                            CK_ULONG sourceLength);

protected:
    // Value helpers on top of the copy rule.
    static void copyUlong(void* buffer, CK_ULONG* length, CK_ULONG value);
    static void copyBool(void* buffer, CK_ULONG* length, bool value);
    template <std::size_t N>
    static void copyStaticBuffer(void* buffer, CK_ULONG* length, const StaticBuffer<N>& value) {
        copyBufferToAttributeBuffer(buffer, length, value.data, static_cast<CK_ULONG>(value.length));
    }
    // The label, or when it is empty the upper-case hexadecimal text of the
    // identifier.
    static void copyLabel(void* buffer, CK_ULONG* length, const StaticBuffer<128>& label,
                          const StaticBuffer<128>& pkcs11Id);
    // length := CK_UNAVAILABLE_INFORMATION; AttributeTypeInvalidException.
    [[noreturn]] static void invalidAttribute(CK_ATTRIBUTE_TYPE type, CK_ULONG* length);

private:
    CK_OBJECT_CLASS objectClass;
    StaticBuffer<128> pkcs11Id;
};

// One class's attribute list: which types it answers, which an application
// may write and up to which length.
class AttributeTable {
public:
    struct Rule {
        CK_ATTRIBUTE_TYPE type;
        bool writable = false;
        CK_ULONG maximumLength = 0;  // for writes
    };

    AttributeTable(std::initializer_list<Rule> rules);

    bool supports(CK_ATTRIBUTE_TYPE type) const noexcept;
    // The checks of an attribute write, in this order:
    //   null buffer: AttributValueInvalidException (invalid value);
    //   type not in the list: AttributeTypeInvalidException;
    //   type not writable: AttributeReadOnlyException;
    //   length above the maximum: AttributValueInvalidException (too big).
    void checkWrite(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) const;

private:
    const Rule* find(CK_ATTRIBUTE_TYPE type) const noexcept;
    std::vector<Rule> rules;  // ordered by type
};

// Walks a creation, generation or search template: each attribute is first
// checked against the types seen before it (TemplateInconsistentException
// for a repeated type), then handed to the caller. A null template with a
// non-zero count throws InvalidArgumentException naming "attributes".
class TemplateReader {
public:
    TemplateReader(const CK_ATTRIBUTE* attributes, CK_ULONG count);

    template <class Visit>
    void forEach(Visit visit) {
        std::set<CK_ATTRIBUTE_TYPE> seen;
        for (CK_ULONG i = 0; i < count; ++i) {
            checkNotSeen(seen, attributes[i].type);
            visit(attributes[i]);
        }
    }

    // Value rules of template parsers.
    // At most `maximum` bytes (too big otherwise), copied into `out`.
    template <std::size_t N>
    static void readBytes(const CK_ATTRIBUTE& attribute, CK_ULONG maximum, StaticBuffer<N>& out) {
        requireAtMost(attribute, maximum);
        requireValue(attribute);
        out.assign(attribute.pValue, attribute.ulValueLen);
    }
    // Exactly one byte; true only when it is 1.
    static bool readBool(const CK_ATTRIBUTE& attribute);
    // Exactly sizeof(CK_ULONG) bytes.
    static CK_ULONG readUlong(const CK_ATTRIBUTE& attribute);
    // AttributValueInvalidException "too big" when longer than `maximum`.
    static void requireAtMost(const CK_ATTRIBUTE& attribute, CK_ULONG maximum);
    // A value of a fixed size: too big or too small messages.
    static void requireExactly(const CK_ATTRIBUTE& attribute, CK_ULONG size);

private:
    static void checkNotSeen(std::set<CK_ATTRIBUTE_TYPE>& seen, CK_ATTRIBUTE_TYPE type);
    // A non-empty value with a null pointer is an invalid value.
    static void requireValue(const CK_ATTRIBUTE& attribute);

    const CK_ATTRIBUTE* attributes;
    CK_ULONG count;
};

// The upper-case hexadecimal text of the bytes, two digits per byte.
std::string hexText(const unsigned char* bytes, std::size_t length);
