#include "slotbench.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

namespace fs = std::filesystem;

namespace slottest {

std::unique_ptr<bench::Bench> SlotBench::bench_;
std::string SlotBench::image_;

bench::BenchConfig defaultReaders() {
    bench::BenchConfig config;
    config.readers = {{PINPAD_READER, bench::ReaderSpec::Kind::PINPAD}};
    return config;
}

bench::BenchConfig plainReaders(std::size_t count, const std::string& prefix) {
    bench::BenchConfig config;
    config.readers.clear();
    for (std::size_t i = 2; i < count; ++i) {
        config.readers.push_back({prefix + " " + std::to_string(i), bench::ReaderSpec::Kind::PLAIN});
    }
    return config;
}

std::string traceLog() {
    std::stringstream all;
    for (const auto& entry : fs::directory_iterator(fs::path(workDirectory()) / "log")) {
        std::ifstream file(entry.path(), std::ios::binary);
        all << file.rdbuf();
    }
    return all.str();
}

std::string blankPadded(const std::string& text, std::size_t width) {
    std::string padded = text.substr(0, width);
    padded.resize(width, ' ');
    return padded;
}

std::string field(const CK_UTF8CHAR* bytes, std::size_t width) {
    return std::string(reinterpret_cast<const char*>(bytes), width);
}

void SlotBench::shutDown() { bench_.reset(); }

void SlotBench::SetUp() {
    if (!bench::Bench::toolsAvailable()) GTEST_SKIP() << "cardsim or libifdzentrik.so was not built";
    if (!bench_) {
        bench_ = std::make_unique<bench::Bench>(defaultReaders());
        image_ = bench_->personalise("slots.img");
    }
    p11()->C_Finalize(nullptr);
    for (const bench::Reader& reader : bench_->readers()) ensureNoCard(reader.name);
}

void SlotBench::TearDown() {
    if (!bench_) return;
    p11()->C_Finalize(nullptr);
    if (readersChanged_) {
        bench_->restart(defaultReaders());
    } else {
        for (const bench::Reader& reader : bench_->readers()) ensureNoCard(reader.name);
    }
}

std::vector<std::string> SlotBench::listedReaders() {
    bench::PcscClient client;
    return client.readers();
}

std::string SlotBench::readerNamed(const std::string& prefix) { return bench_->reader(prefix).name; }

void SlotBench::ensureCard(const std::string& reader) {
    if (bench_->cardPid(reader) < 0) bench_->insert(reader, image_);
}

void SlotBench::ensureNoCard(const std::string& reader) {
    if (bench_->cardPid(reader) >= 0) bench_->remove(reader);
}

void SlotBench::restartWith(const bench::BenchConfig& config) {
    readersChanged_ = true;
    bench_->restart(config);
}

CK_SLOT_INFO SlotBench::slotInfo(CK_SLOT_ID slot) {
    CK_SLOT_INFO info;
    std::memset(&info, 0xCC, sizeof info);
    EXPECT_EQ(CKR_OK, p11()->C_GetSlotInfo(slot, &info)) << "slot " << slot;
    return info;
}

std::vector<CK_SLOT_ID> SlotBench::slotList() {
    CK_ULONG count = 0;
    EXPECT_EQ(CKR_OK, p11()->C_GetSlotList(CK_FALSE, nullptr, &count));
    std::vector<CK_SLOT_ID> slots(count);
    EXPECT_EQ(CKR_OK, p11()->C_GetSlotList(CK_FALSE, slots.data(), &count));
    slots.resize(count);
    return slots;
}

SlotEvent SlotBench::waitForEvent(std::chrono::milliseconds limit) {
    std::future<SlotEvent> pending = startWaiting();
    return finishWaiting(pending, limit);
}

std::future<SlotEvent> SlotBench::startWaiting() {
    return std::async(std::launch::async, [] {
        SlotEvent event{CKR_GENERAL_ERROR, 0xFFFF};
        event.rv = p11()->C_WaitForSlotEvent(0, &event.slot, nullptr);
        return event;
    });
}

SlotEvent SlotBench::finishWaiting(std::future<SlotEvent>& pending, std::chrono::milliseconds limit) {
    if (pending.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "no slot event within " << limit.count() << " ms";
        p11()->C_Finalize(nullptr);
    }
    return pending.get();
}

std::vector<CK_SLOT_ID> SlotBench::drainEvents() {
    std::vector<CK_SLOT_ID> slots;
    for (int i = 0; i < 32; ++i) {
        CK_SLOT_ID slot = 0xFFFF;
        const CK_RV rv = p11()->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
        if (rv == CKR_NO_EVENT) return slots;
        EXPECT_EQ(CKR_OK, rv);
        if (rv != CKR_OK) return slots;
        slots.push_back(slot);
    }
    ADD_FAILURE() << "events do not stop coming";
    return slots;
}

}  // namespace slottest
