#include "internal/p11objects/p11content.h"

#include <cstring>

#include "internal/p11objects/p11object.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace p11content {

void copyContent(amw::DataStorage& storage, void* buffer, CK_ULONG* length) {
    if (length == nullptr) {
        throw InvalidArgumentException::nullPointer("attBufferSize", "p11content::copyContent",
                                                    __FILE__, __LINE__);
    }
    if (buffer == nullptr) {
        *length = storage.getContentSize();
        return;
    }
    const amw::DataStorage::Content& content = storage.getContent();
    const auto size = static_cast<CK_ULONG>(content.size());
    if (!storage.isPrivateContent()) {
        P11Object::copyBufferToAttributeBuffer(buffer, length, content.data, size);
        return;
    }
    // The copy rule without its trace of the bytes: private content is
    // readable only after login and stays out of the log.
    if (*length < size) {
        const CK_ULONG given = *length;
        *length = CK_UNAVAILABLE_INFORMATION;
        throw AttributeBufferTooSmallException(given, size);
    }
    *length = size;
    if (size > 0) std::memcpy(buffer, content.data, size);
}

void setContent(amw::DataStorage& storage, const void* buffer, CK_ULONG length) {
    if (length > MAX_LENGTH) {
        throw AttributValueInvalidException::tooBig(CKA_VALUE, length, MAX_LENGTH);
    }
    storage.setContent(static_cast<const std::uint8_t*>(buffer), length);
}

}  // namespace p11content
