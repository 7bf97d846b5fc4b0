#include "calltrace.h"

#include <cstdarg>
#include <cstdint>
#include <cwchar>

#include "cknames.h"
#include "logger.h"

namespace {

// Attribute values are dumped up to this many bytes, mechanism parameters up
// to MECHANISM_DUMP_LIMIT.
constexpr std::size_t ATTRIBUTE_DUMP_LIMIT = 256;
constexpr std::size_t MECHANISM_DUMP_LIMIT = 1024;

bool loggingEnabled() noexcept { return Logger::instance().isEnabled(); }

// CKA_PRIVATE_EXPONENT to CKA_COEFFICIENT never reach the log.
bool isPrivateKeyComponent(CK_ATTRIBUTE_TYPE type) noexcept {
    return type >= CKA_PRIVATE_EXPONENT && type <= CKA_COEFFICIENT;
}

}  // namespace

bool traceEnabled() noexcept { return loggingEnabled(); }

void TraceText::append(const wchar_t* format, ...) noexcept {
    if (used + 1 >= CAPACITY) {
        return;
    }
    va_list args;
    va_start(args, format);
    int written = std::vswprintf(text + used, CAPACITY - used, format, args);
    va_end(args);
    if (written < 0) {
        // The text did not fit (or could not be formatted): keep what was
        // there before, terminated.
        text[used] = L'\0';
        return;
    }
    // Some C runtimes answer a cut text with the length the whole text would
    // have had; what is in the buffer is then only its start.
    if (static_cast<std::size_t>(written) >= CAPACITY - used) {
        used = CAPACITY - 1;
        text[used] = L'\0';
        return;
    }
    used += static_cast<std::size_t>(written);
}

void TraceText::appendHex(const void* data, std::size_t length) noexcept {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length && used + 2 < CAPACITY; ++i) {
        text[used++] = digits[bytes[i] >> 4];
        text[used++] = digits[bytes[i] & 0x0F];
    }
    text[used] = L'\0';
}

CK_RV logReturn(const wchar_t* facility, CK_RV rv) noexcept {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        TraceText result;
        result.append(L"%ls [%lu] %ls", getCkrName(rv), rv, rv != CKR_OK ? L"FUFU" : L"");
        logger.log(facility, L"Returning %ls", result.c_str());
    }
    return rv;
}

CK_RV logReturnNumeric(const wchar_t* facility, CK_RV rv) noexcept {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.log(facility, L"Returning %ls", formatUlong(rv).c_str());
    }
    return rv;
}

CK_RV logReturn(const wchar_t* facility, CK_RV rv, ReturnForm form) noexcept {
    switch (form) {
        case ReturnForm::NAMED:
            return logReturn(facility, rv);
        case ReturnForm::NUMERIC:
            return logReturnNumeric(facility, rv);
        case ReturnForm::NONE:
            break;
    }
    return rv;
}

void logException(const wchar_t* facility, const VxException& e) noexcept {
    Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        logger.log(facility, L"EXCEPTION CAUGHT %s", e.what());
    }
}

TraceText formatUlong(CK_ULONG value) noexcept {
    TraceText text;
    text.append(L"%lu [0x%08lx]", value, value);
    return text;
}

TraceText formatAttribute(const CK_ATTRIBUTE& attribute, bool hideValue) noexcept {
    TraceText text;
    text.append(L"[%ls, valueLen=%lu, value=", getCkaName(attribute.type), attribute.ulValueLen);
    if (attribute.pValue == nullptr) {
        text.append(L"NULL");
    } else if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        // A refused read: the buffer holds nothing of ours, and its size is
        // no longer known.
        text.append(L"?");
    } else if (isPrivateKeyComponent(attribute.type) || (hideValue && attribute.type == CKA_VALUE)) {
        text.append(L"***");
    } else if (attribute.ulValueLen > ATTRIBUTE_DUMP_LIMIT) {
        text.appendHex(attribute.pValue, ATTRIBUTE_DUMP_LIMIT);
        text.append(L" ...");
    } else {
        text.appendHex(attribute.pValue, attribute.ulValueLen);
    }
    text.append(L"]");
    return text;
}

TraceText formatMechanism(const CK_MECHANISM* mechanism) noexcept {
    TraceText text;
    if (mechanism == nullptr) {
        text.append(L"NULL");
        return text;
    }
    text.append(L"[mechanismType=%lu, ulParametrLen=%lu, pParametr=", mechanism->mechanism,
                mechanism->ulParameterLen);
    if (mechanism->pParameter != nullptr) {
        std::size_t length = mechanism->ulParameterLen < MECHANISM_DUMP_LIMIT
                                 ? mechanism->ulParameterLen
                                 : MECHANISM_DUMP_LIMIT;
        text.appendHex(mechanism->pParameter, length);
    }
    text.append(L"]");
    return text;
}

TraceText formatUlongPointer(const CK_ULONG* pointer) noexcept {
    TraceText text;
    if (pointer == nullptr) {
        text.append(L"NULL");
    } else {
        text.append(L"[address=0x%llx, value=%lu]",
                    static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)),
                    *pointer);
    }
    return text;
}

void traceParameter(const wchar_t* name, CK_ULONG value) noexcept {
    if (loggingEnabled()) {
        Logger::instance().log(LOG_FACILITY_PKCS11, L"%ls = %ls", name, formatUlong(value).c_str());
    }
}

void traceParameter(const wchar_t* name, const wchar_t* text) noexcept {
    if (loggingEnabled()) {
        Logger::instance().log(LOG_FACILITY_PKCS11, L"%ls = %ls", name, text);
    }
}

void tracePresence(const wchar_t* name, const void* pointer) noexcept {
    traceParameter(name, pointer != nullptr ? L"true" : L"false");
}

void traceOutput(const wchar_t* name, CK_ULONG value) noexcept {
    if (loggingEnabled()) {
        Logger::instance().log(LOG_FACILITY_PKCS11, L"[OUT] %ls = %ls", name,
                               formatUlong(value).c_str());
    }
}

void traceOutput(const wchar_t* name, const wchar_t* text) noexcept {
    if (loggingEnabled()) {
        Logger::instance().log(LOG_FACILITY_PKCS11, L"[OUT] %ls = %ls", name, text);
    }
}

namespace {

void traceTemplateLines(const wchar_t* prefix, const wchar_t* name, const CK_ATTRIBUTE* attributes,
                        CK_ULONG count, bool hideValue) noexcept {
    if (!loggingEnabled()) {
        return;
    }
    if (attributes == nullptr) {
        Logger::instance().log(LOG_FACILITY_PKCS11, L"%ls%ls = NULL", prefix, name);
        return;
    }
    const CK_ULONG traced = count < TEMPLATE_TRACE_LIMIT ? count : TEMPLATE_TRACE_LIMIT;
    for (CK_ULONG i = 0; i < traced; ++i) {
        TraceText element;
        element.append(L"%ls[%lu]", name, i);
        Logger::instance().log(LOG_FACILITY_PKCS11, L"%ls%ls = %ls", prefix, element.c_str(),
                               formatAttribute(attributes[i], hideValue).c_str());
    }
}

}  // namespace

void traceTemplate(const wchar_t* name, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                   bool hideValue) noexcept {
    traceTemplateLines(L"", name, attributes, count, hideValue);
}

void traceOutputTemplate(const wchar_t* name, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                         bool hideValue) noexcept {
    traceTemplateLines(L"[OUT] ", name, attributes, count, hideValue);
}

void traceMechanism(const wchar_t* name, const CK_MECHANISM* mechanism) noexcept {
    if (loggingEnabled()) {
        traceParameter(name, formatMechanism(mechanism).c_str());
    }
}

void traceUlongPointer(const wchar_t* name, const CK_ULONG* pointer) noexcept {
    if (loggingEnabled()) {
        traceParameter(name, formatUlongPointer(pointer).c_str());
    }
}
