// zentrik-tool list and default-cert: the card's objects as a Cryptoki
// search sees them, and the default certificate of the private list.
#include <iostream>
#include <optional>

#include "commands.h"
#include "tokensession.h"

namespace zentriktool {
namespace {

// The attribute's value, or nothing when the object has none or hides it.
std::optional<Bytes> readAttribute(const CardModule& module, CK_SESSION_HANDLE session,
                                   CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    if (module.p11().C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
        return std::nullopt;
    }
    Bytes value(attribute.ulValueLen);
    attribute.pValue = value.data();
    if (module.p11().C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) {
        return std::nullopt;
    }
    value.resize(attribute.ulValueLen);
    return value;
}

std::optional<CK_ULONG> readUlong(const CardModule& module, CK_SESSION_HANDLE session,
                                  CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    const std::optional<Bytes> value = readAttribute(module, session, object, type);
    if (!value || value->size() != sizeof(CK_ULONG)) return std::nullopt;
    CK_ULONG number = 0;
    std::copy(value->begin(), value->end(), reinterpret_cast<std::uint8_t*>(&number));
    return number;
}

std::vector<CK_OBJECT_HANDLE> findObjects(const CardModule& module, CK_SESSION_HANDLE session,
                                          CK_ATTRIBUTE* search, CK_ULONG searchCount) {
    check(module.p11().C_FindObjectsInit(session, search, searchCount), "searching the objects");
    std::vector<CK_OBJECT_HANDLE> found;
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG count = 0;
    CK_RV rv = CKR_OK;
    while ((rv = module.p11().C_FindObjects(session, batch, 32, &count)) == CKR_OK && count > 0) {
        found.insert(found.end(), batch, batch + count);
    }
    module.p11().C_FindObjectsFinal(session);
    check(rv, "searching the objects");
    return found;
}

const char* className(CK_ULONG objectClass) {
    switch (objectClass) {
        case CKO_DATA: return "data";
        case CKO_CERTIFICATE: return "certificate";
        case CKO_PUBLIC_KEY: return "public key";
        case CKO_PRIVATE_KEY: return "private key";
        case CKO_SECRET_KEY: return "secret key";
        default: return "other";
    }
}

// The RSA size in bits: CKA_MODULUS_BITS, else the modulus's length.
std::optional<CK_ULONG> keyBits(const CardModule& module, CK_SESSION_HANDLE session,
                                CK_OBJECT_HANDLE object) {
    if (auto bits = readUlong(module, session, object, CKA_MODULUS_BITS)) return bits;
    if (auto modulus = readAttribute(module, session, object, CKA_MODULUS)) {
        return modulus->size() * 8;
    }
    return std::nullopt;
}

void printObject(const CardModule& module, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    const CK_ULONG objectClass = readUlong(module, session, object, CKA_CLASS).value_or(~0UL);
    const Bytes label = readAttribute(module, session, object, CKA_LABEL).value_or(Bytes{});
    std::string line = std::string("  ") + className(objectClass);
    line.resize(16, ' ');
    line += "label \"" + std::string(label.begin(), label.end()) + "\"";
    if (auto id = readAttribute(module, session, object, CKA_ID)) {
        line += "  id " + (id->empty() ? std::string("(empty)") : toHex(id->data(), id->size()));
    }
    if (objectClass == CKO_PUBLIC_KEY || objectClass == CKO_PRIVATE_KEY) {
        if (auto bits = keyBits(module, session, object)) line += "  " + std::to_string(*bits) + " bits";
    }
    std::cout << line << '\n';
}

std::string certificateLabel(const CardModule& module, CK_SESSION_HANDLE session, Bytes id) {
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                             {CKA_ID, id.data(), static_cast<CK_ULONG>(id.size())}};
    const std::vector<CK_OBJECT_HANDLE> found = findObjects(module, session, search, 2);
    if (found.empty()) return "";
    const Bytes label = readAttribute(module, session, found.front(), CKA_LABEL).value_or(Bytes{});
    return std::string(label.begin(), label.end());
}

void showDefaultCert(const CardModule& module, CK_SLOT_ID slot, const Session& session) {
    CK_ULONG length = 0;
    check(module.priv().C_GetDefaultCert(session.handle(), nullptr, &length),
          "reading the default certificate");
    Bytes id(length);
    check(module.priv().C_GetDefaultCert(session.handle(), id.data(), &length),
          "reading the default certificate");
    id.resize(length);
    if (id.empty()) {
        std::cout << "The card in slot " << slot << " has no default certificate.\n";
        return;
    }
    std::cout << "Default certificate: id " << toHex(id.data(), id.size());
    const std::string label = certificateLabel(module, session.handle(), id);
    if (!label.empty()) std::cout << ", label \"" << label << "\"";
    std::cout << '\n';
}

}  // namespace

void runList(const CardModule& module, Options& options) {
    const CK_SLOT_ID slot = chooseSlot(module, options.slot);
    const Session session(module, slot, false);
    const bool loggedIn = options.login || options.pinGiven;
    if (loggedIn) loginUser(module, slot, session, options.pin, options.pinGiven);
    const std::vector<CK_OBJECT_HANDLE> objects = findObjects(module, session.handle(), nullptr, 0);
    std::cout << "Objects on the card in slot " << slot
              << (loggedIn ? ":\n" : " (public only; --login shows private ones too):\n");
    for (CK_OBJECT_HANDLE object : objects) printObject(module, session.handle(), object);
    std::cout << objects.size() << (objects.size() == 1 ? " object\n" : " objects\n");
}

void runDefaultCert(const CardModule& module, Options& options) {
    const CK_SLOT_ID slot = chooseSlot(module, options.slot);
    const Session session(module, slot, true);
    if (!options.defaultCertId) {
        showDefaultCert(module, slot, session);
        return;
    }
    // The container map is written with the user's rights.
    loginUser(module, slot, session, options.pin, options.pinGiven);
    Bytes id = fromHex(*options.defaultCertId);
    const CK_RV rv = module.priv().C_SetDefaultCert(session.handle(), id.data(), id.size());
    if (rv != CKR_OK) {
        CryptokiError error(rv, "setting the default certificate");
        if (rv == CKR_FUNCTION_FAILED) {
            error.detail = "no certificate on the card has the identifier " +
                           toHex(id.data(), id.size()) + "; zentrik-tool list --login shows them";
        }
        throw error;
    }
    std::cout << "The certificate " << toHex(id.data(), id.size())
              << " is now the default certificate of the card in slot " << slot << ".\n";
}

}  // namespace zentriktool
