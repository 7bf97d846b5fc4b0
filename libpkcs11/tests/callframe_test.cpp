#include "callframe.h"

#include <gtest/gtest.h>

#include <ostream>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "amw/exceptions.h"
#include "ctl/ctlexception.h"
#include "p11exceptions.h"
#include "p11functions.h"
#include "tracelog.h"

namespace {

// Runs each test with the module in the state it asks for and restores the
// state afterwards.
class InitializedState {
public:
    explicit InitializedState(bool initialized) : saved(isInitialized.load()) {
        isInitialized.store(initialized);
    }
    ~InitializedState() {
        isInitialized.store(saved);
    }

private:
    bool saved;
};

struct ThrowCase {
    const char* description;
    std::function<void()> raise;
    CK_RV expected;
};

void PrintTo(const ThrowCase& c, std::ostream* os) {
    *os << c.description;
}

template <class E>
std::function<void()> raising(E e) {
    return [e]() { throw e; };
}

const std::uint8_t DUPLICATE_ID[] = {1, 2, 3};

class CatchSequenceTest : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(CatchSequenceTest, TranslatesToItsReturnValue) {
    InitializedState state(true);
    CK_RV rv = callFrame<FULL_FRAME>("C_Test", [&]() -> CK_RV {
        GetParam().raise();
        return CKR_OK;
    });
    EXPECT_EQ(GetParam().expected, rv);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, CatchSequenceTest,
    ::testing::Values(
        ThrowCase{"attribute type invalid", raising(AttributeTypeInvalidException(CKA_LABEL)),
                  CKR_ATTRIBUTE_TYPE_INVALID},
        ThrowCase{"buffer too small", raising(AttributeBufferTooSmallException(1, 2)),
                  CKR_BUFFER_TOO_SMALL},
        ThrowCase{"sensitive", raising(AttributeTypeSensitiveException(CKA_PRIME_1)),
                  CKR_ATTRIBUTE_SENSITIVE},
        ThrowCase{"read-only", raising(AttributeReadOnlyException(CKA_CLASS)),
                  CKR_ATTRIBUTE_READ_ONLY},
        ThrowCase{"inconsistent", raising(TemplateInconsistentException(CKA_ID)),
                  CKR_TEMPLATE_INCONSISTENT},
        ThrowCase{"incomplete", raising(TemplateIncompleteException(CKA_ID)),
                  CKR_TEMPLATE_INCOMPLETE},
        ThrowCase{"value invalid", raising(AttributValueInvalidException::invalidValue(CKA_TOKEN)),
                  CKR_ATTRIBUTE_VALUE_INVALID},
        ThrowCase{"object handle", raising(InvalidObjectHandleException(3)),
                  CKR_OBJECT_HANDLE_INVALID},
        ThrowCase{"session handle", raising(InvalidSessionHandleException(3)),
                  CKR_SESSION_HANDLE_INVALID},
        ThrowCase{"slot", raising(SlotNotFoundException(99)), CKR_SLOT_ID_INVALID},
        ThrowCase{"operation", raising(OperationNotInitialized("sign")),
                  CKR_OPERATION_NOT_INITIALIZED},
        ThrowCase{"library", raising(LibraryNotInicializedException()),
                  CKR_CRYPTOKI_NOT_INITIALIZED},
        ThrowCase{"so session", raising(ReadWriteSoSessionExistsException()),
                  CKR_SESSION_READ_WRITE_SO_EXISTS},
        ThrowCase{"encrypted length", raising(InvalidEncryptedDataLength(5)),
                  CKR_ENCRYPTED_DATA_LEN_RANGE},
        ThrowCase{"encrypted data", raising(InvalidEncryptedData("bad")),
                  CKR_ENCRYPTED_DATA_INVALID},
        ThrowCase{"plain length", raising(InvalidPlainTextDataLength(500)), CKR_DATA_LEN_RANGE},
        ThrowCase{"duplicate id", raising(amw::DuplicatePkcs11IdException(DUPLICATE_ID, 3)),
                  CKR_ATTRIBUTE_VALUE_INVALID},
        ThrowCase{"security violation", raising(amw::SecurityViolationException()),
                  CKR_USER_NOT_LOGGED_IN},
        ThrowCase{"card memory", raising(amw::CardOutOfMemoryException()), CKR_DEVICE_MEMORY},
        ThrowCase{
            "pin pad timeout",
            raising(amw::PinPadException(amw::PinPadException::AUTHENTICATION_PINPAD_TIMEOUT)),
            CKR_FUNCTION_CANCELED},
        ThrowCase{
            "pin pad cancel",
            raising(amw::PinPadException(amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED)),
            CKR_FUNCTION_CANCELED},
        ThrowCase{"pin pad mismatch",
                  raising(amw::PinPadException(
                      amw::PinPadException::AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH)),
                  CKR_FUNCTION_CANCELED},
        ThrowCase{"pin pad length",
                  raising(amw::PinPadException(
                      amw::PinPadException::AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG)),
                  CKR_FUNCTION_CANCELED},
        ThrowCase{"pin policy", raising(amw::PinPolicyViolationException()), CKR_PIN_INVALID},
        ThrowCase{"reset card", raising(ctl::CtlException(0x80100068)), CKR_SESSION_CLOSED},
        ThrowCase{"removed card", raising(ctl::CtlException(0x80100069)), CKR_TOKEN_NOT_PRESENT},
        ThrowCase{"no service", raising(ctl::CtlException(0x8010001D)), CKR_DEVICE_ERROR},
        ThrowCase{"reader unavailable", raising(ctl::CtlException(0x80100017)), CKR_DEVICE_ERROR},
        ThrowCase{"plain VxException", raising(VxException("plain")), CKR_FUNCTION_FAILED},
        ThrowCase{"internal error", raising(InternalErrorException("Session PIN is empty")),
                  CKR_FUNCTION_FAILED},
        ThrowCase{"null argument",
                  raising(InvalidArgumentException::nullPointer("p", "f", "x.cpp", 1)),
                  CKR_FUNCTION_FAILED},
        ThrowCase{"reader not in slot", raising(ReaderNotInSlotException(2)), CKR_FUNCTION_FAILED},
        ThrowCase{"default certificate", raising(DefaultCertificateException()),
                  CKR_FUNCTION_FAILED},
        ThrowCase{"status word", raising(amw::SWException(0x6F00)), CKR_FUNCTION_FAILED},
        ThrowCase{"freshness counter", raising(amw::FreshnessCounterException("keys")),
                  CKR_FUNCTION_FAILED},
        ThrowCase{"serialization", raising(SerializationException()), CKR_FUNCTION_FAILED},
        ThrowCase{"allocation failure", raising(std::bad_alloc()), CKR_GENERAL_ERROR},
        ThrowCase{"standard exception", raising(std::runtime_error("x")), CKR_GENERAL_ERROR},
        ThrowCase{"not an exception", raising(42), CKR_GENERAL_ERROR}));

struct CtlCase {
    std::uint32_t error;
    CK_RV expected;
};

// Printed by value, so that the struct's padding is never read.
void PrintTo(const CtlCase& c, std::ostream* out) {
    *out << "0x" << std::hex << c.error << " -> 0x" << c.expected << std::dec;
}

class CtlMappingTest : public ::testing::TestWithParam<CtlCase> {};

TEST_P(CtlMappingTest, MapsWithoutSession) {
    EXPECT_EQ(GetParam().expected, mapCtlException(ctl::CtlException(GetParam().error), nullptr));
}

INSTANTIATE_TEST_SUITE_P(Codes, CtlMappingTest,
                         ::testing::Values(CtlCase{0x80100068, CKR_SESSION_CLOSED},
                                           CtlCase{0x80100069, CKR_TOKEN_NOT_PRESENT},
                                           CtlCase{0x80100013, CKR_DEVICE_ERROR},
                                           CtlCase{0x8010000C, CKR_DEVICE_ERROR},
                                           CtlCase{0x00000000, CKR_DEVICE_ERROR}));

TEST(FrameVariants, LockedFunctionBeforeInitializeDoesNotRunItsBody) {
    InitializedState state(false);
    bool ran = false;
    CK_RV rv = callFrame<FULL_FRAME>("C_Test", [&]() {
        ran = true;
        return CKR_OK;
    });
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, rv);
    EXPECT_FALSE(ran);
}

TEST(FrameVariants, FixedOutputFunctionBeforeInitializeDoesNotRunItsBody) {
    InitializedState state(false);
    bool ran = false;
    CK_RV rv = callFrame<FIXED_OUTPUT_FRAME>("C_Test", [&]() noexcept {
        ran = true;
        return CKR_OK;
    });
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, rv);
    EXPECT_FALSE(ran);
}

TEST(FrameVariants, BareAndUnlockedFramesRunBeforeInitialize) {
    InitializedState state(false);
    EXPECT_EQ(CKR_OK, callFrame<BARE_FRAME>("C_Test", []() noexcept { return CKR_OK; }));
    EXPECT_EQ(CKR_NO_EVENT, callFrame<UNLOCKED_FRAME>("C_Test", []() { return CKR_NO_EVENT; }));
    EXPECT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, callFrame<INITIALIZE_FRAME>("C_Test", []() {
                  return CKR_CRYPTOKI_ALREADY_INITIALIZED;
              }));
}

TEST(FrameVariants, NotSupportedAnswersWhateverTheState) {
    for (bool initialized : {false, true}) {
        InitializedState state(initialized);
        EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, notSupported("C_Test"));
        EXPECT_EQ(CKR_FUNCTION_NOT_SUPPORTED, notSupported("C_Test", ReturnForm::NUMERIC));
    }
}

// Two threads: the first holds its body open until the second has tried to
// run its own. A locked second call must wait; an unlocked one must not.
template <FrameVariant Second>
bool secondCallOverlapsFirst() {
    InitializedState state(true);
    std::mutex m;
    std::condition_variable changed;
    bool firstInside = false;
    bool secondRan = false;
    bool overlapped = false;

    std::thread first([&]() {
        callFrame<FULL_FRAME>("C_First", [&]() {
            std::unique_lock<std::mutex> lock(m);
            firstInside = true;
            changed.notify_all();
            // Long enough for an unlocked second call to get through.
            overlapped =
                changed.wait_for(lock, std::chrono::milliseconds(300), [&] { return secondRan; });
            return CKR_OK;
        });
    });
    {
        std::unique_lock<std::mutex> lock(m);
        changed.wait(lock, [&] { return firstInside; });
    }
    callFrame<Second>("C_Second", [&]() {
        std::lock_guard<std::mutex> lock(m);
        secondRan = true;
        changed.notify_all();
        return CKR_OK;
    });
    first.join();
    return overlapped;
}

TEST(FrameLocking, LockedFunctionsRunOneAtATime) {
    EXPECT_FALSE(secondCallOverlapsFirst<FULL_FRAME>());
}

TEST(FrameLocking, UnlockedFunctionRunsWhileALockedOneIsBusy) {
    EXPECT_TRUE(secondCallOverlapsFirst<UNLOCKED_FRAME>());
}

TEST(FrameLocking, LockIsReleasedAfterAnException) {
    InitializedState state(true);
    callFrame<FULL_FRAME>("C_Test", []() -> CK_RV { throw VxException("boom"); });
    // Another thread would block for ever if the lock had been kept.
    std::atomic<bool> done{false};
    std::thread other([&]() {
        callFrame<FULL_FRAME>("C_Other", []() { return CKR_OK; });
        done = true;
    });
    other.join();
    EXPECT_TRUE(done.load());
}

class FrameTrace : public TraceLogTest {};

TEST_F(FrameTrace, NotInitializedCallIsTracedWithItsReturnLine) {
    InitializedState state(false);
    callFrame<FULL_FRAME>("C_Login", []() { return CKR_OK; });
    std::string lines = written();
    std::size_t entering = lines.find("Entering C_Login()");
    std::size_t returning = lines.find("Returning CKR_CRYPTOKI_NOT_INITIALIZED [400] FUFU\n");
    std::size_t leaving = lines.find("Leaving C_Login\n");
    ASSERT_NE(std::string::npos, entering) << lines;
    ASSERT_NE(std::string::npos, returning) << lines;
    ASSERT_NE(std::string::npos, leaving) << lines;
    EXPECT_LT(entering, returning);
    EXPECT_LT(returning, leaving);
}

TEST_F(FrameTrace, AllocationFailureIsAnUnknownException) {
    InitializedState state(true);
    CK_RV rv = callFrame<FULL_FRAME>("C_Test", []() -> CK_RV { throw std::bad_alloc(); });
    EXPECT_EQ(CKR_GENERAL_ERROR, rv);
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("UNKNOWN EXCEPTION CAUGHT\n")) << lines;
    EXPECT_NE(std::string::npos, lines.find("Returning CKR_GENERAL_ERROR [5] FUFU\n")) << lines;
}

TEST_F(FrameTrace, CaughtExceptionIsLoggedAfterTheBodyHasUnwound) {
    InitializedState state(true);
    struct Scoped {
        ~Scoped() {
            Logger::instance().log(LOG_FACILITY_PKCS11, L"scoped object released");
        }
    };
    callFrame<FULL_FRAME>("C_Test", []() -> CK_RV {
        Scoped scoped;
        throw InvalidSessionHandleException(77);
    });
    std::string lines = written();
    std::size_t released = lines.find("scoped object released");
    std::size_t caught = lines.find("EXCEPTION CAUGHT invalid CK_SESSION_HANDLE [77]\n");
    ASSERT_NE(std::string::npos, released) << lines;
    ASSERT_NE(std::string::npos, caught) << lines;
    EXPECT_LT(released, caught);
    EXPECT_NE(std::string::npos, lines.find("Returning CKR_SESSION_HANDLE_INVALID [179] FUFU\n"))
        << lines;
}

TEST_F(FrameTrace, VerifyStyleFunctionsReturnInNumericForm) {
    notSupported("C_Verify", ReturnForm::NUMERIC);
    std::string lines = written();
    EXPECT_NE(std::string::npos, lines.find("Entering C_Verify()")) << lines;
    EXPECT_NE(std::string::npos, lines.find("Returning 84 [0x00000054]\n")) << lines;
}

TEST_F(FrameTrace, BodyChoosesNoReturnLine) {
    InitializedState state(true);
    callFrame<FULL_FRAME>("C_Test", [](CallContext& call) {
        call.returnForm = ReturnForm::NONE;
        return CKR_BUFFER_TOO_SMALL;
    });
    EXPECT_EQ(std::string::npos, written().find("Returning")) << written();
}

}  // namespace

namespace {

using FixedOutputTrace = TraceLogTest;

TEST_F(FixedOutputTrace, JavaCardFamilyLogsItsParameters) {
    InitializedState state(true);
    CK_BBOOL javaCard = CK_FALSE;
    int unused = 0;
    EXPECT_EQ(CKR_OK, C_IsJavaCardFamily(7, &unused, nullptr, &javaCard));
    const std::string lines = written();
    for (const char* expected :
         {"slotID = 7 [0x00000007]\n", "pUnused1 != 0 = true\n", "pUnused2 != 0 = false\n"}) {
        EXPECT_NE(std::string::npos, lines.find(expected)) << expected << lines;
    }
}

}  // namespace
