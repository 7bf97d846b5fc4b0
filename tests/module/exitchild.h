// A second role of the module test program: a child that loads the module,
// leaves it in a chosen state and lets the process exit, as applications do
// that finalise (or not) from their own exit handlers.
#pragma once

namespace exitchild {

// Name of the environment variable that selects the child role, and its values.
inline constexpr const char* ENVIRONMENT_VARIABLE = "ZENTRIK_MODULE_TEST_EXIT_CHILD";
inline constexpr const char* UNINITIALIZED_FINALIZE_AT_EXIT = "uninitialized-finalize-at-exit";
inline constexpr const char* INITIALIZED_FINALIZE_AT_EXIT = "initialized-finalize-at-exit";
inline constexpr const char* INITIALIZED_NO_FINALIZE = "initialized-no-finalize";

// Runs the child role named by `mode` and returns main()'s exit code. Prints
// "C_Initialize <rv>" and, from an exit handler registered before the module
// was loaded (so it runs after the module's static destructors),
// "C_Finalize at exit <rv>".
int run(const char* mode);

}  // namespace exitchild
