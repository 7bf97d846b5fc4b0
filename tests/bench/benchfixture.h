// Shared pieces of the suites that run through the real pcscd: one bench per
// suite (starting pcscd costs tens of milliseconds, a vpcd insertion about
// 400 ms), a fresh card image per test, and builders for Ferrix commands.
#pragma once

#include <bench/bench.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace benchtest {

using bench::Bytes;
using bench::fromHex;

constexpr const char* VPCD_READER = "Zentrik Virtual 00 00";
constexpr const char* PINPAD_READER = "Zentrik PinPad";
constexpr const char* PLAIN_READER = "Zentrik Plain";

inline const Bytes SELECT_FERRIX = fromHex("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41");

// 80 20 role 00 10 <PIN zero-padded to 16 bytes>
inline Bytes authenticatePin(std::uint8_t role, const std::string& pin) {
    Bytes apdu{0x80, 0x20, role, 0x00, 0x10};
    Bytes field(16, 0);
    std::copy(pin.begin(), pin.end(), field.begin());
    apdu.insert(apdu.end(), field.begin(), field.end());
    return apdu;
}

inline Bytes withData(Bytes header, const Bytes& data) {
    header.push_back(static_cast<std::uint8_t>(data.size()));
    header.insert(header.end(), data.begin(), data.end());
    return header;
}

inline Bytes body(const Bytes& response) { return Bytes(response.begin(), response.end() - 2); }

inline std::string swText(std::uint16_t sw) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", sw);
    return buf;
}

class BenchSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!bench::Bench::toolsAvailable()) return;
        bench::BenchConfig config;
        config.readers = {{PINPAD_READER, bench::ReaderSpec::Kind::PINPAD}, {PLAIN_READER, bench::ReaderSpec::Kind::PLAIN}};
        bench_ = std::make_unique<bench::Bench>(config);
    }
    static void TearDownTestSuite() { bench_.reset(); }

    void SetUp() override {
        if (!bench_) GTEST_SKIP() << "cardsim or libifdzentrik.so was not built";
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            if (c == '/') c = '_';
        image_ = bench_->personalise(name + ".img");
    }
    void TearDown() override {
        if (!bench_) return;
        for (const auto& r : bench_->readers()) {
            try {
                bench_->remove(r.name);
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
            }
        }
    }

    bench::Bench& bench() { return *bench_; }
    const std::string& image() const { return image_; }

    static std::unique_ptr<bench::Bench> bench_;
    std::string image_;
};

inline std::unique_ptr<bench::Bench> BenchSuite::bench_;

}  // namespace benchtest
