// The process environment every fuzz target runs in: a private temporary
// directory as HOME (so default cache files never land in a real profile)
// and a configuration file of its own (trace log off, unless
// ZENTRIK_FUZZ_LOG names a directory for it). Call once from
// LLVMFuzzerInitialize, before anything reads the configuration.
#pragma once

#include <string>

namespace fuzz {

// The private directory; created on the first call and removed at exit.
const std::string& prepareEnvironment();

// Writes `bytes` to `path` (replacing it); false when it could not.
bool writeFile(const std::string& path, const void* bytes, std::size_t size);

}  // namespace fuzz
