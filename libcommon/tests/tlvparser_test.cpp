#include "tlvparser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Runs a throwing action and returns the exception's message ("" when none).
template <typename Exception, typename Action>
std::string failureOf(Action action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ---- TLV: lengths --------------------------------------------------------

struct LengthCase {
    const char* name;
    Bytes encoded;             // tag 0x04, length bytes, then filler
    std::uint64_t valueLength; // expected
};

class TlvLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(TlvLengths, SizeQueryReportsValueLength) {
    const LengthCase& c = GetParam();
    Bytes input = c.encoded;
    input.resize(input.size() + c.valueLength, 0x5A);
    TlvReader reader(input.data(), input.size());
    std::uint64_t length = 0;
    reader.readNext(0x04, nullptr, &length, false, false);
    EXPECT_EQ(c.valueLength, length);
    EXPECT_EQ(0u, reader.getOffset());
    reader.readNext(0x04, nullptr, &length, true, false);
    EXPECT_EQ(c.valueLength + c.encoded.size(), length);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlvLengths,
    ::testing::Values(LengthCase{"short", {0x04, 0x05}, 5}, LengthCase{"short_max", {0x04, 0x7F}, 127},
                      LengthCase{"one_byte", {0x04, 0x81, 0x80}, 128},
                      LengthCase{"two_bytes_256", {0x04, 0x82, 0x01, 0x00}, 256},
                      LengthCase{"indefinite_reads_zero", {0x04, 0x80}, 0},
                      LengthCase{"eight_bytes", {0x04, 0x88, 0, 0, 0, 0, 0, 0, 0x01, 0x02}, 258}),
    [](const ::testing::TestParamInfo<LengthCase>& info) { return std::string(info.param.name); });

// ---- TLV: malformed input ------------------------------------------------

struct BadCase {
    const char* name;
    Bytes input;
    std::uint8_t tag;
    std::string message;
};

class TlvMalformed : public ::testing::TestWithParam<BadCase> {};

TEST_P(TlvMalformed, ThrowsTheDocumentedMessage) {
    const BadCase& c = GetParam();
    TlvReader reader(c.input.data(), c.input.size());
    std::uint8_t buffer[16];
    std::uint64_t length = sizeof buffer;
    EXPECT_EQ(c.message, failureOf<TlvParserException>(
                             [&] { reader.readNext(c.tag, buffer, &length, false, false); }));
}

INSTANTIATE_TEST_SUITE_P(
    Table, TlvMalformed,
    ::testing::Values(
        BadCase{"empty", {}, 0x30, "TlvReader - reading after end of data"},
        BadCase{"no_length", {0x30}, 0x30, "TlvReader - reading after end of data"},
        BadCase{"wrong_tag", {0x31, 0x00}, 0x30, "unexpected tag [actual=0x31, requested=0x30]"},
        BadCase{"nine_length_bytes", {0x04, 0x89, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 0x04,
                "invalid size of extended length"},
        BadCase{"length_bytes_missing", {0x04, 0x82, 0x01}, 0x04, "TlvReader - reading after end of data"},
        BadCase{"value_one_byte_short", {0x04, 0x03, 0xAA, 0xBB}, 0x04, "length 3 exceeds the size of buffer"},
        BadCase{"huge_length", {0x04, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0x04,
                "length 18446744073709551615 exceeds the size of buffer"},
        BadCase{"buffer_too_small", concat({0x04, 0x11}, Bytes(17, 0x01)), 0x04,
                "insufficient size of buffer [actual=16, requested=17]"}),
    [](const ::testing::TestParamInfo<BadCase>& info) { return std::string(info.param.name); });

TEST(TlvReader, ValueRunningExactlyToTheEndIsAccepted) {
    const Bytes input = {0x04, 0x03, 0xAA, 0xBB, 0xCC};
    TlvReader reader(input.data(), input.size());
    std::uint8_t buffer[3];
    std::uint64_t length = sizeof buffer;
    reader.readNext(0x04, buffer, &length, false, false);
    EXPECT_EQ(3u, length);
    EXPECT_EQ(Bytes({0xAA, 0xBB, 0xCC}), Bytes(buffer, buffer + 3));
    EXPECT_TRUE(reader.atEnd());
}

TEST(TlvReader, SizeQueryThenReadConsumesTheElement) {
    const Bytes input = {0x02, 0x02, 0x01, 0x02, 0x05, 0x00};
    TlvReader reader(input.data(), input.size());
    std::uint64_t length = 0;
    reader.readNext(0x02, nullptr, &length, true, false);
    EXPECT_EQ(4u, length);
    EXPECT_EQ(0u, reader.getOffset());
    std::uint8_t buffer[4];
    reader.readNext(0x02, buffer, &length, true, false);
    EXPECT_EQ(Bytes({0x02, 0x02, 0x01, 0x02}), Bytes(buffer, buffer + 4));
    EXPECT_EQ(4u, reader.getOffset());
    reader.readNext(0x05, nullptr, nullptr, false, false);
    EXPECT_TRUE(reader.atEnd());
}

TEST(TlvReader, EntersConstructedAndSkipsPrimitiveElements) {
    // SEQUENCE { SEQUENCE { [0] { INTEGER 2 }, INTEGER 0x1234 }, NULL }
    const Bytes input = {0x30, 0x0D, 0x30, 0x09, 0xA0, 0x03, 0x02, 0x01, 0x02, 0x02,
                         0x02, 0x12, 0x34, 0x05, 0x00};
    TlvReader reader(input.data(), input.size());
    reader.readNext(0x30, nullptr, nullptr, false, false);  // enter
    EXPECT_EQ(2u, reader.getOffset());
    reader.readNext(0x30, nullptr, nullptr, false, false);  // enter
    reader.readNext(0xA0, nullptr, nullptr, false, true);   // skip the version
    EXPECT_EQ(9u, reader.getOffset());
    StaticBuffer<8> serial;
    reader.readNext(0x02, &serial, false);
    EXPECT_EQ(2u, serial.length);
    EXPECT_EQ(0x12, serial.data[0]);
    EXPECT_EQ(0x34, serial.data[1]);
    // A primitive element is skipped even when entering was asked for.
    reader.readNext(0x05, nullptr, nullptr, false, false);
    EXPECT_TRUE(reader.atEnd());
}

TEST(TlvReader, ChildrenOfAnEnteredElementCannotRunPastIt) {
    // SEQUENCE (2 bytes) { SEQUENCE (5 bytes) ... }: the inner element claims
    // bytes that follow its parent.
    const Bytes straddling = {0x30, 0x02, 0x30, 0x05, 0x02, 0x01, 0x07, 0x05, 0x00};
    TlvReader reader(straddling.data(), straddling.size());
    reader.readNext(0x30, nullptr, nullptr, false, false);
    EXPECT_EQ("length 5 exceeds the size of buffer",
              failureOf<TlvParserException>([&] {
                  reader.readNext(0x30, nullptr, nullptr, false, false);
              }));
    // A header cut by its parent's end.
    const Bytes cutHeader = {0x30, 0x01, 0x02, 0x01, 0x07};
    TlvReader second(cutHeader.data(), cutHeader.size());
    second.readNext(0x30, nullptr, nullptr, false, false);
    EXPECT_EQ("TlvReader - reading after end of data", failureOf<TlvParserException>([&] {
                  std::uint8_t value[1];
                  std::uint64_t length = sizeof value;
                  second.readNext(0x02, value, &length, false, false);
              }));
}

TEST(TlvReader, ReadConstructedGivesAReaderBoundToTheElement) {
    // SEQUENCE { SEQUENCE {} } INTEGER 0: nothing after the empty inner
    // element belongs to it, even though the input goes on.
    const Bytes input = {0x30, 0x02, 0x30, 0x00, 0x02, 0x01, 0x00};
    TlvReader reader(input.data(), input.size());
    TlvReader outer = reader.readConstructed(0x30);
    EXPECT_EQ(4u, reader.getOffset());
    TlvReader inner = outer.readConstructed(0x30);
    EXPECT_TRUE(outer.atEnd());
    EXPECT_TRUE(inner.atEnd());
    EXPECT_EQ("TlvReader - reading after end of data", failureOf<TlvParserException>([&] {
                  inner.readNext(0x02, nullptr, nullptr, false, true);
              }));
    reader.readNext(0x02, nullptr, nullptr, false, true);
    EXPECT_TRUE(reader.atEnd());
    EXPECT_EQ("tag 0x2 is not constructed",
              failureOf<TlvParserException>([&] { TlvReader(input.data(), 7).readConstructed(0x02); }));
}

TEST(TlvReader, StaticBufferFormWithHeaderAndFailureLeavesOutUnchanged) {
    const Bytes input = {0x04, 0x03, 0x01, 0x02, 0x03, 0x04, 0x09};
    TlvReader reader(input.data(), input.size());
    StaticBuffer<8> out;
    reader.readNext(0x04, &out, true);
    EXPECT_EQ(Bytes({0x04, 0x03, 0x01, 0x02, 0x03}), Bytes(out.begin(), out.end()));
    StaticBuffer<4> small("keep", 4);
    TlvReader second(input.data(), input.size());
    EXPECT_THROW(second.readNext(0x04, &small, true), TlvParserException);
    EXPECT_EQ(std::string("keep"), std::string(small.begin(), small.end()));
    EXPECT_EQ(0, std::string(failureOf<InvalidArgumentException>([&] {
                                 reader.readNext(0x04, static_cast<StaticBuffer<8>*>(nullptr), false);
                             })).find("Null pointer exception <buffer> [TlvReader::readNext()"));
}

TEST(TlvReader, StaticBufferFormZeroesWhatTheOldContentLeftBehind) {
    const Bytes input = {0x04, 0x02, 0xAA, 0xBB, 0x04, 0x00};
    TlvReader reader(input.data(), input.size());
    // Heap-held, as owners keep buffers of this size.
    auto big = std::make_unique<StaticBuffer<65536>>();
    std::memset(big->data, 0x5C, sizeof big->data);
    big->length = 65536;
    reader.readNext(0x04, big.get(), false);
    EXPECT_EQ(Bytes({0xAA, 0xBB}), Bytes(big->begin(), big->end()));
    EXPECT_EQ(Bytes(65534, 0x00), Bytes(big->data + 2, big->data + 65536));
    reader.readNext(0x04, big.get(), false);
    EXPECT_EQ(0u, big->length);
    EXPECT_EQ(Bytes(65536, 0x00), Bytes(big->data, big->data + 65536));
    EXPECT_TRUE(reader.atEnd());
}

TEST(TlvReader, NullInputIsEmpty) {
    TlvReader reader(nullptr, 100);
    EXPECT_EQ("TlvReader - reading after end of data", failureOf<TlvParserException>([&] {
                  reader.readNext(0x30, nullptr, nullptr, false, false);
              }));
}

// ---- LV --------------------------------------------------------------------

TEST(LvReader, ReadsPresentValues) {
    const Bytes input = {0x03, 'a', 'b', 'c', 0x00, 0x01, 'z'};
    LvReader reader(input.data(), input.size());
    std::uint8_t buffer[8];
    std::uint64_t length = sizeof buffer;
    EXPECT_TRUE(reader.read(buffer, &length, LvReader::FLAG_MANDATORY));
    EXPECT_EQ(3u, length);
    EXPECT_EQ("abc", std::string(buffer, buffer + 3));
    length = sizeof buffer;
    EXPECT_TRUE(reader.read(buffer, &length, 0));
    EXPECT_EQ(0u, length);
    length = 1;
    EXPECT_TRUE(reader.read(buffer, &length, LvReader::FLAG_EXACT_SIZE));
    EXPECT_EQ('z', buffer[0]);
    EXPECT_TRUE(reader.atEnd());
}

TEST(LvReader, AbsentOptionalValueGivesFalseLengthZeroAndAdvancesOneByte) {
    const Bytes input = {0xFF, 0x01, 0x42};
    LvReader reader(input.data(), input.size());
    std::uint8_t buffer[4];
    std::uint64_t length = sizeof buffer;
    EXPECT_FALSE(reader.read(buffer, &length, 0));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(1u, reader.getOffset());
}

struct LvBadCase {
    const char* name;
    Bytes input;
    std::uint64_t capacity;
    unsigned flags;
    std::string message;
};

class LvMalformed : public ::testing::TestWithParam<LvBadCase> {};

TEST_P(LvMalformed, ThrowsTheDocumentedMessage) {
    const LvBadCase& c = GetParam();
    LvReader reader(c.input.data(), c.input.size());
    std::uint8_t buffer[255];
    std::uint64_t length = c.capacity;
    EXPECT_EQ(c.message, failureOf<LvParserException>([&] { reader.read(buffer, &length, c.flags); }));
}

INSTANTIATE_TEST_SUITE_P(
    Table, LvMalformed,
    ::testing::Values(
        LvBadCase{"absent_mandatory", {0xFF}, 8, LvReader::FLAG_MANDATORY, "mandatory value not present"},
        LvBadCase{"wrong_exact_size", {0x02, 1, 2}, 3, LvReader::FLAG_EXACT_SIZE,
                  "unexpected size of data (expected = 3, actual = 2)"},
        LvBadCase{"value_runs_past_input", {0x04, 1, 2, 3}, 8, 0, "length would exceed the input buffer"},
        LvBadCase{"buffer_too_small", {0x04, 1, 2, 3, 4}, 3, 0,
                  "insufficient buffer to store data into (requested = 4, actual = 3)"},
        LvBadCase{"nothing_left", {}, 8, 0, "LvReader - reading after end of data"}),
    [](const ::testing::TestParamInfo<LvBadCase>& info) { return std::string(info.param.name); });

TEST(LvWriter, Writes254AndRefuses255) {
    LvWriter writer;
    const Bytes value(255, 0x11);
    writer.write(value.data(), 254);
    EXPECT_EQ(255u, writer.getLength());
    EXPECT_EQ(0xFE, writer.getData()[0]);
    EXPECT_EQ("unsupported data size (supported = 0xFE, requested= 0xFF)",
              failureOf<LvParserException>([&] { writer.write(value.data(), 255); }));
    EXPECT_EQ(255u, writer.getLength());
}

TEST(LvWriter, RefusesToOverflowItsBuffer) {
    LvWriter writer;
    const Bytes value(254, 0x22);
    for (int i = 0; i < 4; ++i) {
        writer.write(value.data(), value.size());  // 4 * 255 = 1020 bytes
    }
    EXPECT_EQ("insufficient buffer to write data into (requested = 5, avaliable= 4)",
              failureOf<LvParserException>([&] { writer.write(value.data(), 4); }));
    writer.write(value.data(), 2);
    writer.writeAbsent();
    EXPECT_EQ(1024u, writer.getLength());
    EXPECT_EQ("insufficient buffer to write data into (requested = 1, avaliable= 0)",
              failureOf<LvParserException>([&] { writer.writeAbsent(); }));
}

TEST(LvWriter, OutputReadsBackThroughLvReader) {
    LvWriter writer;
    writer.write("label", 5);
    writer.writeAbsent();
    writer.write(nullptr, 0);
    LvReader reader(writer.getData(), writer.getLength());
    std::uint8_t buffer[16];
    std::uint64_t length = sizeof buffer;
    EXPECT_TRUE(reader.read(buffer, &length, 0));
    EXPECT_EQ("label", std::string(buffer, buffer + length));
    length = sizeof buffer;
    EXPECT_FALSE(reader.read(buffer, &length, 0));
    length = sizeof buffer;
    EXPECT_TRUE(reader.read(buffer, &length, 0));
    EXPECT_EQ(0u, length);
    EXPECT_TRUE(reader.atEnd());
}

}  // namespace
