// The secret-handling run of the card token whose trace log is searched for
// the secrets afterwards; shared by the in-process and the pcscd suites, each
// its own program with the trace log switched on by its configuration.
#pragma once

#include "amwferrix/token.h"
#include "tokenscenarios.h"

namespace tokentest {

// Needs a fresh card personalised with `options` and the applet selected.
void secretsStayOutOfTheTraceLog(amwferrix::Token& token, const CardOptions& options);

}  // namespace tokentest
