// Helpers of the cryptographic suites: key pairs generated on the card
// through the module, one-part signing and decryption, and the public-key
// side done by OpenSSL with the modulus and exponent the module reports.
#pragma once

#include <string>

#include "objecthelpers.h"

namespace sessiontest {

struct KeyHandles {
    CK_OBJECT_HANDLE publicKey = 0;
    CK_OBJECT_HANDLE privateKey = 0;
};

// The two templates of a generation: modulus bits, identifier, labels and
// usage flags (`sign`, `decrypt` on the private half).
struct GenerationRequest {
    CK_ULONG bits = 1024;
    Bytes id;
    bool sign = true;
    bool decrypt = true;
    Template publicTemplate() const;
    Template privateTemplate() const;
};

CK_RV generateKeyPair(CK_SESSION_HANDLE session, Template publicKey, Template privateKey, KeyHandles& out);
// Generates the pair and fails the test when the module refuses.
KeyHandles generateOnCard(CK_SESSION_HANDLE session, const GenerationRequest& request);

// C_SignInit with CKM_RSA_PKCS, then C_Sign into a buffer of the key's size.
CK_RV signInit(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key);
CK_RV sign(CK_SESSION_HANDLE session, const Bytes& data, Bytes& signature);
CK_RV decryptInit(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key);
CK_RV decrypt(CK_SESSION_HANDLE session, const Bytes& encrypted, Bytes& message, CK_ULONG bufferSize);

// OpenSSL with the public key given as modulus and exponent.
struct PublicKey {
    Bytes n, e;
};
PublicKey publicKeyOf(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key);
// RSA encryption with PKCS #1 v1.5 padding (`padded`) or of a block the
// caller formatted (no padding, block of the modulus length).
Bytes encryptWith(const PublicKey& key, const Bytes& data, bool padded = true);
// The data inside a PKCS #1 v1.5 signature (type 1 block checked by
// OpenSSL); empty when the signature does not verify.
Bytes recoverSigned(const PublicKey& key, const Bytes& signature);
// DER DigestInfo of SHA-256 over `data`, as applications pass it to C_Sign.
Bytes sha256DigestInfo(const Bytes& data);

std::string hexText(const Bytes& bytes, bool upper = true);

// How OpenSSL checks a signature: the hash named by OpenSSL's digest name
// (for the raw PSS mechanism `data` is already that hash), PKCS #1 v1.5 or
// PSS with the MGF1 hash and salt length given.
struct SignatureForm {
    const char* digest;
    bool pss = false;
    const char* mgfDigest = nullptr;  // null: the same as `digest`
    int saltLength = 0;
    bool dataIsHash = false;
};
bool opensslVerifies(const PublicKey& key, const SignatureForm& form, const Bytes& data, const Bytes& signature);
// RSAES-OAEP encryption by OpenSSL with the named hash (for both the label
// and MGF1) and an optional label.
Bytes encryptOaep(const PublicKey& key, const char* digest, const Bytes& message, const Bytes& label = {});
// The digest of `data` with OpenSSL's hash of that name.
Bytes opensslDigest(const char* digest, const Bytes& data);

}  // namespace sessiontest
