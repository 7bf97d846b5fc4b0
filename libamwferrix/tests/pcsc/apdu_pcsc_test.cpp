// The command set over the real PC/SC stack: our PC/SC connection, a private
// pcscd, our reader driver (plain and pin-pad readers) and the simulated card
// served into it. Here the transport answers 61xx with GET RESPONSE and the
// reader fills the pin-pad templates, so the sequences run as in production.
#include <gtest/gtest.h>

#include <openssl/bn.h>

#include <memory>
#include <string>
#include <vector>

#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "bench/bench.h"
#include "ctl/ctlexception.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "ctl/widetext.h"
#include "staticbuffer.h"

namespace {

namespace apdu = amwferrix::apdu;
using ByteVector = std::vector<std::uint8_t>;
using ctl::CardConnection;
using ctl::LockablePcScCardConnection;

constexpr const char* PINPAD_READER = "Zentrik PinPad";
constexpr const char* PLAIN_READER = "Zentrik Plain";

ByteVector pattern(std::size_t count, std::uint8_t seed) {
    ByteVector bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
    }
    return bytes;
}

class Listener : public amw::PinPadListener {
public:
    std::string log;
    void onPinPadStart(std::uint32_t state) override {
        log += "start(" + std::to_string(state) + "),";
    }
    void onPinPadEnd() override { log += "end,"; }
    void onWrongPin() override { log += "wrongPin,"; }
    void onPinBlocked() override { log += "blocked,"; }
    void onPinLengthError() override { log += "lengthError,"; }
    void onPinPadCanceled() override { log += "canceled,"; }
    void onNewPinMismatch() override { log += "mismatch,"; }
};

class CommandSetThroughPcscd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!bench::Bench::toolsAvailable()) {
            return;
        }
        bench::BenchConfig config;
        config.vpcd = false;
        config.readers = {{PINPAD_READER, bench::ReaderSpec::Kind::PINPAD},
                          {PLAIN_READER, bench::ReaderSpec::Kind::PLAIN}};
        bench_ = std::make_unique<bench::Bench>(config);
    }
    static void TearDownTestSuite() { bench_.reset(); }

    void SetUp() override {
        if (!bench_) {
            GTEST_SKIP() << "cardsim or libifdzentrik.so was not built";
        }
    }

    void TearDown() override {
        if (connection) {
            try {
                connection->unlock(CardConnection::LEAVE_CARD);
            } catch (const ctl::CtlException& e) {
                ADD_FAILURE() << e.what();
            }
            connection.reset();
        }
        if (bench_ && !inserted.empty()) {
            bench_->remove(inserted);
        }
    }

    // Inserts a fresh card into the reader, connects, takes the transaction
    // and selects the applet.
    CardConnection& open(const char* readerName) {
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        const std::string image = bench_->personalise(test + ".img");
        const std::string name = bench_->reader(readerName).name;
        bench_->insert(name, image);
        inserted = name;
        connection = std::make_unique<LockablePcScCardConnection>(
            ctl::PcScReader(ctl::WideText::fromUtf8(name)), CardConnection::MODE_SHARED,
            CardConnection::PROTOCOL_T0_OR_T1);
        connection->lock();
        apdu::selectApplet(*connection);
        return *connection;
    }

    static std::unique_ptr<bench::Bench> bench_;
    std::unique_ptr<LockablePcScCardConnection> connection;
    std::string inserted;
};

std::unique_ptr<bench::Bench> CommandSetThroughPcscd::bench_;

std::uint32_t login(CardConnection& card, const std::string& pin) {
    return apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN,
                              reinterpret_cast<const std::uint8_t*>(pin.data()),
                              static_cast<std::uint32_t>(pin.size()), nullptr, nullptr);
}

TEST_F(CommandSetThroughPcscd, DataObjectAndTwoPartSignatureOnAPlainReader) {
    CardConnection& card = open(PLAIN_READER);
    EXPECT_FALSE(card.isPinPadAvailable());
    std::uint8_t major = 0, minor = 0;
    apdu::getVersion(card, &major, &minor);
    EXPECT_EQ(3, major);
    ASSERT_EQ(0u, login(card, "1234"));

    // A data object whose metadata and content need several commands each.
    const ByteVector metadata = pattern(300, 0x05);
    const ByteVector content = pattern(700, 0x61);
    apdu::createDataObject(card, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF);
    apdu::setMetadataSize(card, metadata.size());
    apdu::writeData(card, metadata.data(), metadata.size());
    const std::uint16_t blockId = apdu::commitCreationOrUpdateMetadata(card);
    apdu::createContent(card, blockId, content.size());
    apdu::writeData(card, content.data(), content.size());
    apdu::commitUpdateContent(card);
    ASSERT_EQ(content.size(), apdu::beginReadContent(card, blockId));
    ByteVector back(content.size());
    apdu::readData(card, back.data(), back.size());
    EXPECT_EQ(content, back);

    // A 2048-bit key generated on the card: its modulus comes back through
    // GET RESPONSE, and the computation takes the two-part form.
    apdu::createKeyPair(card, 7, 2048, 0x0001, 0, 0xFF);
    StaticBuffer<256> modulus;
    apdu::generateKeyPair(card, DEFAULT_PUBLIC_EXPONENT, modulus);
    ASSERT_EQ(256u, modulus.length);
    const ByteVector keyMetadata = {0x01, 0x07};
    apdu::setMetadataSize(card, keyMetadata.size());
    apdu::writeData(card, keyMetadata.data(), keyMetadata.size());
    const std::uint16_t keyId = apdu::commitCreationOrUpdateMetadata(card);

    ByteVector input = pattern(256, 0x42);
    input[0] = 0x00;
    ByteVector output(256);
    apdu::cryptInit(card, keyId);
    apdu::crypt(card, input.data(), false, nullptr, 0, true);
    apdu::crypt(card, input.data() + 128, true, output.data(), 256, true);

    BN_CTX* context = BN_CTX_new();
    BIGNUM* n = BN_bin2bn(modulus.data, 256, nullptr);
    BIGNUM* e = BN_bin2bn(DEFAULT_PUBLIC_EXPONENT.data, 3, nullptr);
    BIGNUM* signature = BN_bin2bn(output.data(), 256, nullptr);
    BIGNUM* recovered = BN_new();
    ASSERT_EQ(1, BN_mod_exp(recovered, signature, e, n, context));
    ByteVector recoveredBytes(256);
    BN_bn2binpad(recovered, recoveredBytes.data(), 256);
    EXPECT_EQ(input, recoveredBytes);
    BN_free(recovered);
    BN_free(signature);
    BN_free(e);
    BN_free(n);
    BN_CTX_free(context);
}

TEST_F(CommandSetThroughPcscd, PinPadReaderTakesThePinAgainAfterAWrongOne) {
    CardConnection& card = open(PINPAD_READER);
    ASSERT_TRUE(card.isPinPadAvailable());
    bench_->control(inserted).keypad("pin:0000");
    bench_->control(inserted).keypad("pin:1234");
    Listener listener;
    std::int32_t tries = 99;
    EXPECT_EQ(0u, apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 0, &tries,
                                     &listener));
    EXPECT_EQ("start(0),end,wrongPin,start(2),end,", listener.log);
    EXPECT_EQ(0x02, apdu::getAuthState(card));
}

TEST_F(CommandSetThroughPcscd, PinPadCancelEndsWithThePinPadException) {
    CardConnection& card = open(PINPAD_READER);
    bench_->control(inserted).keypad("cancel");
    try {
        apdu::authenticate(card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 0, nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const amw::PinPadException& e) {
        EXPECT_EQ(amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED, e.reason);
    }
}

TEST_F(CommandSetThroughPcscd, RemovedCardSurfacesAsTheTransportError) {
    CardConnection& card = open(PLAIN_READER);
    bench_->remove(inserted);
    inserted.clear();
    std::uint8_t major = 0, minor = 0;
    try {
        apdu::getVersion(card, &major, &minor);
        ADD_FAILURE() << "no exception";
    } catch (const ctl::CtlException& e) {
        EXPECT_EQ(0x80100069u, e.error);
    }
    // The transaction belonged to a card that is gone; only the handle is left.
    connection.reset();
}

}  // namespace
