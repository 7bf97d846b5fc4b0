// The PKCS#11 module as the tool sees it: a library loaded with dlopen and
// its two function lists, initialised for the tool's lifetime.
#pragma once

#include <stdexcept>
#include <string>

#include "cryptoki.h"

namespace zentriktool {

// A Cryptoki function answered with something other than CKR_OK. `action`
// says what the tool was doing ("changing the PIN"); `detail` may add what
// the card reports.
class CryptokiError : public std::runtime_error {
public:
    CryptokiError(CK_RV rv, std::string action);
    CK_RV rv() const { return rv_; }
    const std::string& action() const { return action_; }
    std::string detail;

private:
    CK_RV rv_;
    std::string action_;
};

// Any other failure (no module, no card, a refused entry); the message says
// what went wrong and what to do.
class ToolFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void check(CK_RV rv, const char* action);

// The installed module when it exists, else the module of the build tree the
// tool came from.
std::string defaultModulePath();

class CardModule {
public:
    // Loads the module, takes both lists and calls C_Initialize.
    explicit CardModule(const std::string& path);
    // C_Finalize, then the library is unloaded.
    ~CardModule();
    CardModule(const CardModule&) = delete;
    CardModule& operator=(const CardModule&) = delete;

    CK_FUNCTION_LIST& p11() const { return *functions_; }
    CK_PRIVATE_FUNCTION_LIST& priv() const { return *privateFunctions_; }

private:
    void* handle_ = nullptr;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    CK_PRIVATE_FUNCTION_LIST_PTR privateFunctions_ = nullptr;
    bool initialised_ = false;
};

}  // namespace zentriktool
