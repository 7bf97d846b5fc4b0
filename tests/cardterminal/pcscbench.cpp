#include "pcscbench.h"

#include <set>

#include "ctl/widetext.h"

namespace ctlpcsc {

std::unique_ptr<bench::Bench> PcscBenchSuite::bench_;
std::string PcscBenchSuite::image_;
std::string PcscBenchSuite::setUpError_;

namespace {
std::set<std::string> inserted;
}

void PcscBenchSuite::SetUpTestSuite() {
    if (!bench::Bench::toolsAvailable()) {
        setUpError_ = "the card simulator or the reader driver was not built";
        return;
    }
    try {
        bench_ = std::make_unique<bench::Bench>();
        image_ = bench_->personalise("card.img");
    } catch (const std::exception& e) {
        setUpError_ = e.what();
        bench_.reset();
    }
}

void PcscBenchSuite::TearDownTestSuite() {
    inserted.clear();
    bench_.reset();
}

void PcscBenchSuite::SetUp() {
    if (!setUpError_.empty() && setUpError_.find("not built") != std::string::npos)
        GTEST_SKIP() << setUpError_;
    ASSERT_TRUE(bench_) << "bench failed to start: " << setUpError_;
}

std::string PcscBenchSuite::vpcdReader(int index) {
    int seen = 0;
    for (const auto& r : bench_->readers()) {
        if (!r.pinPad && r.name.rfind("Zentrik Virtual ", 0) == 0 && seen++ == index) return r.name;
    }
    throw std::runtime_error("no such vpcd reader");
}

std::string PcscBenchSuite::pinPadReader() {
    for (const auto& r : bench_->readers())
        if (r.pinPad) return r.name;
    throw std::runtime_error("no pin-pad reader");
}

std::wstring PcscBenchSuite::wide(const std::string& name) { return ctl::WideText::fromUtf8(name); }

void PcscBenchSuite::ensureCard(const std::string& reader) {
    if (inserted.count(reader)) return;
    bench_->insert(reader, image_);
    inserted.insert(reader);
}

void PcscBenchSuite::ensureNoCard(const std::string& reader) {
    if (!inserted.count(reader)) return;
    bench_->remove(reader);
    inserted.erase(reader);
}

}  // namespace ctlpcsc
