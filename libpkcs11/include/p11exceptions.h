// Exceptions of the Cryptoki layer. Each class exists to be caught by type in
// the call frame, which turns it into its CK_RV; the constructors build the
// fixed message texts from the values that describe the failure.
#pragma once

#include "cryptoki.h"
#include "vxexception.h"

// CKR_ATTRIBUTE_TYPE_INVALID: "Invalid attribute type [type=%d, %ls]"
class AttributeTypeInvalidException : public VxException {
public:
    explicit AttributeTypeInvalidException(CK_ATTRIBUTE_TYPE type) noexcept;
};

// CKR_BUFFER_TOO_SMALL: "Small buffer for storing P11 object attribute's value
// [actual=%d, expected=%d]"
class AttributeBufferTooSmallException : public VxException {
public:
    AttributeBufferTooSmallException(CK_ULONG actual, CK_ULONG expected) noexcept;
};

// CKR_ATTRIBUTE_SENSITIVE
class AttributeTypeSensitiveException : public VxException {
public:
    explicit AttributeTypeSensitiveException(CK_ATTRIBUTE_TYPE type) noexcept;
};

// CKR_ATTRIBUTE_READ_ONLY
class AttributeReadOnlyException : public VxException {
public:
    explicit AttributeReadOnlyException(CK_ATTRIBUTE_TYPE type) noexcept;
};

// CKR_TEMPLATE_INCONSISTENT: an attribute occurs more than once.
class TemplateInconsistentException : public VxException {
public:
    explicit TemplateInconsistentException(CK_ATTRIBUTE_TYPE type) noexcept;
};

// CKR_TEMPLATE_INCOMPLETE: a required attribute is missing.
class TemplateIncompleteException : public VxException {
public:
    explicit TemplateIncompleteException(CK_ATTRIBUTE_TYPE type) noexcept;
};

// CKR_ATTRIBUTE_VALUE_INVALID. Built through the three factories, one per
// message shape.
class AttributValueInvalidException : public VxException {
public:
    AttributValueInvalidException() noexcept = default;
    static AttributValueInvalidException tooBig(CK_ATTRIBUTE_TYPE type, CK_ULONG actual,
                                                CK_ULONG maximum) noexcept;
    static AttributValueInvalidException tooSmall(CK_ATTRIBUTE_TYPE type, CK_ULONG actual,
                                                  CK_ULONG minimum) noexcept;
    static AttributValueInvalidException invalidValue(CK_ATTRIBUTE_TYPE type) noexcept;

private:
    void formatWith(const char* format, ...) noexcept VX_PRINTF_FORMAT(2, 3);
};

// CKR_OBJECT_HANDLE_INVALID
class InvalidObjectHandleException : public VxException {
public:
    explicit InvalidObjectHandleException(CK_OBJECT_HANDLE handle) noexcept;
};

// CKR_SESSION_HANDLE_INVALID
class InvalidSessionHandleException : public VxException {
public:
    explicit InvalidSessionHandleException(CK_SESSION_HANDLE handle) noexcept;
};

// CKR_SLOT_ID_INVALID
class SlotNotFoundException : public VxException {
public:
    explicit SlotNotFoundException(CK_SLOT_ID slotId) noexcept;
};

// CKR_OPERATION_NOT_INITIALIZED; `operation` names the operation.
class OperationNotInitialized : public VxException {
public:
    explicit OperationNotInitialized(const char* operation) noexcept;
};

// CKR_CRYPTOKI_NOT_INITIALIZED
class LibraryNotInicializedException : public VxException {
public:
    LibraryNotInicializedException() noexcept;
};

// CKR_SESSION_READ_WRITE_SO_EXISTS
class ReadWriteSoSessionExistsException : public VxException {
public:
    ReadWriteSoSessionExistsException() noexcept;
};

// CKR_ENCRYPTED_DATA_LEN_RANGE
class InvalidEncryptedDataLength : public VxException {
public:
    explicit InvalidEncryptedDataLength(CK_ULONG length) noexcept;
};

// CKR_ENCRYPTED_DATA_INVALID; `reason` says what is wrong with the block.
class InvalidEncryptedData : public VxException {
public:
    explicit InvalidEncryptedData(const char* reason) noexcept;
};

// CKR_DATA_LEN_RANGE
class InvalidPlainTextDataLength : public VxException {
public:
    explicit InvalidPlainTextDataLength(CK_ULONG length) noexcept;
};

// The following have no return value of their own and end as
// CKR_FUNCTION_FAILED.

// A slot exists but no reader is bound to it.
class ReaderNotInSlotException : public VxException {
public:
    explicit ReaderNotInSlotException(CK_SLOT_ID slotId) noexcept;
};

// The card has no default certificate container.
class DefaultCertificateException : public VxException {
public:
    DefaultCertificateException() noexcept;
};
