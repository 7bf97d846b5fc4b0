#include "cardmodule.h"

#include <dlfcn.h>
#include <unistd.h>

namespace zentriktool {

CryptokiError::CryptokiError(CK_RV rv, std::string action)
    : std::runtime_error(action), rv_(rv), action_(std::move(action)) {}

void check(CK_RV rv, const char* action) {
    if (rv != CKR_OK) throw CryptokiError(rv, action);
}

std::string defaultModulePath() {
    if (access(ZENTRIK_INSTALLED_MODULE, R_OK) == 0) return ZENTRIK_INSTALLED_MODULE;
    return ZENTRIK_BUILD_MODULE;
}

CardModule::CardModule(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw ToolFailure("cannot load the module " + path + ": " + dlerror() +
                          "\n  check the path given with --module, or install the module");
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    auto getPrivateList =
        reinterpret_cast<CK_C_GetPrivateFunctionList>(dlsym(handle_, "C_GetPrivateFunctionList"));
    if (getList == nullptr || getPrivateList == nullptr) {
        dlclose(handle_);
        throw ToolFailure(path + " is not a Zentrik module: it lacks C_GetFunctionList or "
                                 "C_GetPrivateFunctionList");
    }
    try {
        check(getList(&functions_), "getting the function list");
        check(getPrivateList(&privateFunctions_), "getting the private function list");
        check(functions_->C_Initialize(nullptr), "initialising the module");
    } catch (...) {
        dlclose(handle_);
        throw;
    }
    initialised_ = true;
}

// The module stays loaded until the process ends: it keeps a few objects for
// the life of the process (its lock and tables), and a tool that exits right
// afterwards gains nothing from unloading it.
CardModule::~CardModule() {
    if (initialised_) functions_->C_Finalize(nullptr);
}

}  // namespace zentriktool
