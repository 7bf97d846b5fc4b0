// A host program as a set-user-ID or set-group-ID one (sudo, su with a
// smart-card login module) runs it: the test makes a copy of it set-group-ID
// and runs it from a user whose environment names a configuration, a home
// and so directories to write to. It loads the module, logs in on slot 0
// and lists the objects, then prints what it saw:
//   secure=<AT_SECURE> slots=<number of slots> login=<CK_RV> objects=<count>
// or, when C_Initialize fails, secure=<AT_SECURE> initialize=<CK_RV>.
// Usage: privilegedhost MODULE PIN
#include <dlfcn.h>
#include <sys/auxv.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cryptoki.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: privilegedhost MODULE PIN\n");
        return 2;
    }
    void* module = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 1;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    if (getList == nullptr || getList(&p11) != CKR_OK) return 1;
    const unsigned long secure = ::getauxval(AT_SECURE);
    const CK_RV initialized = p11->C_Initialize(nullptr);
    if (initialized != CKR_OK) {
        std::printf("secure=%lu initialize=0x%lx\n", secure, static_cast<unsigned long>(initialized));
        return 1;
    }
    CK_ULONG slots = 0;
    p11->C_GetSlotList(CK_FALSE, nullptr, &slots);
    CK_SESSION_HANDLE session = 0;
    CK_RV login = p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    if (login == CKR_OK) {
        login = p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(argv[2]),
                             std::strlen(argv[2]));
    }
    CK_ULONG objects = 0;
    if (login == CKR_OK && p11->C_FindObjectsInit(session, nullptr, 0) == CKR_OK) {
        CK_OBJECT_HANDLE handle = 0;
        CK_ULONG found = 0;
        while (p11->C_FindObjects(session, &handle, 1, &found) == CKR_OK && found == 1) ++objects;
        p11->C_FindObjectsFinal(session);
    }
    p11->C_Finalize(nullptr);
    std::printf("secure=%lu slots=%lu login=0x%lx objects=%lu\n", secure,
                static_cast<unsigned long>(slots), static_cast<unsigned long>(login),
                static_cast<unsigned long>(objects));
    return 0;
}
