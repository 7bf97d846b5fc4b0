// The command set against the card simulator's engine (in process): the
// sequences the token issues must be understood by a card written from the
// same command tables by someone else, and their answers must convert back.
#include <gtest/gtest.h>

#include <openssl/bn.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "amw/exceptions.h"
#include "amwferrix/apdu.h"
#include "cardsim/engine.h"
#include "cardsim/engineconnection.h"
#include "cardsim/personalisation.h"
#include "staticbuffer.h"

namespace {

namespace apdu = amwferrix::apdu;
using ByteVector = std::vector<std::uint8_t>;
using Keypad = cardsim::EngineConnection::KeypadEntry;

ByteVector pattern(std::size_t count, std::uint8_t seed) {
    ByteVector bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return bytes;
}

class SimulatedCard : public ::testing::Test {
protected:
    void SetUp() override {
        cardsim::Personalisation options;
        options.serial = cardsim::Bytes{1, 2, 3, 4, 5, 6, 7, 8};
        options.cardId = cardsim::Bytes(16, 0x5C);
        card = std::make_unique<cardsim::EngineConnection>(
            cardsim::CardEngine::fromState(cardsim::personalise(options)));
        apdu::selectApplet(*card);
    }

    std::uint32_t loginUser(const std::string& pin, std::int32_t* tries = nullptr) {
        return apdu::authenticate(*card, 1, false, apdu::AUTH_TYPE_PIN,
                                  reinterpret_cast<const std::uint8_t*>(pin.data()),
                                  static_cast<std::uint32_t>(pin.size()), tries, nullptr);
    }

    std::unique_ptr<cardsim::EngineConnection> card;
};

TEST_F(SimulatedCard, CardInformationConverts) {
    std::uint8_t major = 0, minor = 0;
    apdu::getVersion(*card, &major, &minor);
    EXPECT_EQ(3, major);
    EXPECT_EQ(1, minor);

    std::uint8_t serial[8] = {};
    apdu::getCardSerialNumber(*card, serial);
    EXPECT_EQ((ByteVector{1, 2, 3, 4, 5, 6, 7, 8}), ByteVector(serial, serial + 8));

    std::uint8_t id[16] = {};
    apdu::getCardId(*card, id);
    EXPECT_EQ(ByteVector(16, 0x5C), ByteVector(id, id + 16));

    std::uint16_t blockSize = 0;
    std::uint32_t total = 0, available = 0;
    apdu::getMemoryInfo(*card, &blockSize, &total, &available);
    EXPECT_EQ(256, blockSize);
    EXPECT_EQ(256u * 512u, total);
    EXPECT_LE(available, total);

    apdu::SlotInfo slots[64];
    ASSERT_EQ(8u, apdu::getJckpInfo(*card, slots, 64));
    EXPECT_EQ(1024, slots[0].keySize);
    EXPECT_EQ(2048, slots[7].keySize);
    EXPECT_FALSE(slots[0].used);

    EXPECT_EQ(0, apdu::getAuthState(*card));
}

TEST_F(SimulatedCard, WrongPinCountsDownAndRightPinLogsIn) {
    std::int32_t tries = 99;
    EXPECT_EQ(1u, loginUser("9999", &tries));
    EXPECT_EQ(2, tries);
    EXPECT_EQ(0u, loginUser("1234", &tries));
    EXPECT_EQ(0x02, apdu::getAuthState(*card));
    std::uint8_t record[10] = {};
    ASSERT_TRUE(apdu::getAuthenticateObject(*card, 1, record));
    EXPECT_EQ(0, record[0]);  // a PIN
    EXPECT_EQ(3, record[9]);  // the right PIN restored the tries
    EXPECT_FALSE(apdu::getAuthenticateObject(*card, 7, record));
}

TEST_F(SimulatedCard, SessionPinAuthenticatesTheRole) {
    ASSERT_EQ(0u, loginUser("1234"));
    std::uint8_t sessionPin[8] = {};
    apdu::generateSessionPin(*card, 1, sessionPin);
    apdu::deauthenticate(*card, 1);
    EXPECT_EQ(0, apdu::getAuthState(*card));
    EXPECT_EQ(0u, apdu::authenticate(*card, 1, true, apdu::AUTH_TYPE_KEY, sessionPin, 8, nullptr,
                                     nullptr));
    EXPECT_EQ(0x02, apdu::getAuthState(*card));
}

TEST_F(SimulatedCard, DataObjectRoundTripsThroughChunkedWritesAndReads) {
    ASSERT_EQ(0u, loginUser("1234"));
    const ByteVector metadata = pattern(300, 0x10);
    const ByteVector content = pattern(600, 0x33);

    apdu::createDataObject(*card, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF);
    apdu::setMetadataSize(*card, metadata.size());
    apdu::writeData(*card, metadata.data(), metadata.size());
    const std::uint16_t blockId = apdu::commitCreationOrUpdateMetadata(*card);
    ASSERT_NE(apdu::BLOCK_ID_NONE, blockId);

    apdu::removeContent(*card, blockId);  // none yet: accepted
    apdu::createContent(*card, blockId, content.size());
    apdu::writeData(*card, content.data(), content.size());
    apdu::commitUpdateContent(*card);

    std::uint16_t dataObjects = 0;
    apdu::getHeads(*card, &dataObjects, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(blockId, dataObjects);

    std::uint8_t header[17] = {};
    apdu::beginReadMetadata(*card, blockId, header, 17);
    EXPECT_EQ(0, header[0]);  // a data object
    ByteVector readBack(metadata.size());
    apdu::readData(*card, readBack.data(), readBack.size());
    EXPECT_EQ(metadata, readBack);

    ASSERT_EQ(600, apdu::beginReadContent(*card, blockId));
    ByteVector contentBack(600);
    apdu::readData(*card, contentBack.data(), contentBack.size());
    EXPECT_EQ(content, contentBack);

    apdu::deleteObject(*card, blockId);
    EXPECT_THROW(apdu::deleteObject(*card, blockId), amw::SWException);
}

TEST_F(SimulatedCard, CreatingWithoutLoginIsASecurityViolation) {
    EXPECT_THROW(apdu::createDataObject(*card, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF),
                 amw::SecurityViolationException);
}

TEST_F(SimulatedCard, FreshnessRecordOfAnotherLengthReadsAsAbsent) {
    std::uint8_t record[47];
    std::memset(record, 0xEE, sizeof record);
    EXPECT_FALSE(apdu::getCacheFreshness(*card, record, 47));
    const ByteVector written = pattern(47, 0x01);
    apdu::setCacheFreshness(*card, written.data(), 47);
    EXPECT_TRUE(apdu::getCacheFreshness(*card, record, 47));
    EXPECT_EQ(written, ByteVector(record, record + 47));
    std::uint8_t shorter[40];
    EXPECT_FALSE(apdu::getCacheFreshness(*card, shorter, 40));
}

// Generates a key pair on the card, reads the public part back and checks the
// card's raw private-key operation with the public exponent.
void generateAndCheck(cardsim::EngineConnection& card, std::uint16_t keySize) {
    apdu::createKeyPair(card, 7, keySize, 0x0003, 0, 0xFF);
    StaticBuffer<256> modulus;
    apdu::generateKeyPair(card, DEFAULT_PUBLIC_EXPONENT, modulus);
    ASSERT_EQ(keySize / 8u, modulus.length);
    const ByteVector metadata = {0x02, 0x01, 0x02};
    apdu::setMetadataSize(card, metadata.size());
    apdu::writeData(card, metadata.data(), metadata.size());
    const std::uint16_t blockId = apdu::commitCreationOrUpdateMetadata(card);

    std::uint8_t header[27] = {};
    apdu::beginReadMetadata(card, blockId, header, 27);
    std::uint8_t n[256];
    std::uint32_t nSize = sizeof n;
    apdu::getComponent(card, apdu::COMPONENT_N, n, &nSize);
    EXPECT_EQ(ByteVector(modulus.data, modulus.data + modulus.length), ByteVector(n, n + nSize));
    std::uint8_t e[256];
    std::uint32_t eSize = sizeof e;
    apdu::getComponent(card, apdu::COMPONENT_E, e, &eSize);
    EXPECT_EQ((ByteVector{1, 0, 1}), ByteVector(e, e + eSize));

    ByteVector input = pattern(keySize / 8u, 0x21);
    input[0] = 0x00;  // below the modulus
    ByteVector output(keySize / 8u);
    apdu::cryptInit(card, blockId);
    if (keySize == 2048) {
        apdu::crypt(card, input.data(), false, nullptr, 0, true);
        apdu::crypt(card, input.data() + 128, true, output.data(), 256, true);
    } else {
        apdu::crypt(card, input.data(), true, output.data(), 128, true);
    }

    BN_CTX* context = BN_CTX_new();
    BIGNUM* bnN = BN_bin2bn(n, static_cast<int>(nSize), nullptr);
    BIGNUM* bnE = BN_bin2bn(e, static_cast<int>(eSize), nullptr);
    BIGNUM* bnOut = BN_bin2bn(output.data(), static_cast<int>(output.size()), nullptr);
    BIGNUM* back = BN_new();
    ASSERT_EQ(1, BN_mod_exp(back, bnOut, bnE, bnN, context));
    ByteVector recovered(output.size());
    BN_bn2binpad(back, recovered.data(), static_cast<int>(recovered.size()));
    EXPECT_EQ(input, recovered);
    BN_free(back);
    BN_free(bnOut);
    BN_free(bnE);
    BN_free(bnN);
    BN_CTX_free(context);
}

TEST_F(SimulatedCard, GeneratedKeyOf1024BitsComputesInOnePart) {
    ASSERT_EQ(0u, loginUser("1234"));
    generateAndCheck(*card, 1024);
}

TEST_F(SimulatedCard, GeneratedKeyOf2048BitsComputesInTwoParts) {
    ASSERT_EQ(0u, loginUser("1234"));
    generateAndCheck(*card, 2048);
}

class Events : public amw::PinPadListener {
public:
    std::string log;
    void onPinPadStart(std::uint32_t state) override {
        log += "start(" + std::to_string(state) + ")";
    }
    void onPinPadEnd() override { log += ",end,"; }
    void onWrongPin() override { log += "wrongPin,"; }
    void onPinBlocked() override { log += "blocked,"; }
    void onPinLengthError() override { log += "lengthError,"; }
    void onPinPadCanceled() override { log += "canceled,"; }
    void onNewPinMismatch() override { log += "mismatch,"; }
};

TEST_F(SimulatedCard, PinPadEntryIsRepeatedForTheListenerUntilTheRightPin) {
    card->setPinPadAvailable(true);
    card->queueKeypad(Keypad::typed("0000"));
    card->queueKeypad(Keypad::typed("1234"));
    Events events;
    std::int32_t tries = 99;
    EXPECT_EQ(0u, apdu::authenticate(*card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 0, &tries,
                                     &events));
    EXPECT_EQ("start(0),end,wrongPin,start(2),end,", events.log);
    EXPECT_EQ(0x02, apdu::getAuthState(*card));
}

TEST_F(SimulatedCard, PinPadCancelEndsAuthentication) {
    card->setPinPadAvailable(true);
    card->queueKeypad(Keypad::cancel());
    auto call = [&] {
        apdu::authenticate(*card, 1, false, apdu::AUTH_TYPE_PIN, nullptr, 0, nullptr, nullptr);
    };
    EXPECT_THROW(call(), amw::PinPadException);
    EXPECT_EQ(0, apdu::getAuthState(*card));
}

TEST_F(SimulatedCard, ChangeAndUnblockPin) {
    ASSERT_EQ(0u, loginUser("1234"));
    const std::string newPin = "24682468";
    apdu::changePin(*card, 1, true, reinterpret_cast<const std::uint8_t*>(newPin.data()),
                    static_cast<std::uint32_t>(newPin.size()), nullptr);
    apdu::deauthenticate(*card, 1);
    EXPECT_EQ(0u, loginUser(newPin));

    const std::string so = "12345678";
    const std::string unblocked = "97531";
    std::int32_t tries = 99;
    EXPECT_EQ(0u, apdu::unblockPin(*card, 2, apdu::AUTH_TYPE_PIN,
                                   reinterpret_cast<const std::uint8_t*>(so.data()),
                                   static_cast<std::uint32_t>(so.size()), 1, apdu::AUTH_TYPE_PIN,
                                   reinterpret_cast<const std::uint8_t*>(unblocked.data()),
                                   static_cast<std::uint32_t>(unblocked.size()), &tries, nullptr));
    apdu::deauthenticate(*card, 1);
    EXPECT_EQ(0u, loginUser(unblocked));
}

}  // namespace
