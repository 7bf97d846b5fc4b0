#include "loadedmodule.h"

#include <dlfcn.h>

#include <cstdlib>
#include <stdexcept>

std::string modulePathUnderTest() {
    const char* overridden = std::getenv("ZENTRIK_MODULE_UNDER_TEST");
    return overridden != nullptr && overridden[0] != '\0' ? overridden : ZENTRIK_MODULE_PATH;
}

LoadedModule& LoadedModule::instance() {
    static LoadedModule module;
    return module;
}

LoadedModule::LoadedModule() : modulePath(modulePathUnderTest()) {
    handle = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error(std::string("dlopen failed: ") + dlerror());
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(symbol("C_GetFunctionList"));
    auto getPrivateList =
        reinterpret_cast<CK_C_GetPrivateFunctionList>(symbol("C_GetPrivateFunctionList"));
    if (getList == nullptr || getPrivateList == nullptr || getList(&functions) != CKR_OK ||
        getPrivateList(&privateFunctions) != CKR_OK) {
        throw std::runtime_error("the module does not hand out its function lists");
    }
}

void* LoadedModule::symbol(const char* name) const { return dlsym(handle, name); }
