#include <memory>

#include "amw/dataobject.h"
#include "internal/p11objects/p11classes.h"
#include "internal/p11objects/p11content.h"
#include "logger.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

using p11content::AC_DEFAULT;
using p11content::AC_PUBLIC;
constexpr CK_ULONG TEXT_MAXIMUM = 128;

// The attributes of a data object. CKA_ID is not among them: applications
// cannot see or choose a data object's identifier.
const AttributeTable& attributeTable() {
    static const AttributeTable table{
        {CKA_CLASS},
        {CKA_TOKEN},
        {CKA_PRIVATE},
        {CKA_MODIFIABLE},
        {CKA_LABEL, true, TEXT_MAXIMUM},
        {CKA_APPLICATION, true, TEXT_MAXIMUM},
        {CKA_OBJECT_ID, true, TEXT_MAXIMUM},
        {CKA_VALUE, true, p11content::MAX_LENGTH},
    };
    return table;
}

const StaticBuffer<128>& identifierOf(const amw::DataObject* dataObject) {
    if (dataObject == nullptr) {
        throw InvalidArgumentException::nullPointer("dataObject", "P11DataObject::P11DataObject",
                                                    __FILE__, __LINE__);
    }
    return dataObject->getPkcs11Id();
}

// The view's object; after destroyObjectFromCard there is none.
amw::DataObject& live(amw::DataObject* dataObject) {
    if (dataObject == nullptr) throw InternalErrorException("the data object has been destroyed");
    return *dataObject;
}

// What a creation template sets; everything else in it is ignored.
struct NewDataObject {
    bool isPrivate = false;
    StaticBuffer<128> label;
    StaticBuffer<128> application;
    StaticBuffer<128> objectId;
    // 64 KiB: kept off the stack.
    std::unique_ptr<amw::DataStorage::Content> value =
        std::make_unique<amw::DataStorage::Content>();

    NewDataObject() = default;
    NewDataObject(const NewDataObject&) = delete;
    NewDataObject& operator=(const NewDataObject&) = delete;
    // The value may be private: zeroed like a PIN before the memory goes.
    ~NewDataObject() {
        if (value) value->clear();
    }

    void read(const CK_ATTRIBUTE& attribute) {
        switch (attribute.type) {
            case CKA_PRIVATE: isPrivate = TemplateReader::readBool(attribute); break;
            case CKA_LABEL: TemplateReader::readBytes(attribute, TEXT_MAXIMUM, label); break;
            case CKA_APPLICATION:
                TemplateReader::readBytes(attribute, TEXT_MAXIMUM, application);
                break;
            case CKA_OBJECT_ID: TemplateReader::readBytes(attribute, TEXT_MAXIMUM, objectId); break;
            case CKA_VALUE:
                TemplateReader::readBytes(attribute, p11content::MAX_LENGTH, *value);
                break;
            default: break;
        }
    }
};

}  // namespace

P11DataObject::P11DataObject(amw::DataObject* dataObject_)
    : P11Object(CKO_DATA, identifierOf(dataObject_)), dataObject(dataObject_) {}

bool P11DataObject::supportsAttributeType(CK_ATTRIBUTE_TYPE type) {
    return attributeTable().supports(type);
}

void P11DataObject::getAttributeValue(CK_ATTRIBUTE_TYPE type, void* buffer, CK_ULONG* length) {
    amw::DataObject& object = live(dataObject);
    switch (type) {
        case CKA_CLASS: return copyUlong(buffer, length, CKO_DATA);
        case CKA_TOKEN: return copyBool(buffer, length, true);
        case CKA_MODIFIABLE: return copyBool(buffer, length, true);
        case CKA_PRIVATE: return copyBool(buffer, length, object.isPrivateContent());
        case CKA_LABEL: return copyLabel(buffer, length, object.getLabel(), getPkcs11Id());
        case CKA_APPLICATION: return copyStaticBuffer(buffer, length, object.getApplication());
        case CKA_OBJECT_ID: return copyStaticBuffer(buffer, length, object.getObjectId());
        case CKA_VALUE: return p11content::copyContent(object, buffer, length);
        default: invalidAttribute(type, length);
    }
}

void P11DataObject::setAttributeValue(CK_ATTRIBUTE_TYPE type, const void* buffer, CK_ULONG length) {
    attributeTable().checkWrite(type, buffer, length);
    amw::DataObject& object = live(dataObject);
    switch (type) {
        case CKA_LABEL: object.setLabel(StaticBuffer<128>(buffer, length)); break;
        case CKA_APPLICATION: object.setApplication(StaticBuffer<128>(buffer, length)); break;
        case CKA_OBJECT_ID: object.setObjectId(StaticBuffer<128>(buffer, length)); break;
        case CKA_VALUE:
            p11content::setContent(object, buffer, length);
            contentModified = true;
            break;
        default:
            // Every writable type of the table is handled above.
            throw InternalErrorException("P11DataObject: unhandled writable attribute [type=%lu]",
                                         static_cast<unsigned long>(type));
    }
}

void P11DataObject::commitChanges(amw::CachedToken& token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "P11DataObject::commitChanges");
    amw::DataObject& object = live(dataObject);
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
    if (!contentModified) {
        object.commitCreationOrMetadataChanges();
        return;
    }
    const auto deleteObject = [&token](amw::DataObject* doomed) { token.deleteDataObject(doomed); };
    amw::interruptedwrite::settleEveryKind(token);
    dataObject = amw::interruptedwrite::replaceValue(
        token, object,
        [&](const StaticBuffer<128>& markedId) {
            // The replacement keeps the conditions the original has, which
            // other software may have chosen.
            std::vector<std::uint16_t> access = object.getCreationAccessConditions();
            if (access.size() != 4) {
                access = {AC_DEFAULT, object.isPrivateContent() ? AC_DEFAULT : AC_PUBLIC, AC_DEFAULT,
                          AC_DEFAULT};
            }
            return token.createDataObject(object.getLabel(), markedId, object.getObjectId(),
                                          object.getApplication(), access[0], access[1], access[2],
                                          access[3]);
        },
        deleteObject);
    contentModified = false;
}

void P11DataObject::destroyObjectFromCard(amw::CachedToken* token) {
    TraceScope trace(LOG_FACILITY_PKCS11, "P11DataObject::destroyObjectFromCard");
    if (token == nullptr) {
        throw InvalidArgumentException::nullPointer("token", "P11DataObject::destroyObjectFromCard",
                                                    __FILE__, __LINE__);
    }
    amw::DataObject& object = live(dataObject);
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
    // First, so that a replacement that was cut off after its value was
    // written cannot take the place of the object destroyed now.
    amw::interruptedwrite::settleEveryKind(*token);
    token->deleteDataObject(&object);
    // The token's list owned the object.
    dataObject = nullptr;
}

StaticBuffer<128> P11DataObject::createObject(amw::CachedToken& token,
                                              const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    TraceScope trace(LOG_FACILITY_PKCS11, "P11DataObject::createObject");
    NewDataObject fields;
    TemplateReader(attributes, count).forEach([&](const CK_ATTRIBUTE& a) { fields.read(a); });

    StaticBuffer<128> id;
    token.generatePkcs11Id(id);
    token.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
    const auto deleteObject = [&token](amw::DataObject* doomed) { token.deleteDataObject(doomed); };
    amw::interruptedwrite::settleEveryKind(token);
    amw::DataObject* created = token.createDataObject(
        fields.label, amw::interruptedwrite::creationId(id, fields.value->size()), fields.objectId,
        fields.application, AC_DEFAULT, fields.isPrivate ? AC_DEFAULT : AC_PUBLIC, AC_DEFAULT,
        AC_DEFAULT);
    amw::interruptedwrite::commitNewObject(*created, id, fields.value->data, fields.value->size(), deleteObject);
    return id;
}
