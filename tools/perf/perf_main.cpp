// zentrik-perf [--runs N] [--apdu-ms MS] [--byte-ms MS] [--sign-seconds S] [--cycles N] [--log DIR]
//
// What each Cryptoki call costs on a simulated card served through a private
// pcscd, with a realistic card latency (default 3 ms per APDU and 0.1 ms per
// byte exchanged). For every row the operation runs N times; the table gives
// the APDUs and bytes the card saw (simulator counters), the median and 90th
// percentile of the wall time through the module, the same for a raw PC/SC
// client replaying the identical commands inside one transaction (the
// floor), and their ratio. A second table: 1, 2 and 4 processes signing at
// once on the card, every signature verified with the public key read from
// the card, and the resident memory of this process after many searches
// (run with no card latency).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "costmeter.h"
#include "p11client.h"
#include "signers.h"

namespace fs = std::filesystem;
using namespace perf;

namespace {

constexpr const char* READER = "Zentrik Virtual 00 00";
constexpr const char* PIN = "1234";
constexpr int OBJECTS = 20;  // 2 key pairs (4 objects) and 16 made by fillCard

struct Options {
    int runs = 25;
    double apduMs = 3.0;
    double byteMs = 0.1;
    double signSeconds = 5.0;
    long cycles = 100000;
    std::string logDirectory;  // trace log on (slows every call) when set
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--runs") options.runs = std::max(1, std::atoi(argv[i + 1]));
        else if (name == "--apdu-ms") options.apduMs = std::atof(argv[i + 1]);
        else if (name == "--byte-ms") options.byteMs = std::atof(argv[i + 1]);
        else if (name == "--sign-seconds") options.signSeconds = std::max(0.5, std::atof(argv[i + 1]));
        else if (name == "--cycles") options.cycles = std::max(1000L, std::atol(argv[i + 1]));
        else if (name == "--log") options.logDirectory = argv[i + 1];
        else throw std::invalid_argument("unknown option " + name);
    }
    return options;
}

// 16 objects: 10 public data objects, 2 private ones, 4 certificate values.
void fillCard(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session) {
    for (int i = 0; i < 16; ++i) {
        const bool certificate = i >= 12;
        CK_OBJECT_CLASS objectClass = certificate ? CKO_CERTIFICATE : CKO_DATA;
        CK_BBOOL isPrivate = (i >= 10 && i < 12) ? CK_TRUE : CK_FALSE;
        const std::string label = "object " + std::to_string(i);
        std::vector<std::uint8_t> value(certificate ? 900 : 200, static_cast<std::uint8_t>(i));
        std::uint8_t id[2] = {0x50, static_cast<std::uint8_t>(i)};
        std::vector<CK_ATTRIBUTE> attributes = {{CKA_CLASS, &objectClass, sizeof objectClass},
                                                {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                                                {CKA_VALUE, value.data(), value.size()}};
        if (certificate) attributes.push_back({CKA_ID, id, sizeof id});
        else attributes.push_back({CKA_PRIVATE, &isPrivate, sizeof isPrivate});
        CK_OBJECT_HANDLE handle = 0;
        check(p11->C_CreateObject(session, attributes.data(), attributes.size(), &handle), "C_CreateObject");
    }
}

// Destroys the module's object, then every other object with its identifier
// as the card lists them: a replayed creation leaves a second object with the
// module's identifier, which only a listing from the card shows.
void destroyAllWithId(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session, const fs::path& cache, Bytes id) {
    for (int round = 0; round < 8; ++round) {
        if (round > 0) fs::remove_all(cache);
        const auto handles = find(p11, session, {{CKA_ID, id.data(), id.size()}});
        if (handles.empty() && round > 0) return;
        for (CK_OBJECT_HANDLE handle : handles) p11->C_DestroyObject(session, handle);
    }
}

std::string ratioText(const CostRow& row) {
    const double raw = percentile(row.rawMillis, 0.5);
    if (raw <= 0) return "—";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", percentile(row.moduleMillis, 0.5) / raw);
    return text;
}

void printCostTable(const std::vector<CostRow>& rows) {
    std::printf("| operation | APDUs | list cmds | bytes | module median ms | module p90 ms | raw median ms "
                "| raw p90 ms | module/raw |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const CostRow& row : rows) {
        std::printf("| %s | %.1f | %.1f | %.0f | %.2f | %.2f | %.2f | %.2f | %s |\n", row.name.c_str(), row.apdus,
                    row.lists, row.bytes, percentile(row.moduleMillis, 0.5), percentile(row.moduleMillis, 0.9),
                    percentile(row.rawMillis, 0.5), percentile(row.rawMillis, 0.9), ratioText(row).c_str());
    }
}

std::string loadText() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The benchmark's configuration and cache directory goes on every exit.
struct WorkDirectory {
    fs::path path;
    ~WorkDirectory() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

int benchmark(const Options& options) {
    const WorkDirectory workDirectory{fs::temp_directory_path() / ("zentrik-perf-" + std::to_string(::getpid()))};
    const fs::path& work = workDirectory.path;
    fs::create_directories(work);
    const fs::path cache = work / "cache";
    {
        std::ofstream configuration(work / "zentrik.txt");
        configuration << "cache = " << cache.string() << "\n";
        if (!options.logDirectory.empty()) {
            configuration << "loglevel = 1\nlogpath = " << options.logDirectory << "/\n";
        }
    }
    ::setenv("ZENTRIK_CONF", (work / "zentrik.txt").c_str(), 1);

    bench::Bench bench;
    const std::string image =
        bench.personalise("perf.img", {"--memory-blocks", "4096", "--key-slots", "1024:4,2048:20"});
    const bench::CardControl card = bench.insert(bench.reader(READER).name, image);
    CK_FUNCTION_LIST_PTR p11 = loadModule();
    const auto setLatency = [&](double apduMs, double byteMs) {
        card.setLatency(static_cast<unsigned>(apduMs * 1000), static_cast<unsigned>(byteMs * 1000));
    };
    setLatency(options.apduMs, options.byteMs);
    CostMeter meter(card, bench.reader(READER).name, options.runs);
    std::vector<CostRow> rows;
    const std::string loadBefore = loadText();

    bool initialized = false;
    CK_SLOT_ID slot = 0;
    rows.push_back(meter.measure({"C_Initialize + C_GetSlotList", Floor::CONTEXT,
                                  [&] {
                                      if (initialized) p11->C_Finalize(nullptr);
                                  },
                                  [&] {
                                      check(p11->C_Initialize(nullptr), "C_Initialize");
                                      initialized = true;
                                      CK_SLOT_ID slots[16];
                                      CK_ULONG count = 16;
                                      check(p11->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList");
                                  }}));
    slot = slotOfReader(p11, READER);
    CK_SESSION_HANDLE extra = 0;
    rows.push_back(meter.measure({"C_OpenSession (the slot's first session)", Floor::CONNECT, [] {},
                                  [&] {
                                      check(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                                               nullptr, &extra),
                                            "C_OpenSession");
                                  },
                                  [&] { p11->C_CloseSession(extra); }}));

    setLatency(0, 0);
    const CK_SESSION_HANDLE session = openLoggedIn(p11, slot, PIN);
    // The key pairs come first: a certificate without a key pair claims the
    // container record after the last one, which a later generation needs.
    const Bytes id1024{0x4B, 0x01}, id2048{0x4B, 0x02};
    const KeyPair key1024 = generateKeyPair(p11, session, 1024, id1024);
    const KeyPair key2048 = generateKeyPair(p11, session, 2048, id2048);
    const PublicKey public2048(attribute(p11, session, key2048.publicKey, CKA_MODULUS),
                               attribute(p11, session, key2048.publicKey, CKA_PUBLIC_EXPONENT));
    fillCard(p11, session);
    find(p11, session);  // cache files current
    setLatency(options.apduMs, options.byteMs);

    CK_TOKEN_INFO tokenInfo{};
    rows.push_back(meter.measure({"C_GetTokenInfo", Floor::OWN_CONNECTION, [] {},
                                  [&] { check(p11->C_GetTokenInfo(slot, &tokenInfo), "C_GetTokenInfo"); }}));
    rows.push_back(meter.measure({"C_Login (user)", Floor::TRANSACTION,
                                  [&] { check(p11->C_Logout(session), "C_Logout"); },
                                  [&] {
                                      check(p11->C_Login(session, CKU_USER,
                                                         reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(PIN)),
                                                         4),
                                            "C_Login");
                                  }}));
    const auto findAll = [&] {
        if (find(p11, session).size() != OBJECTS) throw std::runtime_error("the search did not find 20 objects");
    };
    rows.push_back(meter.measure({"C_FindObjects* over 20 objects, cache cold", Floor::TRANSACTION,
                                  [&] { fs::remove_all(cache); }, findAll}));
    findAll();
    rows.push_back(meter.measure({"C_FindObjects* over 20 objects, cache warm", Floor::TRANSACTION, [] {}, findAll}));

    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    const auto certificates = find(p11, session, {{CKA_CLASS, &certificateClass, sizeof certificateClass}});
    if (certificates.empty()) throw std::runtime_error("no certificate on the card");
    Bytes value(4096);
    rows.push_back(meter.measure({"C_GetAttributeValue (CKA_VALUE of a 900-byte certificate)", Floor::TRANSACTION,
                                  [] {}, [&] {
                                      CK_ATTRIBUTE a{CKA_VALUE, value.data(), value.size()};
                                      check(p11->C_GetAttributeValue(session, certificates[0], &a, 1),
                                            "C_GetAttributeValue");
                                  }}));

    const Bytes toSign = digestInfo("benchmark");
    CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    for (const auto& [bits, key] : {std::pair{1024, key1024}, std::pair{2048, key2048}}) {
        const CK_OBJECT_HANDLE privateKey = key.privateKey;
        rows.push_back(meter.measure({"C_Sign, RSA " + std::to_string(bits), Floor::TRANSACTION,
                                      [&] { check(p11->C_SignInit(session, &rsa, privateKey), "C_SignInit"); },
                                      [&] {
                                          std::uint8_t out[256];
                                          CK_ULONG length = sizeof out;
                                          check(p11->C_Sign(session, const_cast<std::uint8_t*>(toSign.data()),
                                                            toSign.size(), out, &length),
                                                "C_Sign");
                                      }}));
    }
    const Bytes encrypted = public2048.encrypt(Bytes(32, 0x5C));
    rows.push_back(meter.measure({"C_Decrypt, RSA 2048", Floor::TRANSACTION,
                                  [&] { check(p11->C_DecryptInit(session, &rsa, key2048.privateKey), "C_DecryptInit"); },
                                  [&] {
                                      std::uint8_t out[256];
                                      CK_ULONG length = sizeof out;
                                      check(p11->C_Decrypt(session, const_cast<std::uint8_t*>(encrypted.data()),
                                                           encrypted.size(), out, &length),
                                            "C_Decrypt");
                                      if (length != 32) throw std::runtime_error("C_Decrypt: wrong plaintext");
                                  }}));

    // Creating rows: the replay creates a second object on the card, so
    // every run ends by destroying whatever carries the run's identifier.
    // Finding that needs the cache files out of the way; a throw-away
    // certificate made and destroyed through the module makes every cache
    // file current again (the container map's directories and files too),
    // so that each run starts warm like the rows before.
    const auto warmUp = [&] {
        const Bytes scratch{0x57, 0x01};
        const CK_OBJECT_HANDLE handle = createCertificate(p11, session, scratch, 300);
        check(p11->C_DestroyObject(session, handle), "C_DestroyObject");
        find(p11, session);
    };
    warmUp();
    int serial = 0;
    KeyPair generated;
    rows.push_back(meter.measure(
        {"C_GenerateKeyPair, RSA 2048", Floor::TRANSACTION, [&] { ++serial; },
         [&] { generated = generateKeyPair(p11, session, 2048, {0x47, static_cast<std::uint8_t>(serial)}); },
         [&] {
             setLatency(0, 0);
             destroyAllWithId(p11, session, cache, {0x47, static_cast<std::uint8_t>(serial)});
             warmUp();
             setLatency(options.apduMs, options.byteMs);
         }}));
    rows.push_back(meter.measure(
        {"C_CreateObject (2 KB certificate)", Floor::TRANSACTION, [&] { ++serial; },
         [&] { createCertificate(p11, session, {0x43, static_cast<std::uint8_t>(serial)}, 2048); },
         [&] {
             setLatency(0, 0);
             destroyAllWithId(p11, session, cache, {0x43, static_cast<std::uint8_t>(serial)});
             warmUp();
             setLatency(options.apduMs, options.byteMs);
         }}));

    std::printf("Latency: %.1f ms per APDU, %.2f ms per byte; %d runs each; load average %s (before) / %s "
                "(after); %ld cores.\n\n",
                options.apduMs, options.byteMs, options.runs, loadBefore.c_str(), loadText().c_str(),
                ::sysconf(_SC_NPROCESSORS_ONLN));
    printCostTable(rows);
    std::printf("\nCommands of the first run of each row (INS, hexadecimal):\n\n");
    for (const CostRow& row : rows) {
        std::string sequence;
        for (std::uint8_t ins : row.firstRunInstructions) {
            char text[4];
            std::snprintf(text, sizeof text, "%02X", ins);
            sequence += sequence.empty() ? text : std::string(" ") + text;
        }
        std::printf("- %s (module CPU %.2f ms): %s\n", row.name.c_str(), percentile(row.moduleCpuMillis, 0.5),
                    sequence.empty() ? "none" : sequence.c_str());
    }

    // Concurrent signing on the same card, each process its own connection.
    card.setCapture(false);
    card.clearStatistics();
    std::printf("\n| measurement | result |\n|---|---|\n");
    for (int processes : {1, 2, 4}) {
        const SignerResult r = runSigners(processes, READER, id2048, options.signSeconds);
        std::printf("| %d signing process%s, RSA 2048, %.1f s | %.1f signatures/s, %ld errors, %ld not verifying |\n",
                    processes, processes == 1 ? "" : "es", r.seconds, static_cast<double>(r.signatures) / r.seconds,
                    r.errors, r.unverified);
        std::fflush(stdout);
        card.clearStatistics();
    }

    // Memory: warm searches with no card latency.
    setLatency(0, 0);
    long after1000 = 0;
    for (long cycle = 1; cycle <= options.cycles; ++cycle) {
        findAll();
        if (cycle % 5000 == 0) card.clearStatistics();  // the simulator's trace is bounded, keep it small
        if (cycle == 1000) after1000 = residentKiB();
    }
    const long afterAll = residentKiB();
    std::printf("| VmRSS after 1,000 / %ld search cycles (no latency) | %ld KiB / %ld KiB (%+ld KiB) |\n",
                options.cycles, after1000, afterAll, afterAll - after1000);

    p11->C_CloseSession(session);
    p11->C_Finalize(nullptr);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 6 && std::string(argv[1]) == "--signer") {
            return signerMain(argv[2], argv[3], std::atoll(argv[4]), std::atof(argv[5]));
        }
        return benchmark(parse(argc, argv));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zentrik-perf: %s\n", e.what());
        return 1;
    }
}
