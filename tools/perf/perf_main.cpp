// zentrik-perf [--runs N] [--apdu-ms MS] [--byte-ms MS]
//
// Measures C_FindObjectsInit + C_FindObjects + C_FindObjectsFinal on a
// simulated card holding 20 objects, served through a private pcscd whose
// card answers with a realistic latency (default 3 ms per APDU and 0.1 ms
// per byte). "cold" removes the process's cache files before every run,
// "warm" keeps them current. Prints one Markdown table: APDUs sent, list
// commands among them, bytes exchanged, median and 90th percentile of the
// wall time.
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "cryptoki.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint8_t INS_LIST_HEADS = 0x0A;
constexpr const char* READER = "Zentrik Virtual 00 00";
constexpr const char* PIN = "1234";

struct Options {
    int runs = 15;
    double apduMs = 3.0;
    double byteMs = 0.1;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--runs") options.runs = std::max(1, std::atoi(argv[i + 1]));
        else if (name == "--apdu-ms") options.apduMs = std::atof(argv[i + 1]);
        else if (name == "--byte-ms") options.byteMs = std::atof(argv[i + 1]);
        else throw std::invalid_argument("unknown option " + name);
    }
    return options;
}

void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) {
        char text[128];
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

// 20 objects: 12 public data objects, 4 private ones, 4 certificate values.
void fillCard(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session) {
    for (int i = 0; i < 20; ++i) {
        const bool certificate = i >= 16;
        CK_OBJECT_CLASS objectClass = certificate ? CKO_CERTIFICATE : CKO_DATA;
        CK_BBOOL isPrivate = (i >= 12 && i < 16) ? CK_TRUE : CK_FALSE;
        const std::string label = "object " + std::to_string(i);
        std::vector<std::uint8_t> value(certificate ? 900 : 200, static_cast<std::uint8_t>(i));
        std::uint8_t id[2] = {0x50, static_cast<std::uint8_t>(i)};
        std::vector<CK_ATTRIBUTE> attributes = {
            {CKA_CLASS, &objectClass, sizeof objectClass},
            {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
            {CKA_VALUE, value.data(), value.size()}};
        if (certificate) attributes.push_back({CKA_ID, id, sizeof id});
        else attributes.push_back({CKA_PRIVATE, &isPrivate, sizeof isPrivate});
        CK_OBJECT_HANDLE handle = 0;
        check(p11->C_CreateObject(session, attributes.data(), attributes.size(), &handle), "C_CreateObject");
    }
}

CK_ULONG findAll(CK_FUNCTION_LIST_PTR p11, CK_SESSION_HANDLE session) {
    check(p11->C_FindObjectsInit(session, nullptr, 0), "C_FindObjectsInit");
    CK_OBJECT_HANDLE handles[64];
    CK_ULONG count = 0;
    check(p11->C_FindObjects(session, handles, 64, &count), "C_FindObjects");
    check(p11->C_FindObjectsFinal(session), "C_FindObjectsFinal");
    return count;
}

struct Row {
    std::string name;
    double apdus = 0, lists = 0, bytes = 0;
    std::vector<double> millis;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const std::size_t index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

Row measure(const char* name, bool cold, const Options& options, CK_FUNCTION_LIST_PTR p11,
            CK_SESSION_HANDLE session, const bench::CardControl& card, const fs::path& cache) {
    Row row;
    row.name = name;
    for (int run = 0; run < options.runs; ++run) {
        if (cold) fs::remove_all(cache);
        card.clearStatistics();
        const auto start = std::chrono::steady_clock::now();
        if (findAll(p11, session) != 20) throw std::runtime_error("the search did not find 20 objects");
        const auto stop = std::chrono::steady_clock::now();
        row.millis.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        std::uint64_t apdus = 0;
        for (const auto& [ins, count] : card.counters()) apdus += count;
        std::uint64_t bytes = 0;
        for (const bench::TraceEntry& entry : card.trace()) bytes += entry.commandLength + entry.responseLength + 2;
        row.apdus += static_cast<double>(apdus) / options.runs;
        row.lists += static_cast<double>(card.count(INS_LIST_HEADS)) / options.runs;
        row.bytes += static_cast<double>(bytes) / options.runs;
    }
    return row;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parse(argc, argv);
        const fs::path work = fs::temp_directory_path() / ("zentrik-perf-" + std::to_string(::getpid()));
        fs::create_directories(work);
        std::ofstream(work / "zentrik.txt") << "cache = " << (work / "cache").string() << "\n";
        ::setenv("ZENTRIK_CONF", (work / "zentrik.txt").c_str(), 1);

        bench::Bench bench;
        const std::string image = bench.personalise("perf.img");
        const bench::CardControl card = bench.insert(bench.reader(READER).name, image);
        CK_FUNCTION_LIST_PTR p11 = loadModule();
        check(p11->C_Initialize(nullptr), "C_Initialize");
        CK_SESSION_HANDLE session = 0;
        check(p11->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              "C_OpenSession");
        check(p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(PIN)), 4),
              "C_Login");
        fillCard(p11, session);
        card.setLatency(static_cast<unsigned>(options.apduMs * 1000), static_cast<unsigned>(options.byteMs * 1000));

        std::vector<Row> rows;
        rows.push_back(measure("C_FindObjects* over 20 objects, cache cold", true, options, p11, session, card,
                               work / "cache"));
        findAll(p11, session);  // makes the cache files current again
        rows.push_back(measure("C_FindObjects* over 20 objects, cache warm", false, options, p11, session, card,
                               work / "cache"));
        std::printf("Latency: %.1f ms per APDU, %.2f ms per byte; %d runs each.\n\n", options.apduMs,
                    options.byteMs, options.runs);
        std::printf("| operation | APDUs | list commands | bytes | median ms | p90 ms |\n");
        std::printf("|---|---:|---:|---:|---:|---:|\n");
        for (const Row& row : rows) {
            std::printf("| %s | %.1f | %.1f | %.0f | %.1f | %.1f |\n", row.name.c_str(), row.apdus, row.lists,
                        row.bytes, percentile(row.millis, 0.5), percentile(row.millis, 0.9));
        }
        p11->C_Finalize(nullptr);
        std::error_code ignored;
        fs::remove_all(work, ignored);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zentrik-perf: %s\n", e.what());
        return 1;
    }
}
