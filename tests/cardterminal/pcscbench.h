// Shared set-up of the card terminal suites on the bench: one private pcscd
// per test executable with the two vpcd readers and a pin-pad reader of our
// own driver, and one personalised card image.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "bench/bench.h"

namespace ctlpcsc {

class PcscBenchSuite : public ::testing::Test {
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

protected:
    void SetUp() override;

    static bench::Bench& theBench() { return *bench_; }
    // PC/SC names of the bench's readers.
    static std::string vpcdReader(int index);
    static std::string pinPadReader();
    static std::wstring wide(const std::string& name);
    static const std::string& image() { return image_; }

    // Inserts the card unless one is there already.
    static void ensureCard(const std::string& reader);
    static void ensureNoCard(const std::string& reader);

private:
    static std::unique_ptr<bench::Bench> bench_;
    static std::string image_;
    static std::string setUpError_;
};

}  // namespace ctlpcsc
