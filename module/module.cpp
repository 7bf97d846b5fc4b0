// The shared library's own translation unit. The module's code is the
// Cryptoki layer linked in whole; loading runs only its static initialisers
// (the locks and empty tables) and never fails.
#include <type_traits>

#include "cryptoki.h"

// Applications call the three exports through the list entry types, so their
// signatures must be exactly those types.
static_assert(std::is_same_v<decltype(&C_GetFunctionList), CK_C_GetFunctionList>);
static_assert(std::is_same_v<decltype(&C_Initialize), CK_C_Initialize>);
static_assert(std::is_same_v<decltype(&C_GetPrivateFunctionList), CK_C_GetPrivateFunctionList>);
