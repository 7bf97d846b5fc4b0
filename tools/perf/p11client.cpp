#include "p11client.h"

#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace perf {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
template <class T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

EVP_PKEY* pkey(void* key) { return static_cast<EVP_PKEY*>(key); }

}  // namespace

void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) {
        char text[160];
        std::snprintf(text, sizeof text, "%s failed: 0x%lX", what, static_cast<unsigned long>(rv));
        throw std::runtime_error(text);
    }
}

CK_FUNCTION_LIST_PTR loadModule() {
    void* handle = ::dlopen(ZENTRIK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(::dlerror());
    auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(::dlsym(handle, "C_GetFunctionList"));
    if (getList == nullptr) throw std::runtime_error("C_GetFunctionList not exported");
    CK_FUNCTION_LIST_PTR list = nullptr;
    check(getList(&list), "C_GetFunctionList");
    return list;
}

CK_SLOT_ID slotOfReader(CK_FUNCTION_LIST_PTR p11, const std::string& reader) {
    CK_ULONG count = 0;
    check(p11->C_GetSlotList(CK_FALSE, nullptr, &count), "C_GetSlotList");
    std::vector<CK_SLOT_ID> slots(count);
    check(p11->C_GetSlotList(CK_FALSE, slots.data(), &count), "C_GetSlotList");
    for (CK_SLOT_ID slot : slots) {
        CK_SLOT_INFO info{};
        check(p11->C_GetSlotInfo(slot, &info), "C_GetSlotInfo");
        const std::string description(reinterpret_cast<const char*>(info.slotDescription),
                                      sizeof info.slotDescription);
        if (description.compare(0, reader.size(), reader) == 0) return slot;
    }
    throw std::runtime_error("no slot for the reader " + reader);
}

CK_SESSION_HANDLE openLoggedIn(CK_FUNCTION_LIST_PTR p11, CK_SLOT_ID slot, const std::string& pin) {
    CK_SESSION_HANDLE session = 0;
    check(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
          "C_OpenSession");
    const CK_RV rv = p11->C_Login(session, CKU_USER,
                                  reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())), pin.size());
    if (rv != CKR_USER_ALREADY_LOGGED_IN) check(rv, "C_Login");
    return session;
}

std::vector<CK_OBJECT_HANDLE> find(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session,
                                   std::vector<CK_ATTRIBUTE> search) {
    check(p11->C_FindObjectsInit(session, search.empty() ? nullptr : search.data(), search.size()),
          "C_FindObjectsInit");
    std::vector<CK_OBJECT_HANDLE> handles(256);
    CK_ULONG count = 0;
    check(p11->C_FindObjects(session, handles.data(), handles.size(), &count), "C_FindObjects");
    check(p11->C_FindObjectsFinal(session), "C_FindObjectsFinal");
    handles.resize(count);
    return handles;
}

Bytes attribute(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    check(p11->C_GetAttributeValue(session, object, &query, 1), "C_GetAttributeValue (length)");
    Bytes value(query.ulValueLen);
    query.pValue = value.data();
    check(p11->C_GetAttributeValue(session, object, &query, 1), "C_GetAttributeValue");
    value.resize(query.ulValueLen);
    return value;
}

KeyPair generateKeyPair(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_ULONG bits, const Bytes& id) {
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE publicTemplate[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                                     {CKA_TOKEN, &yes, sizeof yes},
                                     {CKA_MODULUS_BITS, &bits, sizeof bits},
                                     {CKA_VERIFY, &yes, sizeof yes},
                                     {CKA_ENCRYPT, &yes, sizeof yes},
                                     {CKA_ID, const_cast<std::uint8_t*>(id.data()), id.size()}};
    CK_ATTRIBUTE privateTemplate[] = {{CKA_CLASS, &privateClass, sizeof privateClass},
                                      {CKA_TOKEN, &yes, sizeof yes},
                                      {CKA_PRIVATE, &yes, sizeof yes},
                                      {CKA_SIGN, &yes, sizeof yes},
                                      {CKA_DECRYPT, &yes, sizeof yes},
                                      {CKA_ID, const_cast<std::uint8_t*>(id.data()), id.size()}};
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    KeyPair pair;
    check(p11->C_GenerateKeyPair(session, &mechanism, publicTemplate, std::size(publicTemplate), privateTemplate,
                                 std::size(privateTemplate), &pair.publicKey, &pair.privateKey),
          "C_GenerateKeyPair");
    return pair;
}

CK_OBJECT_HANDLE createCertificate(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, const Bytes& id,
                                   std::size_t size) {
    // SEQUENCE with a long-form length, then filler: enough for a value
    // that is stored and read back verbatim.
    Bytes value(size, 0xA5);
    value[0] = 0x30;
    value[1] = 0x82;
    value[2] = static_cast<std::uint8_t>((size - 4) >> 8);
    value[3] = static_cast<std::uint8_t>(size - 4);
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    const std::string label = "perf certificate";
    CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                                 {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType},
                                 {CKA_TOKEN, &yes, sizeof yes},
                                 {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                                 {CKA_ID, const_cast<std::uint8_t*>(id.data()), id.size()},
                                 {CKA_VALUE, value.data(), value.size()}};
    CK_OBJECT_HANDLE handle = 0;
    check(p11->C_CreateObject(session, attributes, std::size(attributes), &handle), "C_CreateObject");
    return handle;
}

Bytes sign(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const Bytes& data) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    check(p11->C_SignInit(session, &mechanism, key), "C_SignInit");
    Bytes signature(512);
    CK_ULONG length = signature.size();
    check(p11->C_Sign(session, const_cast<std::uint8_t*>(data.data()), data.size(), signature.data(), &length),
          "C_Sign");
    signature.resize(length);
    return signature;
}

PublicKey::PublicKey(const Bytes& modulus, const Bytes& exponent) : key_(nullptr) {
    Owned<BIGNUM, BN_free> n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    Owned<BIGNUM, BN_free> e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free> build(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
    OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
    Owned<OSSL_PARAM, OSSL_PARAM_free> params(OSSL_PARAM_BLD_to_param(build.get()));
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        throw std::runtime_error("OpenSSL refused the public key read from the card");
    }
    key_ = raw;
}

PublicKey::~PublicKey() { EVP_PKEY_free(pkey(key_)); }

bool PublicKey::verifies(const Bytes& data, const Bytes& signature) const {
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(pkey(key_), nullptr));
    Bytes recovered(signature.size() + 16);
    std::size_t length = recovered.size();
    if (EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &length, signature.data(), signature.size()) != 1) {
        return false;
    }
    recovered.resize(length);
    return recovered == data;
}

Bytes PublicKey::encrypt(const Bytes& data) const {
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new(pkey(key_), nullptr));
    Bytes out(EVP_PKEY_get_size(pkey(key_)));
    std::size_t length = out.size();
    if (EVP_PKEY_encrypt_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), out.data(), &length, data.data(), data.size()) != 1) {
        throw std::runtime_error("OpenSSL could not encrypt");
    }
    out.resize(length);
    return out;
}

Bytes digestInfo(const std::string& text) {
    static const std::uint8_t prefix[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                          0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes out(prefix, prefix + sizeof prefix);
    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    out.insert(out.end(), digest, digest + sizeof digest);
    return out;
}

}  // namespace perf
