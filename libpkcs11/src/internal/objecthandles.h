// The module's object handles: one table for the whole module that turns a
// CK_OBJECT_HANDLE into the identity of a card object (the card, the
// object's PKCS#11 identifier and its Cryptoki class).
//
// One card object has one live handle per class: a search, a creation or a
// generation that meets an object which already has a handle hands out that
// handle again, so an application that searches every few seconds does not
// make the table grow. Handles come from a counter (never 0, never handed
// out twice while the module is loaded) and stay valid across sessions and
// after the search that produced them; a handle is dropped when its object
// is destroyed or found gone.
//
// No lock of its own: every caller holds the module-wide lock.
#pragma once

#include <string>

#include "amw/token.h"
#include "calltrace.h"
#include "cryptoki.h"
#include "staticbuffer.h"

struct ObjectIdentity {
    amw::CardId cardId{};
    StaticBuffer<128> pkcs11Id;
    CK_OBJECT_CLASS objectClass = CKO_DATA;

    // "[type=<class> id=<hex>]"
    TraceText describe() const noexcept;
};

class ObjectHandles {
public:
    ObjectHandles() = delete;

    // The identity's live handle, made now if it has none.
    static CK_OBJECT_HANDLE handleFor(const ObjectIdentity& identity);
    // Null for a handle that is not (or no longer) live.
    static const ObjectIdentity* find(CK_OBJECT_HANDLE handle) noexcept;
    static void remove(CK_OBJECT_HANDLE handle) noexcept;
    // Drops the handle of this identity, if it has one.
    static void remove(const ObjectIdentity& identity) noexcept;
    static std::size_t size() noexcept;
};
