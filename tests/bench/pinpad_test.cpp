// The pin-pad reader of our driver and the control requests of a served card,
// through the real pcscd.
#include "ferrixcard.h"

#include <winscard.h>

#include <chrono>
#include <future>

namespace benchtest {
namespace {

constexpr std::uint32_t GET_FEATURE_REQUEST = 0x42000D48;

// The 299-byte verification structure as the module builds it.
Bytes verifyStructure(std::uint8_t pinOffset, const Bytes& apdu) {
    Bytes s(299, 0);
    s[1] = 0x37;
    s[2] = static_cast<std::uint8_t>(0x82 | ((pinOffset - 5) << 3));
    s[5] = 0x08;
    s[6] = 0x01;
    s[7] = 0x02;
    s[8] = 0x01;
    s[9] = 0x04;
    s[10] = 0x04;
    s[15] = static_cast<std::uint8_t>(apdu.size());
    std::copy(apdu.begin(), apdu.end(), s.begin() + 19);
    return s;
}

// The 304-byte modification structure as the module builds it.
Bytes modifyStructure(bool askCurrent, bool confirm, std::uint8_t oldOffset, std::uint8_t newOffset,
                      const Bytes& apdu) {
    Bytes s(304, 0);
    s[0] = 0x01;
    s[1] = 0x37;
    s[2] = 0x02;
    s[3] = 0x08;
    s[5] = static_cast<std::uint8_t>(oldOffset - 5);
    s[6] = static_cast<std::uint8_t>(newOffset - 5);
    s[7] = 0x08;
    s[8] = 0x01;
    s[9] = static_cast<std::uint8_t>((confirm ? 1 : 0) | (askCurrent ? 2 : 0));
    s[10] = 0x02;
    s[11] = static_cast<std::uint8_t>(1 + (confirm ? 1 : 0) + (askCurrent ? 1 : 0));
    s[12] = 0x04;
    s[13] = 0x04;
    s[20] = static_cast<std::uint8_t>(apdu.size());
    std::copy(apdu.begin(), apdu.end(), s.begin() + 24);
    return s;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes pinTemplate(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2) {
    Bytes apdu{0x80, ins, p1, p2, 0x10};
    apdu.resize(21, 0);
    return apdu;
}

class PinPad : public BenchSuite {
protected:
    void SetUp() override {
        BenchSuite::SetUp();
        if (IsSkipped()) return;
        control_ = bench().insert(PINPAD_READER, image());
        card_ = std::make_unique<bench::PcscCard>(client_.connect(bench().reader(PINPAD_READER).name));
        ASSERT_EQ("9000", swText(card_->transmitSw(SELECT_FERRIX)));
        codes_ = features();
    }
    void TearDown() override {
        card_.reset();
        BenchSuite::TearDown();
    }

    std::map<std::uint8_t, std::uint32_t> features() {
        Bytes list;
        EXPECT_EQ(0u, card_->control(GET_FEATURE_REQUEST, {}, list));
        std::map<std::uint8_t, std::uint32_t> codes;
        for (std::size_t i = 0; i + 5 < list.size(); i += 2u + list[i + 1]) {
            if (list[i + 1] == 4)
                codes[list[i]] = static_cast<std::uint32_t>(list[i + 2]) << 24 | list[i + 3] << 16 |
                                 list[i + 4] << 8 | list[i + 5];
        }
        return codes;
    }

    std::string verify(const Bytes& structure) {
        Bytes out;
        std::uint32_t rv = card_->control(codes_.at(0x06), structure, out);
        if (rv != 0) return "rv " + std::to_string(rv);
        return out.size() == 2 ? swText(bench::PcscCard::statusWord(out)) : "bytes " + std::to_string(out.size());
    }
    std::string modify(const Bytes& structure) {
        Bytes out;
        std::uint32_t rv = card_->control(codes_.at(0x07), structure, out);
        if (rv != 0) return "rv " + std::to_string(rv);
        return out.size() == 2 ? swText(bench::PcscCard::statusWord(out)) : "bytes " + std::to_string(out.size());
    }

    bench::CardControl control_;
    bench::PcscClient client_;
    std::unique_ptr<bench::PcscCard> card_;
    std::map<std::uint8_t, std::uint32_t> codes_;
};

TEST_F(PinPad, FeatureRequestAnnouncesDirectVerifyAndModify) {
    Bytes list;
    ASSERT_EQ(0u, card_->control(GET_FEATURE_REQUEST, {}, list));
    ASSERT_EQ(12u, list.size());
    EXPECT_EQ(0x06, list[0]);
    EXPECT_EQ(0x04, list[1]);
    EXPECT_EQ(0x07, list[6]);
    EXPECT_EQ(0x04, list[7]);
    EXPECT_EQ(2u, codes_.size());
    for (auto [tag, code] : codes_) EXPECT_EQ(0x42000000u, code & 0xFF000000u) << int(tag);
}

TEST_F(PinPad, FeatureRequestWithoutABufferReportsTheNeededLength) {
    Bytes list;
    EXPECT_EQ(static_cast<std::uint32_t>(SCARD_E_INSUFFICIENT_BUFFER), card_->control(GET_FEATURE_REQUEST, {}, list, 0));
    EXPECT_EQ(12u, list.size());
}

TEST_F(PinPad, PlainReaderAnswersNoFeatures) {
    bench().insert(PLAIN_READER, bench().personalise("plain.img"));
    auto plain = client_.connect(bench().reader(PLAIN_READER).name);
    Bytes list;
    EXPECT_EQ(static_cast<std::uint32_t>(SCARD_E_UNSUPPORTED_FEATURE), plain.control(GET_FEATURE_REQUEST, {}, list));
}

TEST_F(PinPad, ScriptedPinVerifiesAndAuthenticatesTheUser) {
    control_.keypad("pin:1234");
    EXPECT_EQ("9000", verify(verifyStructure(5, pinTemplate(0x20, 0x01, 0x00))));
    auto state = authState(*card_);
    ASSERT_TRUE(state.has_value());
    EXPECT_NE(0, *state);
}

TEST_F(PinPad, ScriptedWrongPinAnswersTheCardsStatus) {
    control_.keypad("pin:9999");
    EXPECT_EQ("63C2", verify(verifyStructure(5, pinTemplate(0x20, 0x01, 0x00))));
}

struct ReaderOutcome {
    const char* entry;  // nullptr: nothing scripted
    const char* sw;
};

TEST_F(PinPad, ReaderOutcomesAnswerTheirStatusWithoutTouchingTheCard) {
    const ReaderOutcome outcomes[] = {
        {"cancel", "6401"}, {"timeout", "6400"}, {"mismatch", "6402"}, {"pin:123456789", "6403"}, {nullptr, "6400"},
    };
    for (const auto& o : outcomes) {
        control_.clearStatistics();
        if (o.entry) control_.keypad(o.entry);
        Bytes structure = verifyStructure(5, pinTemplate(0x20, 0x01, 0x00));
        structure[0] = 1;  // bTimerOut: nothing typed times out after a second
        EXPECT_EQ(o.sw, verify(structure)) << (o.entry ? o.entry : "none");
        EXPECT_EQ(0u, control_.count(0x20)) << (o.entry ? o.entry : "none");
    }
}

// A real reader waits while the person types: an entry that comes after the
// verification started is the one used.
TEST_F(PinPad, AnEntryTypedWhileTheReaderWaitsIsUsed) {
    Bytes structure = verifyStructure(5, pinTemplate(0x20, 0x01, 0x00));
    structure[0] = 30;  // bTimerOut in seconds
    auto pending = std::async(std::launch::async, [&] { return verify(structure); });
    EXPECT_EQ(std::future_status::timeout, pending.wait_for(std::chrono::milliseconds(300)))
        << "the reader answered before anything was typed";
    control_.keypad("pin:1234");
    EXPECT_EQ("9000", pending.get());
    EXPECT_EQ(1u, control_.count(0x20));
}

TEST_F(PinPad, ModifyWithConfirmationChangesThePin) {
    ASSERT_EQ("9000", swText(card_->transmitSw(authenticatePin(1, "1234"))));
    control_.keypad("pin:5678");
    EXPECT_EQ("9000", modify(modifyStructure(false, true, 5, 5, pinTemplate(0x26, 0x00, 0x01))));
    ASSERT_EQ("9000", swText(card_->transmitSw(SELECT_FERRIX)));
    EXPECT_EQ("9000", swText(card_->transmitSw(authenticatePin(1, "5678"))));
}

TEST_F(PinPad, ModifyWithDifferentConfirmationAnswersMismatch) {
    control_.keypad("pin:5678:5679");
    EXPECT_EQ("6402", modify(modifyStructure(false, true, 5, 5, pinTemplate(0x26, 0x00, 0x01))));
    control_.keypad("pin:1234");  // current PIN asked but the new one never typed
    EXPECT_EQ("6400", modify(modifyStructure(true, true, 5, 21, concat(fromHex("80 28 02 01 20"), Bytes(32, 0)))));
}

TEST_F(PinPad, MalformedStructureFailsAndKeepsTheScriptedEntry) {
    control_.keypad("pin:1234");
    Bytes broken = verifyStructure(5, pinTemplate(0x20, 0x01, 0x00));
    broken[15] = 0xFF;  // ulDataLength beyond the structure
    broken[16] = 0xFF;
    Bytes out;
    EXPECT_NE(0u, card_->control(codes_.at(0x06), broken, out));
    EXPECT_NE(0u, card_->control(codes_.at(0x06), Bytes{0x00, 0x37}, out));
    EXPECT_EQ("9000", verify(verifyStructure(5, pinTemplate(0x20, 0x01, 0x00))));
}

TEST_F(PinPad, InjectedStatusWordAnswersTheNthCommandWithThatInstruction) {
    control_.clearStatistics();
    control_.injectStatusWord(0x02, 2, 0x6F09);
    EXPECT_EQ("9000", swText(card_->transmitSw(fromHex("80 02 00 00 02"))));
    EXPECT_EQ("6F09", swText(card_->transmitSw(fromHex("80 02 00 00 02"))));
    EXPECT_EQ("9000", swText(card_->transmitSw(fromHex("80 02 00 00 02"))));
    auto trace = control_.trace();
    ASSERT_EQ(3u, trace.size());
    EXPECT_FALSE(trace[0].injected);
    EXPECT_TRUE(trace[1].injected);
    EXPECT_EQ(0x6F09, trace[1].sw);
    EXPECT_EQ(3u, control_.count(0x02));
}

TEST_F(PinPad, TraceKeepsHeadersAndLengthsOnly) {
    control_.clearStatistics();
    ASSERT_EQ("9000", swText(card_->transmitSw(authenticatePin(1, "1234"))));
    auto trace = control_.trace();
    ASSERT_EQ(1u, trace.size());
    EXPECT_EQ(0x80, trace[0].cla);
    EXPECT_EQ(0x20, trace[0].ins);
    EXPECT_EQ(0x01, trace[0].p1);
    EXPECT_EQ(21u, trace[0].commandLength);
    EXPECT_EQ(0x9000, trace[0].sw);
    for (const auto& line : control_.request("trace")) EXPECT_EQ(std::string::npos, line.find("31 32 33 34")) << line;
}

TEST_F(PinPad, LatencyDelaysEveryExchange) {
    control_.setLatency(20000, 0);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ("9000", swText(card_->transmitSw(fromHex("80 02 00 00 02"))));
    auto elapsed = std::chrono::steady_clock::now() - start;
    control_.setLatency(0, 0);
    EXPECT_LE(std::chrono::milliseconds(100), elapsed);
}

TEST_F(PinPad, PerByteLatencyCountsCommandAndResponseBytes) {
    // 5 command bytes and 59 + 2 response bytes: 66 ms each at 1 ms per byte.
    const Bytes command = fromHex("80 06 02 00 3B");
    control_.setLatency(0, 1000);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(61u, card_->transmit(command).size());
    auto elapsed = std::chrono::steady_clock::now() - start;
    control_.setLatency(0, 0);
    EXPECT_LE(std::chrono::milliseconds(3 * 66), elapsed);
}

}  // namespace
}  // namespace benchtest
