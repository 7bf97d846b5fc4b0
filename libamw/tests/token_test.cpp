// amw::Token::createToken: the type check, the applet selection and what
// happens to a token whose selection fails. The card token itself belongs to
// the driver; here a recording token stands in for it.
#include <gtest/gtest.h>

#include <string>

#include "amw/exceptions.h"
#include "amw/token.h"
#include "ctl/cardconnection.h"
#include "vxexception.h"

namespace {

// A connection that records whether anything was sent.
class SilentConnection : public ctl::CardConnection {
public:
    bool isPinPadAvailable() override { return false; }
    Protocol getProtocol() override { return PROTOCOL_T1; }
    std::uint16_t transmit(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t*,
                           std::uint32_t) override {
        ++transmits;
        return 0x9000;
    }
    std::uint16_t pinPadVerify(std::uint8_t, const std::uint8_t*, std::uint32_t) override {
        ++transmits;
        return 0x9000;
    }
    std::uint16_t pinPadModify(bool, bool, std::uint8_t, std::uint8_t, const std::uint8_t*,
                               std::uint32_t) override {
        ++transmits;
        return 0x9000;
    }
    int transmits = 0;
};

struct TokenEvents {
    int created = 0;
    int selections = 0;
    int destroyed = 0;
    bool failSelection = false;
    ctl::CardConnection* connection = nullptr;
};

[[noreturn]] void unused() { throw InternalErrorException("not used by these tests"); }

// Selecting the applet sends a command through the connection, like the card
// token does; every other operation is out of scope here.
class RecordingToken : public amw::Token {
public:
    RecordingToken(ctl::CardConnection& c, TokenEvents& e) : connection(c), events(e) {
        ++events.created;
        events.connection = &c;
    }
    ~RecordingToken() override { ++events.destroyed; }

    void selectApplet() override {
        ++events.selections;
        std::uint8_t response[2];
        std::uint32_t length = sizeof response;
        const std::uint8_t select[] = {0x00, 0xA4, 0x04, 0x00};
        connection.transmit(select, sizeof select, response, &length, 0);
        if (events.failSelection) {
            throw amw::SWException(0x6A82);
        }
    }

    std::unique_ptr<SerializableEntity> createSerializableEntity(std::uint32_t) override { unused(); }
    std::uint32_t getSerializationVersion() override { return 0; }
    bool getCacheFreshness(amw::FreshnessRecord&) override { unused(); }
    std::uint32_t getTokenFlags() override { return 0; }
    void setCacheFreshness(const amw::FreshnessRecord&) override { unused(); }
    void listKeyPairs(amw::KeyPairList&) override { unused(); }
    void listCertificates(amw::X509CertificateList&) override { unused(); }
    void listFiles(amw::FileList&) override { unused(); }
    void listDirs(amw::DirectoryList&) override { unused(); }
    void listDataObjects(amw::DataObjectList&) override { unused(); }
    void listAuthenticateObjects(amw::AuthenticationObjectList&) override { unused(); }
    void getCardId(amw::CardId&) override { unused(); }
    void setCardId(const amw::CardId&) override { unused(); }
    void getCardSerialNumber(StaticBuffer<256>&) override { unused(); }
    void getMemoryInfo(std::uint32_t&, std::uint32_t&) override { unused(); }
    std::unique_ptr<amw::X509Certificate> createCertificate(const StaticBuffer<128>&,
                                                            const StaticBuffer<128>&, std::uint8_t,
                                                            std::uint32_t, bool, std::uint16_t,
                                                            std::uint16_t, std::uint16_t) override {
        unused();
    }
    void deleteCertificate(amw::X509Certificate&) override { unused(); }
    std::unique_ptr<amw::DataObject> createDataObject(const StaticBuffer<128>&,
                                                      const StaticBuffer<128>&,
                                                      const StaticBuffer<128>&,
                                                      const StaticBuffer<128>&, std::uint16_t,
                                                      std::uint16_t, std::uint16_t,
                                                      std::uint16_t) override {
        unused();
    }
    void deleteDataObject(amw::DataObject&) override { unused(); }
    std::unique_ptr<amw::File> createFile(const amw::Directory*, const StaticBuffer<8>&,
                                          std::uint16_t, std::uint16_t, std::uint16_t) override {
        unused();
    }
    void deleteFile(amw::File&) override { unused(); }
    std::unique_ptr<amw::Directory> createDirectory(const StaticBuffer<8>&, std::uint16_t,
                                                    std::uint16_t) override {
        unused();
    }
    void deleteDirectory(amw::Directory&) override { unused(); }
    std::unique_ptr<amw::KeyPair> generateKeyPair(const StaticBuffer<128>&,
                                                  const StaticBuffer<128>&, std::uint32_t,
                                                  std::uint8_t, std::uint32_t,
                                                  const StaticBuffer<128>&, std::uint16_t,
                                                  const StaticBuffer<256>&) override {
        unused();
    }
    std::unique_ptr<amw::KeyPair> importKeyPair(const StaticBuffer<128>&, const StaticBuffer<128>&,
                                                std::uint32_t, std::uint8_t, std::uint32_t,
                                                const StaticBuffer<128>&, std::uint16_t,
                                                const amw::RsaPrivateKeyComponents&) override {
        unused();
    }
    void amendKeyPairAddPublicKey(amw::KeyPair&, const StaticBuffer<128>&, std::uint8_t,
                                  std::uint32_t, std::uint16_t,
                                  const amw::RsaPublicKeyComponents&) override {
        unused();
    }
    void amendKeyPairRemovePublicKey(amw::KeyPair&) override { unused(); }
    std::unique_ptr<amw::KeyPair> importPublicKey(const StaticBuffer<128>&, std::uint32_t,
                                                  const StaticBuffer<128>&, std::uint16_t,
                                                  const amw::RsaPublicKeyComponents&) override {
        unused();
    }
    std::unique_ptr<amw::KeyPair> importPrivateKey(const StaticBuffer<128>&, std::uint32_t,
                                                   const StaticBuffer<128>&, std::uint16_t,
                                                   const amw::RsaPrivateKeyComponents&) override {
        unused();
    }
    void amendKeyPairAddPrivateKey(amw::KeyPair&, const StaticBuffer<128>&, std::uint8_t,
                                   std::uint32_t, std::uint16_t,
                                   const amw::RsaPrivateKeyComponents&) override {
        unused();
    }
    void amendKeyPairRemovePrivateKey(amw::KeyPair&) override { unused(); }
    void deleteKeyPair(amw::KeyPair&) override { unused(); }
    void rsaExponentiation(amw::KeyPair*, const std::uint8_t*, std::uint32_t, StaticBuffer<256>*,
                           bool) override {
        unused();
    }
    amw::AuthenticationResult authenticate(const amw::AuthenticationObject&, const std::uint8_t*,
                                           std::uint32_t, std::uint32_t*,
                                           amw::PinPadListener*) override {
        unused();
    }
    amw::AuthenticationResult authenticateSessionPin(std::uint32_t, const std::uint8_t*,
                                                     std::uint32_t, std::uint32_t*) override {
        unused();
    }
    void generateSessionPin(std::uint32_t, StaticBuffer<128>*) override { unused(); }
    void getChallenge(std::uint32_t, StaticBuffer<128>*) override { unused(); }
    void deauthenticate(std::uint32_t) override { unused(); }
    amw::AuthenticationResult unblockPin(const amw::AuthenticationObject&, const std::uint8_t*,
                                         std::uint32_t, const amw::AuthenticationObject&,
                                         const std::uint8_t*, std::uint32_t, std::uint32_t*,
                                         amw::PinPadListener*) override {
        unused();
    }
    void changePin(const amw::AuthenticationObject&, const std::uint8_t*, std::uint32_t,
                   amw::PinPadListener*) override {
        unused();
    }
    bool willUsePinPad(const amw::AuthenticationObject&) override { unused(); }
    void getVersion(std::uint8_t*, std::uint8_t*) override { unused(); }
    std::uint8_t getAuthStateMask() override { unused(); }
    void getProperty(const wchar_t*, std::uint8_t*, std::uint32_t*, std::uint32_t) override {
        unused();
    }
    void setProperty(const wchar_t*, const std::uint8_t*, std::uint32_t, std::uint32_t) override {
        unused();
    }

private:
    ctl::CardConnection& connection;
    TokenEvents& events;
};

class CreateTokenTest : public ::testing::Test {
protected:
    void SetUp() override {
        amw::Token::setCardTokenFactory([this](ctl::CardConnection& c) {
            return std::make_unique<RecordingToken>(c, events);
        });
    }
    void TearDown() override { amw::Token::setCardTokenFactory(nullptr); }

    SilentConnection connection;
    TokenEvents events;
};

TEST_F(CreateTokenTest, WithoutSelectionNothingReachesTheCard) {
    std::unique_ptr<amw::Token> token = amw::Token::createToken(connection, 0, false);
    ASSERT_NE(nullptr, token);
    EXPECT_EQ(1, events.created);
    EXPECT_EQ(&connection, events.connection);
    EXPECT_EQ(0, events.selections);
    EXPECT_EQ(0, connection.transmits);
}

TEST_F(CreateTokenTest, WithSelectionTheAppletIsSelectedOnce) {
    std::unique_ptr<amw::Token> token = amw::Token::createToken(connection, 0, true);
    EXPECT_EQ(1, events.selections);
    EXPECT_EQ(1, connection.transmits);
}

TEST_F(CreateTokenTest, NonZeroTypeIsAnArgumentErrorNamingType) {
    for (std::uint32_t type : {1u, 2u, 0xFFFFFFFFu}) {
        try {
            amw::Token::createToken(connection, type, true);
            FAIL() << "no exception for type " << type;
        } catch (const InvalidArgumentException& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find("<type>")) << e.what();
        }
    }
    EXPECT_EQ(0, events.created);
    EXPECT_EQ(0, connection.transmits);
}

TEST_F(CreateTokenTest, FirstContactFormSelectsTheApplet) {
    std::unique_ptr<amw::Token> token = amw::Token::createToken(connection);
    EXPECT_EQ(1, events.selections);
    EXPECT_EQ(0, events.destroyed);
}

TEST_F(CreateTokenTest, FailedSelectionDestroysTheTokenAndRethrows) {
    events.failSelection = true;
    try {
        amw::Token::createToken(connection);
        FAIL() << "no exception";
    } catch (const amw::SWException& e) {
        EXPECT_EQ(0x6A82, e.sw);
    }
    EXPECT_EQ(1, events.created);
    EXPECT_EQ(1, events.destroyed);
}

TEST(CreateTokenWithoutDriver, IsAnInternalError) {
    amw::Token::setCardTokenFactory(nullptr);
    EXPECT_FALSE(amw::Token::hasCardTokenFactory());
    SilentConnection connection;
    EXPECT_THROW(amw::Token::createToken(connection, 0, false), InternalErrorException);
}

}  // namespace
