// Readers, card connections and the pin pad against the real pcscd.
#include <algorithm>
#include <functional>
#include <memory>

#include "bench/pcscclient.h"
#include "ctl/ctlexception.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "ctl/widetext.h"
#include "pcscbench.h"

namespace ctlpcsc {
namespace {

using ctl::CardConnection;
using ctl::CtlException;
using ctl::LockablePcScCardConnection;
using ctl::PcScReader;
using Bytes = std::vector<std::uint8_t>;

const Bytes SELECT_FERRIX = {0x00, 0xA4, 0x04, 0x00, 0x09, 0xF0, 0x56, 0x58,
                             0x46, 0x52, 0x01, 0x00, 0x00, 0x41};
// VERIFY of the user (role 1) with 16 data bytes the reader fills from its keypad.
const Bytes VERIFY_USER_TEMPLATE = [] {
    Bytes b = {0x80, 0x20, 0x01, 0x00, 0x10};
    b.resize(21, 0x00);
    return b;
}();

// CHANGE PIN of the user: 16 data bytes for the new PIN, filled by the reader.
const Bytes CHANGE_USER_PIN_TEMPLATE = [] {
    Bytes b = {0x80, 0x26, 0x00, 0x01, 0x10};
    b.resize(21, 0x00);
    return b;
}();

std::uint32_t errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CtlException& e) {
        return e.error;
    }
    return 0;
}

std::unique_ptr<LockablePcScCardConnection> connectTo(const std::string& reader) {
    return std::make_unique<LockablePcScCardConnection>(
        PcScReader(ctl::WideText::fromUtf8(reader)), CardConnection::MODE_SHARED,
        CardConnection::PROTOCOL_T0_OR_T1);
}

std::uint16_t exchangeApdu(CardConnection& c, const Bytes& command, Bytes* data = nullptr) {
    std::uint8_t response[258];
    std::uint32_t length = sizeof response;
    const std::uint16_t sw = c.transmit(command.data(), static_cast<std::uint32_t>(command.size()),
                                        response, &length, 0);
    if (data) data->assign(response, response + length);
    return sw;
}

class PcscConnection : public PcscBenchSuite {};

TEST_F(PcscConnection, ListGivesTheServiceReadersInItsOrder) {
    bench::PcscClient independent;
    std::vector<std::wstring> expected;
    for (const auto& name : independent.readers()) expected.push_back(wide(name));
    std::vector<std::wstring> listed;
    for (const auto& r : PcScReader::list()) listed.push_back(r.getName());
    EXPECT_EQ(expected, listed);
    EXPECT_EQ(3u, listed.size());
}

TEST_F(PcscConnection, CardPresenceFollowsInsertionAndRemoval) {
    const std::string reader = vpcdReader(1);
    const PcScReader r(wide(reader));
    ensureNoCard(reader);
    EXPECT_FALSE(r.isCardPresent());
    ensureCard(reader);
    EXPECT_TRUE(r.isCardPresent());
    ensureNoCard(reader);
    EXPECT_FALSE(r.isCardPresent());
}

TEST_F(PcscConnection, AskingAnUnknownReaderIsAnUnknownReaderError) {
    EXPECT_EQ(0x80100009u, errorOf([] { PcScReader(L"No Such Reader 00 00").isCardPresent(); }));
}

TEST_F(PcscConnection, SelectOfTheAppletSucceedsInsideATransaction) {
    const std::string reader = vpcdReader(0);
    ensureCard(reader);
    auto c = connectTo(reader);
    EXPECT_GT(c->getAtrLength(), 1u);
    EXPECT_EQ(0x3B, c->getAtr()[0]);
    c->lock();
    EXPECT_EQ(0x6D00, exchangeApdu(*c, {0x80, 0x50, 0x00, 0x00, 0x01}));  // not selected yet
    EXPECT_EQ(0x9000, exchangeApdu(*c, SELECT_FERRIX));
    c->unlock(CardConnection::LEAVE_CARD);
    EXPECT_TRUE(c->isValid());
}

TEST_F(PcscConnection, ProtocolIsTheOneTheServiceNegotiated) {
    const std::string reader = vpcdReader(0);
    ensureCard(reader);
    bench::PcscClient independent;
    const std::uint32_t negotiated = independent.connect(reader).protocol();
    auto c = connectTo(reader);
    EXPECT_EQ(negotiated == 1 ? CardConnection::PROTOCOL_T0 : CardConnection::PROTOCOL_T1,
              c->getProtocol());
}

TEST_F(PcscConnection, ConnectToAnEmptyReaderFails) {
    const std::string reader = vpcdReader(1);
    ensureNoCard(reader);
    EXPECT_EQ(0x8010000Cu, errorOf([&] { connectTo(reader); }));  // no smart card
}

TEST_F(PcscConnection, LockAfterAResetByAnotherClientFailsAndHoldsNoTransaction) {
    const std::string reader = vpcdReader(0);
    ensureCard(reader);
    auto c = connectTo(reader);
    c->lock();
    EXPECT_EQ(0x9000, exchangeApdu(*c, SELECT_FERRIX));
    c->unlock(CardConnection::LEAVE_CARD);

    theBench().resetCard(reader);
    EXPECT_EQ(0x80100068u, errorOf([&] { c->lock(); }));
    EXPECT_FALSE(c->isValid());
    // Nothing is held: another client can take a transaction at once.
    auto other = connectTo(reader);
    other->lock();
    EXPECT_EQ(0x9000, exchangeApdu(*other, SELECT_FERRIX));
    other->unlock(CardConnection::LEAVE_CARD);
}

TEST_F(PcscConnection, LockAfterRemovalFailsWithRemovedCard) {
    const std::string reader = vpcdReader(1);
    ensureCard(reader);
    auto c = connectTo(reader);
    c->lock();
    c->unlock(CardConnection::LEAVE_CARD);
    ensureNoCard(reader);
    EXPECT_EQ(0x80100069u, errorOf([&] { c->lock(); }));
    EXPECT_NO_THROW(c.reset());
}

TEST_F(PcscConnection, VpcdReaderHasNoPinPad) {
    const std::string reader = vpcdReader(0);
    ensureCard(reader);
    auto c = connectTo(reader);
    EXPECT_FALSE(c->isPinPadAvailable());
    EXPECT_EQ(0u, c->getPinPadVerifyPinDirectCode());
    EXPECT_EQ(0u, c->getPinPadModifyPinDirectCode());
    EXPECT_EQ(0x80100022u, errorOf([&] { c->pinPadVerify(5, VERIFY_USER_TEMPLATE.data(), 21); }));
}

TEST_F(PcscConnection, PinPadReaderOffersBothDirectPinFeatures) {
    const std::string reader = pinPadReader();
    ensureCard(reader);
    auto c = connectTo(reader);
    EXPECT_TRUE(c->isPinPadAvailable());
    EXPECT_NE(0u, c->getPinPadVerifyPinDirectCode());
    EXPECT_NE(0u, c->getPinPadModifyPinDirectCode());
    EXPECT_NE(c->getPinPadVerifyPinDirectCode(), c->getPinPadModifyPinDirectCode());
}

TEST_F(PcscConnection, KeypadPinVerifiesThroughThePinPad) {
    const std::string reader = pinPadReader();
    ensureCard(reader);
    bench::CardControl card = theBench().control(reader);
    auto c = connectTo(reader);
    c->lock();
    ASSERT_EQ(0x9000, exchangeApdu(*c, SELECT_FERRIX));

    card.keypad("pin:9999");
    const std::uint16_t wrong = c->pinPadVerify(5, VERIFY_USER_TEMPLATE.data(), 21);
    EXPECT_EQ(0x63C0, wrong & 0xFFF0) << std::hex << wrong;

    card.keypad("cancel");
    EXPECT_EQ(0x6401, c->pinPadVerify(5, VERIFY_USER_TEMPLATE.data(), 21));

    card.keypad("pin:1234");
    EXPECT_EQ(0x9000, c->pinPadVerify(5, VERIFY_USER_TEMPLATE.data(), 21));
    c->unlock(CardConnection::LEAVE_CARD);
}

TEST_F(PcscConnection, KeypadPinChangeThroughThePinPadWithConfirmation) {
    const std::string reader = pinPadReader();
    ensureCard(reader);
    bench::CardControl card = theBench().control(reader);
    auto c = connectTo(reader);
    c->lock();
    ASSERT_EQ(0x9000, exchangeApdu(*c, SELECT_FERRIX));
    card.keypad("pin:1234");
    ASSERT_EQ(0x9000, c->pinPadVerify(5, VERIFY_USER_TEMPLATE.data(), 21));

    card.keypad("pin:5678:8765");  // confirmation differs
    EXPECT_EQ(0x6402, c->pinPadModify(false, true, 5, 5, CHANGE_USER_PIN_TEMPLATE.data(), 21));

    card.keypad("pin:5678:5678");
    EXPECT_EQ(0x9000, c->pinPadModify(false, true, 5, 5, CHANGE_USER_PIN_TEMPLATE.data(), 21));
    card.keypad("pin:5678");
    EXPECT_EQ(0x9000, c->pinPadVerify(5, VERIFY_USER_TEMPLATE.data(), 21));

    // Back to the image's PIN for the other tests.
    card.keypad("pin:1234:1234");
    EXPECT_EQ(0x9000, c->pinPadModify(false, true, 5, 5, CHANGE_USER_PIN_TEMPLATE.data(), 21));
    c->unlock(CardConnection::LEAVE_CARD);
}

}  // namespace
}  // namespace ctlpcsc
