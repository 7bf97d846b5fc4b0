#include "stressworker.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cryptoki.h"
#include "stresscrypto.h"

namespace stress {
namespace {

constexpr const char* APPLICATION = "zentrik-stress";

CK_FUNCTION_LIST_PTR loadModule() {
    void* handle = ::dlopen(ZENTRIK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(::dlerror());
    auto getList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(::dlsym(handle, "C_GetFunctionList"));
    if (getList == nullptr) throw std::runtime_error("C_GetFunctionList is not exported");
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (getList(&list) != CKR_OK) throw std::runtime_error("C_GetFunctionList failed");
    return list;
}

CK_RV initialize(CK_FUNCTION_LIST_PTR p11) {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    return p11->C_Initialize(&args);
}

CK_RV login(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, const std::string& pin) {
    std::string copy = pin;
    return p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(copy.data()), copy.size());
}

// A template whose attributes own their values.
class Template {
public:
    Template& add(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
        values_.push_back(value);
        types_.push_back(type);
        return *this;
    }
    Template& add(CK_ATTRIBUTE_TYPE type, const std::string& text) { return add(type, Bytes(text.begin(), text.end())); }
    Template& addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
        return add(type, Bytes(bytes, bytes + sizeof value));
    }
    Template& addBool(CK_ATTRIBUTE_TYPE type, bool value) { return add(type, Bytes(1, static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE))); }
    CK_ATTRIBUTE* data() {
        attributes_.clear();
        for (std::size_t i = 0; i < values_.size(); ++i)
            attributes_.push_back({types_[i], values_[i].data(), static_cast<CK_ULONG>(values_[i].size())});
        return attributes_.data();
    }
    CK_ULONG size() const { return static_cast<CK_ULONG>(values_.size()); }

private:
    std::vector<CK_ATTRIBUTE_TYPE> types_;
    std::vector<Bytes> values_;
    std::vector<CK_ATTRIBUTE> attributes_;
};

struct SharedFigures {
    std::atomic<std::uint64_t> operations{0}, errors{0}, staleReads{0}, lostObjects{0};
};

struct Created {
    CK_OBJECT_HANDLE handle = 0;
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    Bytes value;
};

// One thread's rounds: what it created and has not destroyed (by label), and
// the labels it destroyed, checked against the card after every round.
class StressThread {
public:
    StressThread(CK_FUNCTION_LIST_PTR p11, SharedFigures& figures, int process, int thread, CK_OBJECT_HANDLE key,
                 Bytes modulus, Bytes exponent)
        : p11_(p11), figures_(figures), prefix_("s-p" + std::to_string(process) + "-t" + std::to_string(thread) + "-"),
          key_(key), modulus_(std::move(modulus)), exponent_(std::move(exponent)) {}

    void run(int rounds) {
        if (!ok(p11_->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session_),
                "C_OpenSession"))
            return;
        for (int round = 1; round <= rounds; ++round) {
            runRound(round);
            checkCard(round);
        }
        for (const auto& [label, object] : std::map<std::string, Created>(live_)) destroy(label);
        checkCard(rounds + 1);
        ok(p11_->C_CloseSession(session_), "C_CloseSession");
    }

private:
    bool ok(CK_RV rv, const char* what) {
        ++figures_.operations;
        if (rv == CKR_OK) return true;
        ++figures_.errors;
        std::fprintf(stderr, "zentrik-stress: %s%s returned 0x%lX\n", prefix_.c_str(), what,
                     static_cast<unsigned long>(rv));
        return false;
    }

    void runRound(int round) {
        const std::string base = prefix_ + "r" + std::to_string(round);
        create(base + "-d", CKO_DATA, randomBytes(64 + static_cast<std::size_t>(round * 37 % 600)), round % 2 == 0);
        create(base + "-c", CKO_CERTIFICATE, makeCertificate(base), false);
        rename(base + "-d", base + "-d-renamed");
        signAndVerify();
        // The previous round's objects go; the card never fills up.
        const std::string previous = prefix_ + "r" + std::to_string(round - 1);
        for (const std::string& label : {previous + "-d-renamed", previous + "-c"})
            if (live_.count(label) != 0) destroy(label);
    }

    void create(const std::string& label, CK_OBJECT_CLASS objectClass, const Bytes& value, bool isPrivate) {
        Template t;
        t.addUlong(CKA_CLASS, objectClass).addBool(CKA_TOKEN, true).add(CKA_LABEL, label).add(CKA_VALUE, value);
        if (objectClass == CKO_DATA) {
            t.add(CKA_APPLICATION, std::string(APPLICATION)).addBool(CKA_PRIVATE, isPrivate);
        } else {
            t.addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509).add(CKA_ID, label);
        }
        CK_OBJECT_HANDLE handle = 0;
        if (!ok(p11_->C_CreateObject(session_, t.data(), t.size(), &handle), "C_CreateObject")) return;
        live_[label] = Created{handle, objectClass, value};
        if (readValue(handle) != value) {
            ++figures_.lostObjects;
            std::fprintf(stderr, "zentrik-stress: %s reads back another value\n", label.c_str());
        }
    }

    void rename(const std::string& from, const std::string& to) {
        auto it = live_.find(from);
        if (it == live_.end()) return;
        Template t;
        t.add(CKA_LABEL, to);
        if (!ok(p11_->C_SetAttributeValue(session_, it->second.handle, t.data(), t.size()), "C_SetAttributeValue"))
            return;
        live_[to] = it->second;
        live_.erase(from);
        gone_.push_back(from);
    }

    void destroy(const std::string& label) {
        auto it = live_.find(label);
        if (!ok(p11_->C_DestroyObject(session_, it->second.handle), "C_DestroyObject")) return;
        live_.erase(it);
        gone_.push_back(label);
    }

    void signAndVerify() {
        CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
        if (!ok(p11_->C_SignInit(session_, &mechanism, key_), "C_SignInit")) return;
        Bytes data = randomBytes(35);
        Bytes signature(modulus_.size());
        CK_ULONG length = signature.size();
        if (!ok(p11_->C_Sign(session_, data.data(), data.size(), signature.data(), &length), "C_Sign")) return;
        signature.resize(length);
        if (!verifySignature(modulus_, exponent_, data, signature)) {
            ++figures_.errors;
            std::fprintf(stderr, "zentrik-stress: %ssignature does not verify\n", prefix_.c_str());
        }
    }

    Bytes readValue(CK_OBJECT_HANDLE handle) {
        CK_ATTRIBUTE attribute{CKA_VALUE, nullptr, 0};
        if (!ok(p11_->C_GetAttributeValue(session_, handle, &attribute, 1), "C_GetAttributeValue")) return {};
        Bytes value(attribute.ulValueLen);
        attribute.pValue = value.data();
        if (!ok(p11_->C_GetAttributeValue(session_, handle, &attribute, 1), "C_GetAttributeValue")) return {};
        value.resize(attribute.ulValueLen);
        return value;
    }

    std::vector<CK_OBJECT_HANDLE> find(Template search) {
        std::vector<CK_OBJECT_HANDLE> found;
        if (!ok(p11_->C_FindObjectsInit(session_, search.data(), search.size()), "C_FindObjectsInit")) return found;
        for (;;) {
            CK_OBJECT_HANDLE batch[16];
            CK_ULONG count = 0;
            if (!ok(p11_->C_FindObjects(session_, batch, 16, &count), "C_FindObjects") || count == 0) break;
            found.insert(found.end(), batch, batch + count);
        }
        ok(p11_->C_FindObjectsFinal(session_), "C_FindObjectsFinal");
        return found;
    }

    // What this thread created and has not destroyed is there with its
    // value; what it destroyed (or renamed) is not; the listing of its data
    // objects holds exactly the live ones.
    void checkCard(int round) {
        for (const auto& [label, object] : live_) {
            Template byLabel;
            byLabel.addUlong(CKA_CLASS, object.objectClass).add(CKA_LABEL, label);
            const auto found = find(byLabel);
            if (found.size() != 1 || readValue(found[0]) != object.value) {
                ++figures_.lostObjects;
                std::fprintf(stderr, "zentrik-stress: after round %d %s is %s\n", round, label.c_str(),
                             found.empty() ? "missing" : "not what was written");
            }
        }
        for (const std::string& label : gone_) {
            Template byLabel;
            byLabel.add(CKA_LABEL, label);
            if (!find(byLabel).empty()) {
                ++figures_.staleReads;
                std::fprintf(stderr, "zentrik-stress: after round %d %s is still listed\n", round, label.c_str());
            }
        }
        gone_.clear();
        Template mine;
        mine.addUlong(CKA_CLASS, CKO_DATA).add(CKA_APPLICATION, std::string(APPLICATION));
        std::map<std::string, bool> listed;
        for (CK_OBJECT_HANDLE handle : find(mine)) {
            char label[128];
            CK_ATTRIBUTE attribute{CKA_LABEL, label, sizeof label};
            const CK_RV rv = p11_->C_GetAttributeValue(session_, handle, &attribute, 1);
            ++figures_.operations;
            // Another process may destroy its own object between the search
            // and this read.
            if (rv == CKR_OBJECT_HANDLE_INVALID) continue;
            if (!ok(rv, "C_GetAttributeValue(CKA_LABEL)")) continue;
            const std::string text(label, attribute.ulValueLen);
            if (text.rfind(prefix_, 0) == 0) listed[text] = true;
        }
        for (const auto& [label, object] : live_) {
            if (object.objectClass == CKO_DATA && listed.erase(label) == 0) {
                ++figures_.staleReads;
                std::fprintf(stderr, "zentrik-stress: after round %d the listing lacks %s\n", round, label.c_str());
            }
        }
        for (const auto& [label, unused] : listed) {
            ++figures_.staleReads;
            std::fprintf(stderr, "zentrik-stress: after round %d the listing holds %s\n", round, label.c_str());
        }
    }

    CK_FUNCTION_LIST_PTR p11_;
    SharedFigures& figures_;
    std::string prefix_;
    CK_OBJECT_HANDLE key_;
    Bytes modulus_, exponent_;
    CK_SESSION_HANDLE session_ = 0;
    std::map<std::string, Created> live_;
    std::vector<std::string> gone_;
};

Bytes attributeOf(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                  CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    if (p11->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
    Bytes value(attribute.ulValueLen);
    attribute.pValue = value.data();
    if (p11->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
    return value;
}

CK_OBJECT_HANDLE findKey(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass,
                         const std::string& label) {
    Template search;
    search.addUlong(CKA_CLASS, objectClass).add(CKA_LABEL, label);
    CK_OBJECT_HANDLE handle = 0;
    CK_ULONG count = 0;
    if (p11->C_FindObjectsInit(session, search.data(), search.size()) != CKR_OK) return 0;
    if (p11->C_FindObjects(session, &handle, 1, &count) != CKR_OK) count = 0;
    p11->C_FindObjectsFinal(session);
    return count == 1 ? handle : 0;
}

}  // namespace

bool prepareKey(const std::string& pin, const std::string& keyLabel) {
    try {
        CK_FUNCTION_LIST_PTR p11 = loadModule();
        CK_SESSION_HANDLE session = 0;
        CK_RV rv = initialize(p11);
        if (rv == CKR_OK) rv = p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
        if (rv == CKR_OK) rv = login(p11, session, pin);
        if (rv == CKR_OK) {
            Template publicKey, privateKey;
            publicKey.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addBool(CKA_TOKEN, true).addUlong(CKA_MODULUS_BITS, 1024)
                .addBool(CKA_VERIFY, true).add(CKA_LABEL, keyLabel);
            privateKey.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addBool(CKA_TOKEN, true).addBool(CKA_PRIVATE, true)
                .addBool(CKA_SIGN, true).add(CKA_LABEL, keyLabel);
            CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
            CK_OBJECT_HANDLE pub = 0, priv = 0;
            rv = p11->C_GenerateKeyPair(session, &mechanism, publicKey.data(), publicKey.size(), privateKey.data(),
                                        privateKey.size(), &pub, &priv);
        }
        p11->C_Finalize(nullptr);
        if (rv != CKR_OK) std::fprintf(stderr, "zentrik-stress: key generation failed: 0x%lX\n", rv);
        return rv == CKR_OK;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zentrik-stress: %s\n", e.what());
        return false;
    }
}

Figures runWorker(const WorkerOptions& options) {
    SharedFigures shared;
    try {
        CK_FUNCTION_LIST_PTR p11 = loadModule();
        CK_SESSION_HANDLE session = 0;
        CK_RV rv = initialize(p11);
        if (rv == CKR_OK) rv = p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
        if (rv == CKR_OK) rv = login(p11, session, options.pin);
        shared.operations += 3;
        const CK_OBJECT_HANDLE privateKey = rv == CKR_OK ? findKey(p11, session, CKO_PRIVATE_KEY, options.keyLabel) : 0;
        const CK_OBJECT_HANDLE publicKey = rv == CKR_OK ? findKey(p11, session, CKO_PUBLIC_KEY, options.keyLabel) : 0;
        const Bytes modulus = attributeOf(p11, session, publicKey, CKA_MODULUS);
        const Bytes exponent = attributeOf(p11, session, publicKey, CKA_PUBLIC_EXPONENT);
        if (rv != CKR_OK || privateKey == 0 || modulus.empty() || exponent.empty()) {
            std::fprintf(stderr, "zentrik-stress: process %d could not start (0x%lX)\n", options.process, rv);
            ++shared.errors;
        } else {
            std::vector<std::thread> threads;
            for (int t = 0; t < options.threads; ++t) {
                threads.emplace_back([&, t] {
                    StressThread(p11, shared, options.process, t, privateKey, modulus, exponent).run(options.rounds);
                });
            }
            for (std::thread& thread : threads) thread.join();
        }
        p11->C_Finalize(nullptr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zentrik-stress: process %d: %s\n", options.process, e.what());
        ++shared.errors;
    }
    return Figures{shared.operations, shared.errors, shared.staleReads, shared.lostObjects};
}

}  // namespace stress
