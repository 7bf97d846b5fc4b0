// In-process tests of the serving side: PIN insertion for every layout a
// reader structure can describe, keypad script parsing and control requests.
#include "controlserver.h"
#include "pinpad.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace cardsim::serve {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hex(const Bytes& b) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
        out += buf;
    }
    return out;
}

Bytes verifyStructure(std::uint8_t format, std::uint8_t block, std::uint8_t lengthFormat, const Bytes& apdu,
                      std::uint8_t minDigits = 1, std::uint8_t maxDigits = 8) {
    Bytes s(19, 0);
    s[2] = format;
    s[3] = block;
    s[4] = lengthFormat;
    s[5] = maxDigits;
    s[6] = minDigits;
    s[15] = static_cast<std::uint8_t>(apdu.size());
    s.insert(s.end(), apdu.begin(), apdu.end());
    return s;
}

Bytes modifyStructure(std::uint8_t confirm, std::uint8_t oldOffset, std::uint8_t newOffset, const Bytes& apdu) {
    Bytes s(24, 0);
    s[2] = 0x02;
    s[3] = 0x08;
    s[5] = oldOffset;
    s[6] = newOffset;
    s[7] = 8;
    s[8] = 1;
    s[9] = confirm;
    s[20] = static_cast<std::uint8_t>(apdu.size());
    s.insert(s.end(), apdu.begin(), apdu.end());
    return s;
}

Bytes apduWithData(std::size_t dataLength, std::uint8_t fill = 0) {
    Bytes a{0x80, 0x20, 0x01, 0x00, static_cast<std::uint8_t>(dataLength)};
    a.resize(5 + dataLength, fill);
    return a;
}

KeypadEntry pin(const std::string& text) { return *KeypadEntry::parse(text); }

struct LayoutCase {
    const char* name;
    std::uint8_t format, block, lengthFormat;
    const char* digits;
    const char* expectedData;  // the 8 data bytes after insertion
};

TEST(PinPadVerify, InsertsThePinAsTheStructureDescribes) {
    const LayoutCase cases[] = {
        {"ascii at 0", 0x82, 0x00, 0x00, "1234", "31 32 33 34 00 00 00 00"},
        {"ascii at 1 byte", 0x8A, 0x00, 0x00, "1234", "00 31 32 33 34 00 00 00"},
        {"ascii at 8 bits", 0x42, 0x00, 0x00, "12", "00 31 32 00 00 00 00 00"},
        {"bcd", 0x81, 0x00, 0x00, "1234", "12 34 00 00 00 00 00 00"},
        {"bcd odd keeps the last nibble", 0x81, 0x00, 0x00, "123", "12 30 00 00 00 00 00 00"},
        {"binary", 0x80, 0x00, 0x00, "1234", "01 02 03 04 00 00 00 00"},
        {"ascii right-justified in 8", 0x86, 0x08, 0x00, "1234", "00 00 00 00 31 32 33 34"},
        {"bcd after a 4-bit length field", 0x89, 0x47, 0x00, "1234", "40 12 34 00 00 00 00 00"},
        {"ascii with 8-bit length in byte 0", 0x8A, 0x80, 0x10, "123", "03 31 32 33 00 00 00 00"},
    };
    for (const auto& c : cases) {
        KeypadEntry entry = pin(std::string("pin:") + c.digits);
        auto r = PinPad::verify(verifyStructure(c.format, c.block, c.lengthFormat, apduWithData(8)), &entry);
        ASSERT_EQ(PinPadResult::Kind::SEND_APDU, r.kind) << c.name << ": " << r.reason;
        EXPECT_EQ(std::string("80 20 01 00 08 ") + c.expectedData, hex(r.apdu)) << c.name;
    }
}

TEST(PinPadVerify, KeepsTemplateBytesTheInsertionDoesNotCover) {
    KeypadEntry entry = pin("pin:12");
    auto r = PinPad::verify(verifyStructure(0x8A, 0, 0, apduWithData(4, 0xFF)), &entry);
    ASSERT_EQ(PinPadResult::Kind::SEND_APDU, r.kind);
    EXPECT_EQ("80 20 01 00 04 FF 31 32 FF", hex(r.apdu));
}

struct OutcomeCase {
    const char* name;
    const char* entry;  // nullptr: nothing typed
    std::uint16_t sw;
};

TEST(PinPadVerify, ReaderAnswersItsOwnStatusWords) {
    const OutcomeCase cases[] = {
        {"nothing typed", nullptr, 0x6400}, {"cancel", "cancel", 0x6401},       {"timeout", "timeout", 0x6400},
        {"mismatch", "mismatch", 0x6402},   {"too long", "pin:123456789", 0x6403}, {"too short", "pin:1", 0x6403},
    };
    for (const auto& c : cases) {
        std::optional<KeypadEntry> entry;
        if (c.entry) entry = pin(c.entry);
        auto r = PinPad::verify(verifyStructure(0x82, 0, 0, apduWithData(16), 2, 8), entry ? &*entry : nullptr);
        ASSERT_EQ(PinPadResult::Kind::READER_SW, r.kind) << c.name;
        EXPECT_EQ(c.sw, r.sw) << c.name;
    }
}

TEST(PinPadVerify, MalformedStructuresAreRejected) {
    KeypadEntry entry = pin("pin:1234");
    Bytes tooLong = verifyStructure(0x82, 0, 0, apduWithData(4));
    tooLong[15] = 200;
    Bytes noData = verifyStructure(0x82, 0, 0, Bytes{0x80, 0x20, 0x01, 0x00});
    const std::pair<const char*, Bytes> cases[] = {
        {"empty", Bytes{}},
        {"header only partly", Bytes(10, 0)},
        {"ulDataLength past the end", tooLong},
        {"APDU without data field", noData},
        {"PIN past the template", verifyStructure(0xF2, 0, 0, apduWithData(4))},
        {"length field past the template", verifyStructure(0x82, 0x80, 0x1F, apduWithData(4))},
        {"unknown encoding", verifyStructure(0x83, 0, 0, apduWithData(8))},
        {"bit position inside a byte", verifyStructure(0x1A, 0, 0, apduWithData(8))},
        {"minimum above maximum", verifyStructure(0x82, 0, 0, apduWithData(8), 6, 4)},
    };
    for (const auto& [name, structure] : cases) {
        auto r = PinPad::verify(structure, &entry);
        EXPECT_EQ(PinPadResult::Kind::INVALID, r.kind) << name;
    }
}

TEST(PinPadModify, InsertsCurrentAndNewPinAtTheirOffsets) {
    KeypadEntry entry = pin("pin:1111:2222");
    auto r = PinPad::modify(modifyStructure(0x03, 0, 8, apduWithData(16)), &entry);
    ASSERT_EQ(PinPadResult::Kind::SEND_APDU, r.kind) << r.reason;
    EXPECT_EQ("80 20 01 00 10 31 31 31 31 00 00 00 00 32 32 32 32 00 00 00 00", hex(r.apdu));
}

TEST(PinPadModify, ConfirmationAndMissingEntriesGiveReaderStatusWords) {
    const OutcomeCase cases[] = {
        {"confirmation differs", "pin:5678:5679", 0x6402},
        {"new PIN too short", "pin:", 0x6400},
        {"new PIN too long", "pin:123456789", 0x6403},
    };
    for (const auto& c : cases) {
        auto entry = KeypadEntry::parse(c.entry);
        if (!entry) {
            EXPECT_STREQ("pin:", c.entry) << "only an empty PIN list fails to parse";
            continue;
        }
        auto r = PinPad::modify(modifyStructure(0x01, 0, 0, apduWithData(16)), &*entry);
        ASSERT_EQ(PinPadResult::Kind::READER_SW, r.kind) << c.name;
        EXPECT_EQ(c.sw, r.sw) << c.name;
    }
    KeypadEntry onlyCurrent = pin("pin:1234");
    auto r = PinPad::modify(modifyStructure(0x03, 0, 16, apduWithData(32)), &onlyCurrent);
    ASSERT_EQ(PinPadResult::Kind::READER_SW, r.kind);
    EXPECT_EQ(0x6400, r.sw);
}

TEST(KeypadEntryParse, AcceptsDigitsAndKeywordsOnly) {
    const std::pair<const char*, bool> cases[] = {
        {"pin:1234", true},  {"pin:1:2:3", true}, {"cancel", true},    {"timeout", true},  {"mismatch", true},
        {"pin:", false},     {"pin:12a4", false}, {"pin:1:2:3:4", false}, {"1234", false}, {"", false},
        {"pin:123456789012345678901234567890123", false},
    };
    for (const auto& [text, valid] : cases) EXPECT_EQ(valid, KeypadEntry::parse(text).has_value()) << text;
    EXPECT_EQ("pin:4 digits", pin("pin:1234").describe());
}

TEST(PinPadFeatures, ListsBothDirectFeaturesWithPcscLiteCodes) {
    EXPECT_EQ("06 04 42 33 00 06 07 04 42 33 00 07", hex(PinPad::featureList()));
}

TEST(ControlRequests, AnswerOkOrErrAndChangeTheState) {
    ControlState state;
    WakePipe wake;
    ControlServer server(state, wake);
    const std::pair<const char*, const char*> cases[] = {
        {"keypad pin:1234", "ok\n"},   {"keypad bogus", "err bad keypad entry\n"},
        {"latency 100 2", "ok\n"},     {"latency -1 0", "err bad latency\n"},
        {"latency 1", "err unknown request\n"}, {"inject 2G 1 6F00", "err bad injection\n"},
        {"inject 20 0 6F00", "err bad injection\n"}, {"inject 20 1 16F00", "err bad injection\n"},
        {"inject 20 2 6F03", "ok\n"},  {"nonsense", "err unknown request\n"},
        {"", "err unknown request\n"}, {"clear", "ok\n"},
    };
    for (const auto& [request, answer] : cases) EXPECT_EQ(answer, server.answer(request)) << request;
    EXPECT_EQ(1u, state.keypadSize());
    EXPECT_EQ(std::chrono::microseconds(100 + 2 * 10), state.delayFor(10));
    EXPECT_FALSE(state.takeInjection(0x20).has_value());
    EXPECT_EQ(std::optional<std::uint16_t>(0x6F03), state.takeInjection(0x20));
    EXPECT_FALSE(state.takeInjection(0x20).has_value());
}

TEST(ControlRequests, TraceAndCountersListRecordedCommands) {
    ControlState state;
    WakePipe wake;
    ControlServer server(state, wake);
    state.record({0x00, 0xA4, 0x04, 0x00, 0x09}, 0, 0x9000, false);
    state.record({0x80, 0x20, 0x01, 0x00}, 0, 0x63C2, true);
    EXPECT_EQ("1 00 A4 04 00 5 0 9000\n2 80 20 01 00 4 0 63C2 injected\nok\n", server.answer("trace"));
    EXPECT_EQ("20 1\nA4 1\nok\n", server.answer("counters"));
    EXPECT_EQ("inserted=0 keypad=0 commands=2\nok\n", server.answer("status"));
    EXPECT_EQ("ok\n", server.answer("clear"));
    EXPECT_EQ("ok\n", server.answer("trace"));
}

}  // namespace
}  // namespace cardsim::serve
