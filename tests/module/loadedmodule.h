// The built module, loaded the way applications load it: dlopen, then the
// function lists through the exported entry points only.
#pragma once

#include <string>

#include "cryptoki.h"

class LoadedModule {
public:
    // Loads the module once per process; later calls return the same one.
    static LoadedModule& instance();

    CK_FUNCTION_LIST_PTR list() const { return functions; }
    CK_PRIVATE_FUNCTION_LIST_PTR privateList() const { return privateFunctions; }
    // The exported symbols themselves, looked up by name.
    void* symbol(const char* name) const;
    const std::string& path() const { return modulePath; }

private:
    LoadedModule();

    std::string modulePath;
    void* handle = nullptr;
    CK_FUNCTION_LIST_PTR functions = nullptr;
    CK_PRIVATE_FUNCTION_LIST_PTR privateFunctions = nullptr;
};

// The path of the built module under test.
std::string modulePathUnderTest();
