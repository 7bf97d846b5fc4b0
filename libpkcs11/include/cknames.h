// Symbolic names of return values and attribute types, for the trace log and
// exception messages only.
#pragma once

#include "cryptoki.h"

// The wide name of a return value ("CKR_OK", ...), "(???)" for a value the
// module does not know.
const wchar_t* getCkrName(CK_RV rv) noexcept;

// The wide name of an attribute type ("CKA_CLASS", ...), "(???)" for a type
// the module does not know.
const wchar_t* getCkaName(CK_ATTRIBUTE_TYPE type) noexcept;
