// One open Cryptoki session: its kind, the slot it was opened on and the
// values the application gave when opening it (kept, never called back).
// Sessions are owned by the session manager.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "calltrace.h"
#include "cryptoki.h"
#include "internal/mechanisms.h"
#include "internal/objecthandles.h"
#include "messagedigest.h"

class Slot;
class SessionConnection;
class P11Object;
namespace amw {
class CachedToken;
}

class Session {
public:
    enum State : std::uint32_t { RO_SESSION = 0, RW_SESSION = 1, INVALID = 2 };

    Session(CK_SESSION_HANDLE handle, State state, Slot* slot, CK_VOID_PTR application,
            CK_NOTIFY notify) noexcept;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    CK_SESSION_HANDLE getHandle() const noexcept { return handle; }
    State getState() const noexcept { return state; }
    void setState(State value) noexcept { state = value; }
    Slot* getSlot() const noexcept { return slot; }
    bool isReadOnly() const noexcept { return state == RO_SESSION; }

    // The slot's connection; InternalErrorException for an invalidated
    // session, whose slot may hold another card's connection by now.
    SessionConnection& getSessionConnection() const;

    // Object search. findObjects gathers the identities of the token's
    // objects that match the template and are visible to the slot's login
    // (private keys and private data objects only when somebody is logged
    // in); an active search is replaced. getNextFoundObject hands out their
    // handles one by one, 0 at the end. Without an active search both
    // getNextFoundObject and findObjectsFinal throw OperationNotInitialized.
    void findObjects(amw::CachedToken& token, const CK_ATTRIBUTE* attributes, CK_ULONG count);
    CK_OBJECT_HANDLE getNextFoundObject();
    void findObjectsFinal();
    bool isSearchActive() const noexcept { return foundObjects.has_value(); }

    // A view of the handle's object over the call's token, owned by the
    // caller. A handle whose object is gone is dropped and reported as
    // invalid (InvalidObjectHandleException).
    std::unique_ptr<P11Object> getObject(amw::CachedToken* token, CK_OBJECT_HANDLE hObject);
    // getObject for reading, changing and destroying an object: while nobody
    // is logged in a private object is out of reach as if its handle named
    // nothing (InvalidObjectHandleException), as in a search. The handle is
    // kept and works again after a login.
    std::unique_ptr<P11Object> getVisibleObject(amw::CachedToken& token, CK_OBJECT_HANDLE hObject);
    // Writes a new object of the template's class to the card.
    CK_OBJECT_HANDLE createObject(amw::CachedToken& token, const CK_ATTRIBUTE* attributes,
                                  CK_ULONG count);
    void destroyObject(amw::CachedToken& token, CK_OBJECT_HANDLE hObject);
    // Has the card generate an RSA key pair described by the two templates
    // (the public one must give CKA_MODULUS_BITS), gives it a container
    // record, and returns the handles of its two halves. The identifier comes
    // from either template (both must agree) or is made new; one already on
    // the card is refused.
    void generateKeyPair(amw::CachedToken& token, const CK_ATTRIBUTE* publicKeyTemplate,
                         CK_ULONG publicCount, const CK_ATTRIBUTE* privateKeyTemplate,
                         CK_ULONG privateCount, CK_OBJECT_HANDLE* hPublicKey,
                         CK_OBJECT_HANDLE* hPrivateKey);

    // The operation in progress of each kind, SIGN_OPERATION or
    // DECRYPT_OPERATION: its private key, its mechanism with the parameters
    // the application gave, and for multi-part signing the digest of the
    // data passed so far. A new init replaces the whole state.
    enum Operation : std::uint32_t { SIGN_OPERATION = 0, DECRYPT_OPERATION = 1 };
    void initOperationWithPrivateKeyHandle(CK_OBJECT_HANDLE hKey, Operation operation,
                                           OperationMechanism mechanism);
    std::unique_ptr<P11Object> getPrivateKeyForOperation(amw::CachedToken& token, Operation operation);
    // Both throw OperationNotInitialized when no operation of the kind is active.
    const OperationMechanism& getOperationMechanism(Operation operation) const;
    // Empty until the first multi-part update.
    std::optional<MessageDigest>& getOperationDigest(Operation operation);
    void operationFinal(Operation operation);

    // The class named by the template's first CKA_CLASS.
    static CK_OBJECT_CLASS findObjectClassInTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count);
    // True when the object has every attribute of the template, byte for byte.
    static bool matchObjectWithTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                        P11Object& object);

    // "[state=Session::RW_SESSION, slot desc=<reader>, handle=<n>]"
    TraceText describe() const noexcept;
    // L"Session::RO_SESSION", L"Session::RW_SESSION", L"Session::INVALID".
    static const wchar_t* stateName(std::uint32_t state) noexcept;

private:
    const CK_SESSION_HANDLE handle;
    CK_VOID_PTR application;
    CK_NOTIFY notify;
    State state;
    Slot* slot;
    // The identities still to be handed out by the active search.
    struct FoundObjects {
        std::vector<ObjectIdentity> identities;
        std::size_t next = 0;
    };
    std::optional<FoundObjects> foundObjects;
    struct OperationState {
        CK_OBJECT_HANDLE key = 0;  // 0: no operation of this kind
        OperationMechanism mechanism;
        std::optional<MessageDigest> digest;
    };
    OperationState operations[2];
};
