#include "internal/objecthandles.h"

#include <map>

#include "internal/p11objects/p11object.h"

namespace {

std::string keyOf(const ObjectIdentity& identity) {
    std::string key(reinterpret_cast<const char*>(identity.cardId.data()), identity.cardId.size());
    key += static_cast<char>(identity.objectClass);
    key.append(reinterpret_cast<const char*>(identity.pkcs11Id.data), identity.pkcs11Id.size());
    return key;
}

struct Table {
    std::map<CK_OBJECT_HANDLE, ObjectIdentity> identities;
    std::map<std::string, CK_OBJECT_HANDLE> handles;
    // CK_OBJECT_HANDLE is 32 bits wide on some platforms; the counter is kept
    // to that width everywhere.
    std::uint32_t lastHandle = 0;
};

// Never destroyed: handles outlive C_Finalize, and applications may call in
// from exit handlers after the module's statics are gone.
Table& table() {
    static Table* instance = new Table;
    return *instance;
}

}  // namespace

TraceText ObjectIdentity::describe() const noexcept {
    TraceText text;
    try {
        text.append(L"[type=%lu id=%s]", static_cast<unsigned long>(objectClass),
                    hexText(pkcs11Id.data, pkcs11Id.size()).c_str());
    } catch (...) {
        text.append(L"[type=%lu]", static_cast<unsigned long>(objectClass));
    }
    return text;
}

CK_OBJECT_HANDLE ObjectHandles::handleFor(const ObjectIdentity& identity) {
    Table& t = table();
    const std::string key = keyOf(identity);
    auto existing = t.handles.find(key);
    if (existing != t.handles.end()) return existing->second;
    do {
        ++t.lastHandle;
    } while (t.lastHandle == 0 || t.identities.count(t.lastHandle) != 0);
    const CK_OBJECT_HANDLE handle = t.lastHandle;
    t.identities.emplace(handle, identity);
    t.handles.emplace(key, handle);
    return handle;
}

const ObjectIdentity* ObjectHandles::find(CK_OBJECT_HANDLE handle) noexcept {
    Table& t = table();
    auto found = t.identities.find(handle);
    return found == t.identities.end() ? nullptr : &found->second;
}

void ObjectHandles::remove(CK_OBJECT_HANDLE handle) noexcept {
    Table& t = table();
    auto found = t.identities.find(handle);
    if (found == t.identities.end()) return;
    try {
        t.handles.erase(keyOf(found->second));
    } catch (...) {
    }
    t.identities.erase(found);
}

void ObjectHandles::remove(const ObjectIdentity& identity) noexcept {
    try {
        Table& t = table();
        auto found = t.handles.find(keyOf(identity));
        if (found == t.handles.end()) return;
        t.identities.erase(found->second);
        t.handles.erase(found);
    } catch (...) {
    }
}

std::size_t ObjectHandles::size() noexcept { return table().identities.size(); }
