// Asking for a PIN: on a terminal without echo, otherwise one line of
// standard input (so scripts can pipe PINs in).
#pragma once

#include "secret.h"

namespace zentriktool {

// Reads one PIN; the prompt goes to standard error. Throws std::runtime_error
// when standard input ends before a line was read.
void askSecret(const char* prompt, Secret& secret);
// A new PIN; on a terminal it is asked twice and must match.
void askNewSecret(const char* prompt, Secret& secret);

}  // namespace zentriktool
