// Attribute templates through the object layer over a simulated card that
// holds a data object, a certificate and an RSA key pair: object creation
// (C_CreateObject), template matching (C_FindObjectsInit), attribute reads
// (C_GetAttributeValue) and writes with their commit (C_SetAttributeValue),
// and object destruction. Input: up to 6 steps, each
//   1 byte   step: create, find, read, write, destroy, class lookup
//   1 byte   object choice (read, write, destroy)
//   template count (1 byte, at most 8), then per attribute:
//     1 byte type choice: below E0 an entry of the table of interesting
//            types, else 4 more bytes of a raw type
//     1 byte value kind, then its bytes (see readValue)
// Every step ends normally or with the library's own exceptions; a read
// never reports more bytes than the buffer it was given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzzenvironment.h"
#include "fuzzinput.h"
#include "internal/objecthandles.h"
#include "internal/p11objects/p11classes.h"
#include "internal/session.h"
#include "rsatestkeys.h"
#include "simulatedcard.h"
#include "testcertificate.h"
#include "vxexception.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

using Bytes = std::vector<std::uint8_t>;

const CK_ATTRIBUTE_TYPE TYPES[] = {
    CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_APPLICATION, CKA_VALUE, CKA_OBJECT_ID,
    CKA_CERTIFICATE_TYPE, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_TRUSTED, CKA_CERTIFICATE_CATEGORY,
    CKA_JAVA_MIDP_SECURITY_DOMAIN, CKA_URL, CKA_HASH_OF_SUBJECT_PUBLIC_KEY,
    CKA_HASH_OF_ISSUER_PUBLIC_KEY, CKA_CHECK_VALUE, CKA_KEY_TYPE, CKA_SUBJECT, CKA_ID,
    CKA_SENSITIVE, CKA_ENCRYPT, CKA_DECRYPT, CKA_WRAP, CKA_UNWRAP, CKA_SIGN, CKA_SIGN_RECOVER,
    CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_DERIVE, CKA_START_DATE, CKA_END_DATE, CKA_MODULUS,
    CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1, CKA_PRIME_2,
    CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT, CKA_EXTRACTABLE, CKA_LOCAL,
    CKA_NEVER_EXTRACTABLE, CKA_ALWAYS_SENSITIVE, CKA_KEY_GEN_MECHANISM, CKA_MODIFIABLE,
    CKA_ALWAYS_AUTHENTICATE, CKA_WRAP_WITH_TRUSTED, CKA_WRAP_TEMPLATE, CKA_UNWRAP_TEMPLATE,
    CKA_ALLOWED_MECHANISMS, CKA_VENDOR_DEFINED};
const CK_ULONG ULONGS[] = {CKO_DATA, CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY,
                           CKO_SECRET_KEY, CKK_RSA, CKK_EC, CKC_X_509, CKC_WTLS, 1024, 2048,
                           0, 1, 2, 3, 0xFFFFFFFFul, static_cast<CK_ULONG>(-1)};

tokentest::RsaKey key;
cardsim::CardState baseCard;

Bytes ulongBytes(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// Value kinds: 0 a CK_ULONG from the table, 1 one byte, 2 up to 255 raw
// bytes, 3 up to 65535 raw bytes (or 70000 for length FFFF), 4 a real value
// (key component, certificate, ...), 5 a null pointer with a length.
struct Value {
    Bytes bytes;
    bool null = false;
    CK_ULONG nullLength = 0;
};

Value readValue(fuzz::FuzzInput& input) {
    Value value;
    switch (input.byte() % 6) {
        case 0: value.bytes = ulongBytes(ULONGS[input.byte() % (sizeof ULONGS / sizeof ULONGS[0])]); break;
        case 1: value.bytes = Bytes(1, input.byte()); break;
        case 2: value.bytes = input.bytes(input.byte()); break;
        case 3: {
            const std::uint16_t length = input.word();
            value.bytes = input.bytes(length);
            if (length == 0xFFFF) value.bytes.resize(70000, 0x41);
            break;
        }
        case 4: {
            const Bytes* known[] = {&key.n, &key.e, &key.p, &key.q, &key.dp, &key.dq, &key.qinv,
                                    &testcertificate::DER};
            value.bytes = *known[input.byte() % 8];
            break;
        }
        default:
            value.null = true;
            value.nullLength = input.byte();
            break;
    }
    return value;
}

struct Template {
    std::vector<Value> values;
    std::vector<CK_ATTRIBUTE> attributes;
};

Template readTemplate(fuzz::FuzzInput& input) {
    Template t;
    const std::size_t count = input.byte() % 9;
    std::vector<CK_ATTRIBUTE_TYPE> types;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t choice = input.byte();
        types.push_back(choice < 0xE0 ? TYPES[choice % (sizeof TYPES / sizeof TYPES[0])]
                                      : static_cast<CK_ATTRIBUTE_TYPE>(input.dword()));
        t.values.push_back(readValue(input));
    }
    for (std::size_t i = 0; i < count; ++i) {
        Value& v = t.values[i];
        t.attributes.push_back(CK_ATTRIBUTE{types[i], v.null ? nullptr : v.bytes.data(),
                                            v.null ? v.nullLength : static_cast<CK_ULONG>(v.bytes.size())});
    }
    return t;
}

// Views of every object of the call's token, in a fixed order.
std::vector<std::unique_ptr<P11Object>> views(amw::CachedToken& token) {
    std::vector<std::unique_ptr<P11Object>> out;
    for (auto& object : token.getDataObjects()) out.push_back(std::make_unique<P11DataObject>(object.get()));
    for (auto& object : token.getCertificates())
        out.push_back(std::make_unique<P11X509Certificate>(object.get()));
    for (auto& pair : token.getKeyPairs()) {
        if (pair->hasPublicKey()) out.push_back(std::make_unique<P11RsaPublicKey>(pair.get()));
        if (pair->hasPrivateKey()) out.push_back(std::make_unique<P11RsaPrivateKey>(pair.get()));
    }
    return out;
}

void readAttributes(P11Object& object, const Template& t, fuzz::FuzzInput& input) {
    for (const CK_ATTRIBUTE& attribute : t.attributes) {
        const std::uint8_t mode = input.byte() % 3;
        try {
            CK_ULONG length = 0;
            if (mode == 0) {  // size query, then a buffer of that size
                object.getAttributeValue(attribute.type, nullptr, &length);
                if (length == CK_UNAVAILABLE_INFORMATION || length > 200000) continue;
            } else {
                length = attribute.ulValueLen;
            }
            Bytes buffer(length + 1, 0xEE);
            const CK_ULONG capacity = length;
            object.getAttributeValue(attribute.type, mode == 2 ? nullptr : buffer.data(), &length);
            if (mode != 2) {
                require(length <= capacity);
                require(buffer[capacity] == 0xEE);
            }
        } catch (const VxException&) {
        }
    }
}

void runStep(fuzz::FuzzInput& input, amw::CachedToken& token, Session& session,
             std::vector<CK_OBJECT_HANDLE>& created) {
    const std::uint8_t step = input.byte() % 6;
    const std::uint8_t choice = input.byte();
    Template t = readTemplate(input);
    const CK_ATTRIBUTE* attributes = t.attributes.empty() ? nullptr : t.attributes.data();
    const CK_ULONG count = static_cast<CK_ULONG>(t.attributes.size());
    switch (step) {
        case 0:
            created.push_back(session.createObject(token, attributes, count));
            break;
        case 1:
            for (auto& view : views(token)) {
                try {
                    Session::matchObjectWithTemplate(attributes, count, *view);
                } catch (const VxException&) {
                }
            }
            break;
        case 2: {
            auto all = views(token);
            if (!all.empty()) readAttributes(*all[choice % all.size()], t, input);
            break;
        }
        case 3: {
            auto all = views(token);
            if (all.empty()) break;
            P11Object& object = *all[choice % all.size()];
            for (const CK_ATTRIBUTE& attribute : t.attributes) {
                object.setAttributeValue(attribute.type, attribute.pValue, attribute.ulValueLen);
            }
            object.commitChanges(token);
            break;
        }
        case 4: {
            auto all = views(token);
            if (!all.empty()) all[choice % all.size()]->destroyObjectFromCard(&token);
            break;
        }
        default:
            Session::findObjectClassInTemplate(attributes, count);
            break;
    }
}

template <class View>
void store(amw::CachedToken& call, std::vector<CK_ATTRIBUTE> attributes) {
    View::createObject(call, attributes.data(), static_cast<CK_ULONG>(attributes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareEnvironment();
    key = tokentest::generateRsaKey(1024);
    fuzz::SimulatedCard card(fuzz::personalisedCard());
    auto call = card.beginCall();
    CK_OBJECT_CLASS dataClass = CKO_DATA, certificateClass = CKO_CERTIFICATE;
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY, privateClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE rsa = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "fuzz", id[] = "k1", application[] = "app";
    std::uint8_t value[] = {1, 2, 3, 4, 5};
    const auto attribute = [](CK_ATTRIBUTE_TYPE type, void* value, std::size_t length) {
        return CK_ATTRIBUTE{type, value, static_cast<CK_ULONG>(length)};
    };
    store<P11DataObject>(*call, {attribute(CKA_CLASS, &dataClass, sizeof dataClass),
                                 attribute(CKA_LABEL, label, 4), attribute(CKA_APPLICATION, application, 3),
                                 attribute(CKA_VALUE, value, sizeof value)});
    Bytes der = testcertificate::DER;
    store<P11X509Certificate>(*call, {attribute(CKA_CLASS, &certificateClass, sizeof certificateClass),
                                      attribute(CKA_ID, id, 2), attribute(CKA_VALUE, der.data(), der.size())});
    store<P11RsaPrivateKey>(*call, {attribute(CKA_CLASS, &privateClass, sizeof privateClass),
                                    attribute(CKA_KEY_TYPE, &rsa, sizeof rsa), attribute(CKA_ID, id, 2),
                                    attribute(CKA_SIGN, &yes, 1),
                                    attribute(CKA_MODULUS, key.n.data(), key.n.size()),
                                    attribute(CKA_PRIME_1, key.p.data(), key.p.size()),
                                    attribute(CKA_PRIME_2, key.q.data(), key.q.size()),
                                    attribute(CKA_EXPONENT_1, key.dp.data(), key.dp.size()),
                                    attribute(CKA_EXPONENT_2, key.dq.data(), key.dq.size()),
                                    attribute(CKA_COEFFICIENT, key.qinv.data(), key.qinv.size())});
    store<P11RsaPublicKey>(*call, {attribute(CKA_CLASS, &publicClass, sizeof publicClass),
                                   attribute(CKA_KEY_TYPE, &rsa, sizeof rsa), attribute(CKA_ID, id, 2),
                                   attribute(CKA_VERIFY, &yes, 1),
                                   attribute(CKA_MODULUS, key.n.data(), key.n.size()),
                                   attribute(CKA_PUBLIC_EXPONENT, key.e.data(), key.e.size())});
    baseCard = card.state();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput input(data, size);
    fuzz::SimulatedCard card(baseCard);
    std::unique_ptr<amw::CachedToken> call = card.beginCall();
    Session session(1, Session::RW_SESSION, nullptr, nullptr, nullptr);
    std::vector<CK_OBJECT_HANDLE> created;
    for (int step = 0; step < 6 && !input.atEnd(); ++step) {
        try {
            runStep(input, *call, session, created);
        } catch (const VxException&) {
        }
    }
    for (CK_OBJECT_HANDLE handle : created) ObjectHandles::remove(handle);
    return 0;
}
