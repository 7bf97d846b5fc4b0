#include "vxexception.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(VxException, FormatsLikePrintf) {
    const VxException e("invalid SLOT_ID %d (%s, 0x%08X)", 7, "reader", 0x80100069u);
    EXPECT_STREQ("invalid SLOT_ID 7 (reader, 0x80100069)", e.what());
}

TEST(VxException, WideArgumentsWithNonAsciiTextSurvive) {
    const VxException e("reader <%ls> gone", L"\u010Cte\u010Dka 00 00");
    EXPECT_STREQ("reader <\xC4\x8Cte\xC4\x8Dka 00 00> gone", e.what());
}

TEST(VxException, LongMessagesAreCutAt1023) {
    const std::string longText(3000, 'm');
    const VxException e("%s", longText.c_str());
    EXPECT_EQ(std::string(1023, 'm'), std::string(e.what()));
}

TEST(VxException, CutNeverSplitsAUtf8Character) {
    // 1022 ASCII bytes, then a two-byte character that does not fit whole.
    const std::string text = std::string(1022, 'a') + "\xC4\x8D";
    const VxException e("%s", text.c_str());
    EXPECT_EQ(std::string(1022, 'a'), std::string(e.what()));
}

TEST(VxException, CopiesCarryTheMessage) {
    const VxException original("copied %d", 1);
    const VxException copy = original;
    EXPECT_STREQ("copied 1", copy.what());
}

TEST(InternalErrorException, PrefixesTheMessage) {
    EXPECT_STREQ("INTERNAL ERROR wrong state 3", InternalErrorException("wrong state %d", 3).what());
    EXPECT_STREQ("INTERNAL ERROR ", InternalErrorException().what());
}

TEST(InvalidArgumentException, FactoriesProduceTheThreeShapes) {
    EXPECT_STREQ("Null pointer exception <pulCount> [C_GetSlotList() slots.cpp:12]",
                 InvalidArgumentException::nullPointer("pulCount", "C_GetSlotList", "/src/x/slots.cpp", 12)
                     .what());
    EXPECT_STREQ("Invalid argument exception <flags> [f() a.cpp:3]",
                 InvalidArgumentException::invalid("flags", "f", "C:\\src\\a.cpp", 3).what());
    EXPECT_STREQ("Invalid argument range exception <length> [129] not inside <0,128> [g() b.cpp:9]",
                 InvalidArgumentException::range("length", 129, 0, 128, "g", "b.cpp", 9).what());
}

TEST(SerializationException, HasItsFixedMessage) {
    EXPECT_STREQ("Error in serialization/deserialization within a stream", SerializationException().what());
}

}  // namespace
