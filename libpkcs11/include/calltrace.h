// How the Cryptoki functions write their calls into the trace log: the
// "Returning" line, caught exceptions, and the texts of parameters, outputs,
// templates and mechanisms. Every helper returns at once when logging is off
// and never allocates, so it may be used inside functions that must not throw.
#pragma once

#include <cstddef>

#include "cryptoki.h"
#include "vxexception.h"

// Wide text of bounded length for one traced value. Appending past the
// capacity cuts the text; it never overflows.
class TraceText {
public:
    // Enough for a mechanism with 1024 parameter bytes in hexadecimal.
    static constexpr std::size_t CAPACITY = 2200;

    TraceText() noexcept { text[0] = L'\0'; }
    void append(const wchar_t* format, ...) noexcept;
    // Upper-case hexadecimal digit pairs without separators.
    void appendHex(const void* data, std::size_t length) noexcept;
    const wchar_t* c_str() const noexcept { return text; }
    std::size_t length() const noexcept { return used; }

private:
    wchar_t text[CAPACITY];
    std::size_t used = 0;
};

// How a function's result is written when it returns.
enum class ReturnForm {
    NAMED,    // "CKR_OK [0] ", "CKR_ARGUMENTS_BAD [7] FUFU"
    NUMERIC,  // "84 [0x00000054]"
    NONE      // no "Returning" line at all
};

// Logs "Returning %ls" with the name of `rv`, its decimal value and "FUFU" for
// a failure; returns `rv` unchanged.
CK_RV logReturn(const wchar_t* facility, CK_RV rv) noexcept;
// Logs the result in the numeric form, or in the form given.
CK_RV logReturnNumeric(const wchar_t* facility, CK_RV rv) noexcept;
CK_RV logReturn(const wchar_t* facility, CK_RV rv, ReturnForm form) noexcept;

// Logs "EXCEPTION CAUGHT %s" with the exception's message.
void logException(const wchar_t* facility, const VxException& e) noexcept;

// Value texts.
// A scalar: decimal, then the value in hexadecimal: "12 [0x0000000c]".
TraceText formatUlong(CK_ULONG value) noexcept;
// "[CKA_LABEL, valueLen=3, value=414243]"; private-key components print as
// "***", values longer than 256 bytes are cut and marked " ...".
// With `hideValue`, CKA_VALUE prints as "***" too (the value of a private data
// object: applications keep secrets there); its length is still shown.
TraceText formatAttribute(const CK_ATTRIBUTE& attribute, bool hideValue = false) noexcept;
// "[mechanismType=1, ulParametrLen=0, pParametr=]", "NULL" for no mechanism.
TraceText formatMechanism(const CK_MECHANISM* mechanism) noexcept;
// An in/out count: "[address=0x..., value=6]", or "NULL".
TraceText formatUlongPointer(const CK_ULONG* pointer) noexcept;

// Whether the trace log is on. Text that is built before it reaches the
// logger (a TraceText, say) is built only when this says so: a call must not
// pay for formatting that nobody reads.
bool traceEnabled() noexcept;

// Parameter lines, all logged under the facility "PKCS11".
// "name = 12 [0x0000000c]"
void traceParameter(const wchar_t* name, CK_ULONG value) noexcept;
// "name = text"
void traceParameter(const wchar_t* name, const wchar_t* text) noexcept;
// Whether a pointer was given, under a name such as L"pApplication != 0":
// "pApplication != 0 = true".
void tracePresence(const wchar_t* name, const void* pointer) noexcept;
// "[OUT] name = 12 [0x0000000c]"
void traceOutput(const wchar_t* name, CK_ULONG value) noexcept;
// "[OUT] name = text"
void traceOutput(const wchar_t* name, const wchar_t* text) noexcept;
// One line per attribute, named "name[i]", for at most the first
// TEMPLATE_TRACE_LIMIT attributes; a missing array is logged as "name = NULL".
inline constexpr CK_ULONG TEMPLATE_TRACE_LIMIT = 64;
// `hideValue` as for formatAttribute.
void traceTemplate(const wchar_t* name, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                   bool hideValue = false) noexcept;
// The same as outputs: "[OUT] name[i] = ...".
void traceOutputTemplate(const wchar_t* name, const CK_ATTRIBUTE* attributes, CK_ULONG count,
                         bool hideValue = false) noexcept;
// "name = [mechanismType=...]"
void traceMechanism(const wchar_t* name, const CK_MECHANISM* mechanism) noexcept;
// "name = [address=0x..., value=...]"
void traceUlongPointer(const wchar_t* name, const CK_ULONG* pointer) noexcept;
