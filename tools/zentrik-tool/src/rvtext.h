// What a Cryptoki result means to the person at the keyboard.
#pragma once

#include <string>

#include "cryptoki.h"

namespace zentriktool {

// "CKR_PIN_INCORRECT"; codes the tool does not expect give "CKR_0x...".
std::string rvName(CK_RV rv);
// What happened and what to do, in one sentence.
const char* rvAdvice(CK_RV rv);

}  // namespace zentriktool
