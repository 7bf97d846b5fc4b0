#include "p11exceptions.h"

#include "cknames.h"

// Attribute types, handles and lengths are CK_ULONG, which is 64 bits wide on
// some platforms; they are printed as unsigned long so that no value is cut.

AttributeTypeInvalidException::AttributeTypeInvalidException(CK_ATTRIBUTE_TYPE type) noexcept
    : VxException("Invalid attribute type [type=%lu, %ls]", type, getCkaName(type)) {}

AttributeBufferTooSmallException::AttributeBufferTooSmallException(CK_ULONG actual,
                                                                   CK_ULONG expected) noexcept
    : VxException("Small buffer for storing P11 object attribute's value [actual=%lu, expected=%lu]",
                  actual, expected) {}

AttributeTypeSensitiveException::AttributeTypeSensitiveException(CK_ATTRIBUTE_TYPE type) noexcept
    : VxException("Attribute type is sensitive and can not be revealed [type=%lu, %ls]", type,
                  getCkaName(type)) {}

AttributeReadOnlyException::AttributeReadOnlyException(CK_ATTRIBUTE_TYPE type) noexcept
    : VxException("Attribute is read-only [type=%lu, %ls]", type, getCkaName(type)) {}

TemplateInconsistentException::TemplateInconsistentException(CK_ATTRIBUTE_TYPE type) noexcept
    : VxException("Template is inconsistent. Multiple occurence of attribute [type=%lu]", type) {}

TemplateIncompleteException::TemplateIncompleteException(CK_ATTRIBUTE_TYPE type) noexcept
    : VxException("Template is incomplete. Missing attribute type [type=0x%lX]", type) {}

AttributValueInvalidException AttributValueInvalidException::tooBig(CK_ATTRIBUTE_TYPE type,
                                                                    CK_ULONG actual,
                                                                    CK_ULONG maximum) noexcept {
    AttributValueInvalidException e;
    e.formatWith("Size of attribute value is too big [type=%lu, actual=%lu, maximum=%lu]", type,
                 actual, maximum);
    return e;
}

AttributValueInvalidException AttributValueInvalidException::tooSmall(CK_ATTRIBUTE_TYPE type,
                                                                      CK_ULONG actual,
                                                                      CK_ULONG minimum) noexcept {
    AttributValueInvalidException e;
    e.formatWith("Size of attribute value is too small [type=%lu, actual=%lu, minimum=%lu]", type,
                 actual, minimum);
    return e;
}

AttributValueInvalidException AttributValueInvalidException::invalidValue(
    CK_ATTRIBUTE_TYPE type) noexcept {
    AttributValueInvalidException e;
    e.formatWith("Invalid value of attribute [type=0x%0lX]", type);
    return e;
}

void AttributValueInvalidException::formatWith(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    formatMessage(format, args);
    va_end(args);
}

InvalidObjectHandleException::InvalidObjectHandleException(CK_OBJECT_HANDLE handle) noexcept
    : VxException("invalid CK_OBJECT_HANDLE [%lu]", handle) {}

InvalidSessionHandleException::InvalidSessionHandleException(CK_SESSION_HANDLE handle) noexcept
    : VxException("invalid CK_SESSION_HANDLE [%lu]", handle) {}

SlotNotFoundException::SlotNotFoundException(CK_SLOT_ID slotId) noexcept
    : VxException("invalid SLOT_ID %lu", slotId) {}

OperationNotInitialized::OperationNotInitialized(const char* operation) noexcept
    : VxException("The operation has not been inicalized: %s", operation ? operation : "") {}

LibraryNotInicializedException::LibraryNotInicializedException() noexcept
    : VxException("Library not initialized") {}

ReadWriteSoSessionExistsException::ReadWriteSoSessionExistsException() noexcept
    : VxException(
          "Application has already opened R/W session authenticated with SO, unable to login in.") {}

InvalidEncryptedDataLength::InvalidEncryptedDataLength(CK_ULONG length) noexcept
    : VxException("Invalid lenght of encrypted data [length=%lu]", length) {}

InvalidEncryptedData::InvalidEncryptedData(const char* reason) noexcept
    : VxException("Invalid format of encrypted data [%s]", reason ? reason : "") {}

InvalidPlainTextDataLength::InvalidPlainTextDataLength(CK_ULONG length) noexcept
    : VxException("Invalid lenght of plain text data [length=%lu]", length) {}

ReaderNotInSlotException::ReaderNotInSlotException(CK_SLOT_ID slotId) noexcept
    : VxException("The slot does not contain any reader [slotId=%lu]", slotId) {}

DefaultCertificateException::DefaultCertificateException() noexcept
    : VxException("Default certificate not found.") {}
