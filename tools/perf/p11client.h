// The module as the benchmark drives it: loaded with dlopen, with small
// helpers for the calls the measured rows make, and the public-key side done
// by OpenSSL. Every helper throws std::runtime_error on an unexpected result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cryptoki.h"

namespace perf {

using Bytes = std::vector<std::uint8_t>;

CK_FUNCTION_LIST_PTR loadModule();
void check(CK_RV rv, const char* what);

// The slot whose description names the reader.
CK_SLOT_ID slotOfReader(CK_FUNCTION_LIST_PTR p11, const std::string& reader);

CK_SESSION_HANDLE openLoggedIn(CK_FUNCTION_LIST_PTR p11, CK_SLOT_ID slot, const std::string& pin);

// Searches with the template (none: everything) and returns every handle.
std::vector<CK_OBJECT_HANDLE> find(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session,
                                   std::vector<CK_ATTRIBUTE> search = {});

Bytes attribute(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                CK_ATTRIBUTE_TYPE type);

struct KeyPair {
    CK_OBJECT_HANDLE publicKey = 0;
    CK_OBJECT_HANDLE privateKey = 0;
};
KeyPair generateKeyPair(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_ULONG bits, const Bytes& id);

// A self-contained DER blob of `size` bytes standing in for a certificate
// value (the module stores it as it comes).
CK_OBJECT_HANDLE createCertificate(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, const Bytes& id,
                                   std::size_t size);

Bytes sign(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const Bytes& data);

// OpenSSL with the modulus and exponent read from the card.
class PublicKey {
public:
    PublicKey(const Bytes& modulus, const Bytes& exponent);
    ~PublicKey();
    PublicKey(const PublicKey&) = delete;
    PublicKey& operator=(const PublicKey&) = delete;
    bool verifies(const Bytes& data, const Bytes& signature) const;
    Bytes encrypt(const Bytes& data) const;

private:
    void* key_;  // EVP_PKEY
};

// SHA-256 DigestInfo over the text, as applications pass it to C_Sign.
Bytes digestInfo(const std::string& text);

}  // namespace perf
