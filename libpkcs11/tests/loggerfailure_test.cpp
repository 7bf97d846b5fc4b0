// A call whose trace log cannot be created (no memory for it, no mutex) still
// returns a CK_RV: the frame's noexcept paths that log must not end the host
// application. The logger is created once per process, so each case runs in
// a fresh process (a death-test child that re-runs this program) in which the
// first logging call meets an exhausted heap.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

#include "callframe.h"
#include "p11exceptions.h"

namespace {

// While set, every allocation of the process fails.
std::atomic<bool> heapExhausted{false};

// The C heap behind the replaced operators, reached through pointers so that
// the compiler does not pair malloc with delete.
void* (*volatile heapAllocate)(std::size_t) = std::malloc;
void (*volatile heapFree)(void*) = std::free;

}  // namespace

void* operator new(std::size_t size) {
    if (heapExhausted.load()) throw std::bad_alloc();
    if (void* p = heapAllocate(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { heapFree(p); }
void operator delete(void* p, std::size_t) noexcept { heapFree(p); }

namespace {

#if GTEST_HAS_DEATH_TEST

struct FailureCase {
    const char* name;
    std::function<CK_RV()> call;
    CK_RV expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

CK_RV failingBody(const std::function<void()>& raise) {
    return callFrame<FULL_FRAME>("C_Test", [&]() -> CK_RV {
        raise();
        return CKR_OK;
    });
}

// Runs the call with the heap exhausted from its first line on and exits
// with 0 when it returned the expected value.
[[noreturn]] void runWithoutHeap(const FailureCase& c) {
    isInitialized.store(true);
    heapExhausted.store(true);
    const CK_RV rv = c.call();
    heapExhausted.store(false);
    std::_Exit(rv == c.expected ? 0 : 1);
}

class CallWithoutLogger : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CallWithoutLogger, ReturnsItsResultInsteadOfAborting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(runWithoutHeap(GetParam()), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    FirstLogCall, CallWithoutLogger,
    ::testing::Values(
        FailureCase{"Succeeding", [] { return failingBody([] {}); }, CKR_OK},
        FailureCase{"OutOfMemoryInTheBody",
                    [] { return failingBody([] { throw std::bad_alloc(); }); }, CKR_GENERAL_ERROR},
        FailureCase{"ModuleException",
                    [] { return failingBody([] { throw SlotNotFoundException(7); }); },
                    CKR_SLOT_ID_INVALID},
        FailureCase{"NotInitialized",
                    [] {
                        isInitialized.store(false);
                        return callFrame<FULL_FRAME>("C_Test", []() -> CK_RV { return CKR_OK; });
                    },
                    CKR_CRYPTOKI_NOT_INITIALIZED}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

#endif  // GTEST_HAS_DEATH_TEST

}  // namespace
