// Faults in the middle of every card-touching Cryptoki call. For each call a
// clean run records the commands it sends; then, for every position in that
// sequence and every kind of fault (an error status word instead of the
// card's answer, the card pulled out before the command, a reset by a second
// PC/SC client, pcscd stopped), the call runs again with the fault there.
// Afterwards the result must be one the module documents, no transaction may
// be left behind, the card must have no authenticated role, and a fresh
// module (with its cache and without it) must find the card in a consistent
// state: an object exists completely or not at all, a value is the old or
// the new one, and the next write leaves nothing of an interrupted one on
// the card. Runs as the "faults" variant.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "cryptohelpers.h"
#include "objecthelpers.h"

namespace fs = std::filesystem;

namespace sessiontest {
namespace {

// The pin-pad reader runs our own driver, which reports removals at once;
// the variant's configuration turns its keypad off.
constexpr CK_SLOT_ID SLOT = PINPAD_SLOT;
const Bytes OBJECT_VALUE = [] {
    Bytes value(700);
    for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(i * 13 + 5);
    return value;
}();
// What C_SetAttributeValue(CKA_VALUE) writes over it.
const Bytes REPLACED_VALUE(OBJECT_VALUE.rbegin(), OBJECT_VALUE.rend());
// What C_SetPIN changes the user PIN to: a different value, so that a
// changed PIN can be told from an unchanged one.
constexpr const char* CHANGED_PIN = "Ch4nged";

CK_PRIVATE_FUNCTION_LIST_PTR priv() { return LoadedModule::instance().privateList(); }

CK_RV changePin(CK_SESSION_HANDLE session, std::string oldPin, std::string newPin) {
    return p11()->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR_PTR>(oldPin.data()), oldPin.size(),
                           reinterpret_cast<CK_UTF8CHAR_PTR>(newPin.data()), newPin.size());
}

const std::set<CK_RV>& documentedResults() {
    static const std::set<CK_RV> results = {
        CKR_OK, CKR_FUNCTION_FAILED, CKR_DEVICE_ERROR, CKR_DEVICE_MEMORY, CKR_DEVICE_REMOVED,
        CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_NOT_RECOGNIZED, CKR_SESSION_CLOSED, CKR_SESSION_HANDLE_INVALID,
        CKR_USER_NOT_LOGGED_IN, CKR_PIN_INCORRECT, CKR_PIN_LOCKED, CKR_PIN_INVALID, CKR_OBJECT_HANDLE_INVALID,
        CKR_KEY_HANDLE_INVALID};
    return results;
}

std::string hexRv(CK_RV rv) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(rv));
    return text;
}

struct Context {
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE object = 0;
    Bytes input;
};

enum class Needs { NOTHING, SESSION, LOGIN };

struct Scenario {
    std::string name;
    Needs needs = Needs::LOGIN;
    std::function<void(Context&)> prepare = [](Context&) {};
    std::function<CK_RV(Context&)> call;
    // Runs on a fresh module, logged in, with the call's result.
    std::function<void(CK_RV, CK_SESSION_HANDLE)> verify = [](CK_RV, CK_SESSION_HANDLE) {};
    // Runs on a fresh module before anything logs in, with the call's result
    // and whether the fault may have cut off a command the card carried out
    // (its answer lost with the service).
    std::function<void(CK_RV, CK_SESSION_HANDLE, bool)> settle = [](CK_RV, CK_SESSION_HANDLE, bool) {};
};

struct Fault {
    enum Kind { STATUS_WORD, REMOVAL, RESET, SERVICE_STOP } kind;
    std::uint16_t sw = 0;
    std::string name() const {
        if (kind == REMOVAL) return "removal";
        if (kind == RESET) return "reset";
        if (kind == SERVICE_STOP) return "pcscd stopped";
        char text[8];
        std::snprintf(text, sizeof text, "%04X", sw);
        return text;
    }
};

Template byLabel(const std::string& label) {
    Template t;
    t.add(CKA_LABEL, label);
    return t;
}

CK_OBJECT_HANDLE firstFound(CK_SESSION_HANDLE session, Template search) {
    const auto found = findAll(session, std::move(search));
    return found.empty() ? 0 : found.front();
}

// The objects with the label, as this process's cache and as the card itself
// (cache files removed) show them; both views must agree.
std::vector<CK_OBJECT_HANDLE> findTruly(CK_SESSION_HANDLE session, const std::string& label) {
    const auto cached = findAll(session, byLabel(label));
    std::error_code ignored;
    fs::remove_all(cacheDirectory(), ignored);
    const auto fromCard = findAll(session, byLabel(label));
    EXPECT_EQ(cached.size(), fromCard.size()) << "cache and card disagree about " << label;
    return fromCard;
}

void destroyAll(CK_SESSION_HANDLE session, const std::string& label) {
    for (CK_OBJECT_HANDLE handle : findAll(session, byLabel(label)))
        EXPECT_EQ(CKR_OK, p11()->C_DestroyObject(session, handle)) << label;
    EXPECT_TRUE(findAll(session, byLabel(label)).empty()) << label;
}

CK_RV createData(CK_SESSION_HANDLE session, const std::string& label, CK_OBJECT_HANDLE& handle) {
    Template t;
    t.addUlong(CKA_CLASS, CKO_DATA).addBool(CKA_TOKEN, true).addBool(CKA_PRIVATE, true).add(CKA_LABEL, label)
        .add(CKA_VALUE, OBJECT_VALUE);
    return createObject(session, t, handle);
}

// An object that a faulted call may have left must be whole: its value is
// what was written.
void expectWholeOrAbsent(CK_SESSION_HANDLE session, const std::string& label, bool mustExist, bool mustBeGone) {
    const auto found = findTruly(session, label);
    EXPECT_LE(found.size(), 1u) << label;
    if (mustExist) {
        EXPECT_EQ(1u, found.size()) << label << " is missing after CKR_OK";
    }
    if (mustBeGone) {
        EXPECT_TRUE(found.empty()) << label << " is still there after CKR_OK";
    }
    for (CK_OBJECT_HANDLE handle : found) EXPECT_EQ(OBJECT_VALUE, attribute(session, handle, CKA_VALUE)) << label;
}

class Faults : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        insertFreshCard(SLOT, {"--key-slots", "1024:8,2048:2", "--memory-blocks", "2048"});
        card = control(SLOT);
        reader = readerOfSlot(SLOT);
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        const CK_SESSION_HANDLE session = openSession(SLOT);
        ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
        GenerationRequest request;
        request.id = {0x46, 0x4B};
        keys = generateOnCard(session, request);
        publicKey = publicKeyOf(session, keys.publicKey);
        Template cert;
        cert.addUlong(CKA_CLASS, CKO_CERTIFICATE).addBool(CKA_TOKEN, true).add(CKA_LABEL, "fault certificate")
            .add(CKA_ID, Bytes{0x46, 0x43}).add(CKA_VALUE, certificate = makeCertificate("faults"));
        CK_OBJECT_HANDLE handle = 0;
        ASSERT_EQ(CKR_OK, createObject(session, cert, handle));
        baselineFreeMemory = freeMemory();
        p11()->C_Finalize(nullptr);
    }

    static CK_ULONG freeMemory() {
        CK_TOKEN_INFO info{};
        EXPECT_EQ(CKR_OK, p11()->C_GetTokenInfo(SLOT, &info));
        return info.ulFreePublicMemory;
    }

    // The next write of data objects settles whatever an interrupted write
    // left: the card's free memory is back where it was.
    void expectNothingLeftOver(CK_SESSION_HANDLE session) {
        CK_OBJECT_HANDLE probe = 0;
        ASSERT_EQ(CKR_OK, createData(session, "fault probe", probe));
        ASSERT_EQ(CKR_OK, p11()->C_DestroyObject(session, probe));
        EXPECT_EQ(baselineFreeMemory, freeMemory()) << "an interrupted write left something on the card";
    }

    std::vector<Scenario> scenarios();

    // Puts the card back when a fault took it out.
    void ensureInserted() {
        if (card.inserted()) return;
        theBench().waitForCard(reader, false, std::chrono::seconds(5));
        card.insert();
        ASSERT_TRUE(theBench().waitForCard(reader, true));
    }

    // A fresh module with a session in the state the scenario needs.
    bool begin(const Scenario& scenario, Context& context) {
        p11()->C_Finalize(nullptr);
        if (p11()->C_Initialize(nullptr) != CKR_OK) return false;
        if (scenario.needs != Needs::NOTHING &&
            p11()->C_OpenSession(SLOT, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &context.session) !=
                CKR_OK)
            return false;
        if (scenario.needs == Needs::LOGIN && login(context.session, CKU_USER, USER_PIN) != CKR_OK) return false;
        scenario.prepare(context);
        return true;
    }

    // Runs the call with the fault armed (or none); returns the result and
    // the commands the card saw.
    CK_RV runOnce(const Scenario& scenario, const Fault* fault, std::uint8_t ins, unsigned nth, std::size_t position,
                  std::vector<bench::TraceEntry>& trace) {
        Context context;
        if (!begin(scenario, context)) {
            ADD_FAILURE() << scenario.name << ": the preparation failed";
            return CKR_GENERAL_ERROR;
        }
        card.clearStatistics();
        CK_RV rv = CKR_OK;
        if (fault == nullptr) {
            rv = scenario.call(context);
        } else if (fault->kind == Fault::STATUS_WORD) {
            card.injectStatusWord(ins, nth, fault->sw);
            rv = scenario.call(context);
        } else if (fault->kind == Fault::REMOVAL) {
            card.injectRemoval(ins, nth);
            rv = scenario.call(context);
        } else if (fault->kind == Fault::RESET) {
            rv = callWithInterference(scenario, context, position, [this] { theBench().resetCard(reader); });
        } else {
            rv = callWithInterference(scenario, context, position, [] { theBench().stopPcscd(); });
        }
        card.clearInjections();
        trace = card.trace();
        return rv;
    }

    // `interfere` runs on another thread once the call has sent position - 1
    // commands (each command takes a few milliseconds here): a second client
    // resets the card, or pcscd is stopped (and started again afterwards).
    CK_RV callWithInterference(const Scenario& scenario, Context& context, std::size_t position,
                               const std::function<void()>& interfere) {
        card.setLatency(3000, 0);
        std::atomic<bool> done{false};
        std::thread second([&] {
            while (!done) {
                if (commandsSeen() + 1 >= position) {
                    try {
                        interfere();
                    } catch (const std::exception& e) {
                        ADD_FAILURE() << "the fault could not be made: " << e.what();
                    }
                    return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        const CK_RV rv = scenario.call(context);
        done = true;
        second.join();
        card.setLatency(0, 0);
        if (theBench().pcscdPid() == -1) {
            theBench().startPcscd();
            EXPECT_TRUE(theBench().waitForCard(reader, true)) << "the card did not come back after pcscd";
        }
        return rv;
    }

    std::size_t commandsSeen() {
        std::size_t total = 0;
        for (const auto& [ins, count] : card.counters()) total += count;
        return total;
    }

    // A second PC/SC client may use the card at once (no transaction left
    // behind), and the card has no authenticated role.
    void expectCardReleased(const std::string& where) {
        bench::PcscClient client;
        bench::PcscCard second = client.connect(reader);
        bench::Bytes response;
        const std::uint32_t rv = second.tryTransmit(bench::fromHex("8050000001"), response);
        ASSERT_EQ(0u, rv) << where << ": a transaction is still held (" << std::hex << rv << ")";
        const std::uint16_t sw = bench::PcscCard::statusWord(response);
        // 6D00: the applet is not selected, so nothing is authenticated.
        if (sw == 0x9000) {
            EXPECT_EQ(0u, response.at(0)) << where << ": roles still authenticated";
        } else {
            EXPECT_EQ(0x6D00, sw) << where;
        }
        second.disconnect(0 /* SCARD_LEAVE_CARD */);
    }

    // A fresh module sees the truth; later calls do not trip over anything
    // the faulted call left.
    void verifyAfter(const Scenario& scenario, CK_RV rv, const std::string& where,
                     const Fault* fault = nullptr) {
        p11()->C_Finalize(nullptr);
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr)) << where;
        CK_SESSION_HANDLE session = 0;
        ASSERT_EQ(CKR_OK, p11()->C_OpenSession(SLOT, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session))
            << where;
        {
            SCOPED_TRACE(where);
            scenario.settle(rv, session, fault != nullptr && fault->kind == Fault::SERVICE_STOP);
        }
        ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN)) << where;
        {
            SCOPED_TRACE(where);
            scenario.verify(rv, session);
            for (CK_OBJECT_HANDLE handle : findAll(session)) {
                CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
                EXPECT_EQ(CKR_OK, p11()->C_GetAttributeValue(session, handle, &label, 1)) << where;
            }
        }
        p11()->C_Finalize(nullptr);
    }

    bench::CardControl card;
    std::string reader;
    KeyHandles keys;
    PublicKey publicKey;
    Bytes certificate;
    CK_ULONG baselineFreeMemory = 0;
};

std::vector<Scenario> Faults::scenarios() {
    std::vector<Scenario> list;
    list.push_back({"C_GetTokenInfo", Needs::NOTHING, [](Context&) {}, [](Context&) {
                        CK_TOKEN_INFO info{};
                        return p11()->C_GetTokenInfo(SLOT, &info);
                    }});
    list.push_back({"C_OpenSession", Needs::NOTHING, [](Context&) {}, [](Context& c) {
                        return p11()->C_OpenSession(SLOT, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                                    &c.session);
                    }});
    list.push_back({"C_Login", Needs::SESSION, [](Context&) {},
                    [this](Context& c) { return login(c.session, CKU_USER, USER_PIN); }});
    // Once the card holds the new PIN the call must say so, and a failure
    // must mean the old PIN is still the one: an application that believes a
    // failure retries with the old PIN and burns its tries.
    list.push_back({"C_SetPIN", Needs::LOGIN, [](Context&) {},
                    [](Context& c) { return changePin(c.session, USER_PIN, CHANGED_PIN); },
                    [](CK_RV, CK_SESSION_HANDLE) {},
                    [this](CK_RV rv, CK_SESSION_HANDLE s, bool answerMayBeLost) {
                        const CK_RV withNew = login(s, CKU_USER, CHANGED_PIN);
                        if (withNew == CKR_OK) {
                            EXPECT_TRUE(rv == CKR_OK || answerMayBeLost)
                                << "the PIN was changed, but the call returned " << hexRv(rv);
                            EXPECT_EQ(CKR_OK, changePin(s, CHANGED_PIN, USER_PIN));
                            EXPECT_EQ(CKR_OK, p11()->C_Logout(s));
                        } else {
                            EXPECT_EQ(CKR_PIN_INCORRECT, withNew);
                            EXPECT_NE(CKR_OK, rv) << "the call returned CKR_OK, but the PIN is the old one";
                        }
                    }});
    list.push_back({"C_CreateObject", Needs::LOGIN, [](Context&) {},
                    [](Context& c) { return createData(c.session, "fault created", c.object); },
                    [this](CK_RV rv, CK_SESSION_HANDLE s) {
                        expectWholeOrAbsent(s, "fault created", rv == CKR_OK, false);
                        destroyAll(s, "fault created");
                        expectNothingLeftOver(s);
                    }});
    list.push_back({"C_SetAttributeValue(CKA_VALUE)", Needs::LOGIN,
                    [](Context& c) { EXPECT_EQ(CKR_OK, createData(c.session, "fault valued", c.object)); },
                    [](Context& c) {
                        Template t;
                        t.add(CKA_VALUE, REPLACED_VALUE);
                        return p11()->C_SetAttributeValue(c.session, c.object, t.data(), t.size());
                    },
                    [this](CK_RV rv, CK_SESSION_HANDLE s) {
                        const auto found = findTruly(s, "fault valued");
                        ASSERT_EQ(1u, found.size()) << "the object must survive";
                        const Bytes value = attribute(s, found[0], CKA_VALUE);
                        EXPECT_TRUE(value == OBJECT_VALUE || value == REPLACED_VALUE) << "neither the old nor the new value";
                        if (rv == CKR_OK) {
                            EXPECT_EQ(REPLACED_VALUE, value);
                        }
                        destroyAll(s, "fault valued");
                        expectNothingLeftOver(s);
                    }});
    list.push_back({"C_DestroyObject", Needs::LOGIN,
                    [](Context& c) { EXPECT_EQ(CKR_OK, createData(c.session, "fault victim", c.object)); },
                    [](Context& c) { return p11()->C_DestroyObject(c.session, c.object); },
                    [](CK_RV rv, CK_SESSION_HANDLE s) {
                        expectWholeOrAbsent(s, "fault victim", false, rv == CKR_OK);
                        destroyAll(s, "fault victim");
                    }});
    list.push_back({"C_GetAttributeValue(certificate CKA_VALUE)", Needs::SESSION,
                    [](Context& c) {
                        c.object = firstFound(c.session, byLabel("fault certificate"));
                        std::error_code ignored;
                        fs::remove_all(cacheDirectory(), ignored);
                    },
                    [](Context& c) {
                        c.input.assign(4096, 0);
                        CK_ATTRIBUTE value{CKA_VALUE, c.input.data(), c.input.size()};
                        return p11()->C_GetAttributeValue(c.session, c.object, &value, 1);
                    },
                    [this](CK_RV, CK_SESSION_HANDLE s) {
                        const auto found = findTruly(s, "fault certificate");
                        ASSERT_EQ(1u, found.size());
                        EXPECT_EQ(certificate, attribute(s, found[0], CKA_VALUE));
                    }});
    list.push_back({"C_SetAttributeValue", Needs::LOGIN,
                    [](Context& c) { EXPECT_EQ(CKR_OK, createData(c.session, "fault settable", c.object)); },
                    [](Context& c) {
                        Template label = byLabel("fault renamed");
                        return p11()->C_SetAttributeValue(c.session, c.object, label.data(), label.size());
                    },
                    [](CK_RV rv, CK_SESSION_HANDLE s) {
                        const auto before = findTruly(s, "fault settable");
                        const auto after = findTruly(s, "fault renamed");
                        EXPECT_EQ(1u, before.size() + after.size()) << "the object must keep one label";
                        if (rv == CKR_OK) {
                            EXPECT_EQ(1u, after.size());
                        }
                        for (CK_OBJECT_HANDLE h : before) EXPECT_EQ(OBJECT_VALUE, attribute(s, h, CKA_VALUE));
                        for (CK_OBJECT_HANDLE h : after) EXPECT_EQ(OBJECT_VALUE, attribute(s, h, CKA_VALUE));
                        destroyAll(s, "fault settable");
                        destroyAll(s, "fault renamed");
                    }});
    list.push_back({"C_FindObjectsInit", Needs::LOGIN,
                    [](Context&) {
                        std::error_code ignored;
                        fs::remove_all(cacheDirectory(), ignored);
                    },
                    [](Context& c) {
                        CK_RV rv = p11()->C_FindObjectsInit(c.session, nullptr, 0);
                        if (rv == CKR_OK) p11()->C_FindObjectsFinal(c.session);
                        return rv;
                    }});
    list.push_back({"C_SignInit/C_Sign", Needs::LOGIN, [](Context&) {},
                    [this](Context& c) {
                        CK_RV rv = signInit(c.session, keys.privateKey);
                        Bytes signature;
                        if (rv == CKR_OK) rv = sign(c.session, bytesOf("faulted signature"), signature);
                        if (rv == CKR_OK && recoverSigned(publicKey, signature) != bytesOf("faulted signature"))
                            rv = CKR_GENERAL_ERROR;  // a wrong signature is never acceptable
                        return rv;
                    },
                    [this](CK_RV, CK_SESSION_HANDLE s) {
                        Bytes signature;
                        ASSERT_EQ(CKR_OK, signInit(s, keys.privateKey));
                        ASSERT_EQ(CKR_OK, sign(s, bytesOf("after the fault"), signature));
                        EXPECT_EQ(bytesOf("after the fault"), recoverSigned(publicKey, signature));
                    }});
    list.push_back({"C_DecryptInit/C_Decrypt", Needs::LOGIN,
                    [this](Context& c) { c.input = encryptWith(publicKey, bytesOf("faulted secret")); },
                    [this](Context& c) {
                        CK_RV rv = decryptInit(c.session, keys.privateKey);
                        Bytes message;
                        if (rv == CKR_OK) rv = decrypt(c.session, c.input, message, 128);
                        if (rv == CKR_OK && message != bytesOf("faulted secret")) rv = CKR_GENERAL_ERROR;
                        return rv;
                    }});
    list.push_back({"C_GenerateKeyPair", Needs::LOGIN, [](Context&) {},
                    [](Context& c) {
                        GenerationRequest request;
                        request.id = {0x47, 0x4E};
                        KeyHandles out;
                        return generateKeyPair(c.session, request.publicTemplate(), request.privateTemplate(),
                                               out);
                    },
                    [](CK_RV rv, CK_SESSION_HANDLE s) {
                        Template byId;
                        byId.add(CKA_ID, Bytes{0x47, 0x4E});
                        const auto found = findAll(s, byId);
                        std::error_code ignored;
                        fs::remove_all(cacheDirectory(), ignored);
                        const auto fromCard = findAll(s, byId);
                        EXPECT_EQ(found.size(), fromCard.size()) << "cache and card disagree";
                        EXPECT_TRUE(fromCard.empty() || fromCard.size() == 2u) << fromCard.size() << " key halves";
                        if (rv == CKR_OK) {
                            EXPECT_EQ(2u, fromCard.size());
                        }
                        for (CK_OBJECT_HANDLE h : fromCard) EXPECT_EQ(CKR_OK, p11()->C_DestroyObject(s, h));
                        // The container map the interrupted call was writing still works.
                        GenerationRequest again;
                        again.id = {0x47, 0x4F};
                        KeyHandles next;
                        EXPECT_EQ(CKR_OK, generateKeyPair(s, again.publicTemplate(), again.privateTemplate(), next))
                            << "a key can no longer be generated";
                        EXPECT_EQ(CKR_OK, p11()->C_DestroyObject(s, next.privateKey));
                        EXPECT_EQ(CKR_OK, p11()->C_DestroyObject(s, next.publicKey));
                    }});
    list.push_back({"C_GetCardId (private)", Needs::NOTHING, [](Context&) {}, [](Context& c) {
                        c.input.assign(16, 0);
                        CK_ULONG length = c.input.size();
                        return priv()->C_GetCardId(SLOT, c.input.data(), &length);
                    }});
    return list;
}

TEST_F(Faults, EveryCardCallSurvivesAFaultAtEveryCommand) {
    // A reset by a second client waits for the call's card transaction to
    // end, so it lands between calls whatever the position; CTest leaves it
    // out for time (ZENTRIK_FAULTS_WITH_RESET=1 adds it).
    std::vector<Fault> faults = {{Fault::STATUS_WORD, 0x6F00}, {Fault::STATUS_WORD, 0x6982},
                                 {Fault::STATUS_WORD, 0x6A82}, {Fault::REMOVAL}};
    if (std::getenv("ZENTRIK_FAULTS_WITH_RESET") != nullptr) faults.push_back({Fault::RESET});
    // A pcscd restart takes a while: the first, middle and last command of
    // each call, or every command with ZENTRIK_FAULTS_SERVICE_EVERYWHERE=1.
    faults.push_back({Fault::SERVICE_STOP});
    const bool serviceEverywhere = std::getenv("ZENTRIK_FAULTS_SERVICE_EVERYWHERE") != nullptr;
    // function -> fault -> result -> count
    std::map<std::string, std::map<std::string, std::map<CK_RV, int>>> summary;
    std::size_t cases = 0;
    const auto start = std::chrono::steady_clock::now();
    // ZENTRIK_FAULTS_ONLY=text runs the functions whose name contains it.
    const char* only = std::getenv("ZENTRIK_FAULTS_ONLY");
    for (const Scenario& scenario : scenarios()) {
        if (only != nullptr && scenario.name.find(only) == std::string::npos) continue;
        std::vector<bench::TraceEntry> clean;
        ASSERT_EQ(CKR_OK, runOnce(scenario, nullptr, 0, 0, 0, clean)) << scenario.name << " fails without a fault";
        verifyAfter(scenario, CKR_OK, scenario.name + " clean");
        std::map<std::uint8_t, unsigned> seen;
        for (std::size_t position = 1; position <= clean.size(); ++position) {
            const std::uint8_t ins = clean[position - 1].ins;
            const unsigned nth = ++seen[ins];
            for (const Fault& fault : faults) {
                if (fault.kind == Fault::SERVICE_STOP && !serviceEverywhere && position != 1 &&
                    position != (clean.size() + 1) / 2 && position != clean.size())
                    continue;
                ensureInserted();
                const std::string where = scenario.name + ", " + fault.name() + " at command " +
                                          std::to_string(position) + " (INS " + hexRv(ins) + ")";
                std::vector<bench::TraceEntry> trace;
                const CK_RV rv = runOnce(scenario, &fault, ins, nth, position, trace);
                ++cases;
                ++summary[scenario.name][fault.name()][rv];
                EXPECT_NE(CKR_GENERAL_ERROR, rv) << where;
                EXPECT_TRUE(documentedResults().count(rv) != 0) << where << ": " << hexRv(rv);
                if (fault.kind == Fault::REMOVAL) {
                    // The simulator took the card out when the command came.
                    theBench().waitForCard(reader, false, std::chrono::seconds(5));
                    card.insert();
                    ASSERT_TRUE(theBench().waitForCard(reader, true)) << where;
                }
                expectCardReleased(where);
                verifyAfter(scenario, rv, where, &fault);
                if (::testing::Test::HasFatalFailure()) return;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("\n%zu faulted calls in %.1f s\n| function | fault | results |\n|---|---|---|\n", cases, seconds);
    for (const auto& [function, byFault] : summary) {
        for (const auto& [fault, results] : byFault) {
            std::string text;
            for (const auto& [rv, count] : results) text += hexRv(rv) + " x" + std::to_string(count) + "  ";
            std::printf("| %s | %s | %s |\n", function.c_str(), fault.c_str(), text.c_str());
        }
    }
}

}  // namespace
}  // namespace sessiontest
