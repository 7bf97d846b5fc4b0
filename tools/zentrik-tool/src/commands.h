// The tool's commands. Each returns normally on success and throws
// CryptokiError, ToolFailure or UsageError otherwise.
#pragma once

#include "cardmodule.h"
#include "options.h"

namespace zentriktool {

void runInfo(const CardModule& module, Options& options);
void runChangePin(const CardModule& module, Options& options);
void runUnblockPin(const CardModule& module, Options& options);
void runDefaultCert(const CardModule& module, Options& options);
void runList(const CardModule& module, Options& options);

}  // namespace zentriktool
