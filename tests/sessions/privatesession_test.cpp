// The private entries that work on a session: unblocking the user PIN with
// the security officer's PIN, and the default certificate with its mark in
// the card's container map.
#include <algorithm>

#include "objecthelpers.h"
#include "rsatestkeys.h"

namespace sessiontest {
namespace {

CK_PRIVATE_FUNCTION_LIST_PTR priv() { return LoadedModule::instance().privateList(); }

constexpr CK_FLAGS RO = CKF_SERIAL_SESSION;
const Bytes CERT_ID = {0xCE, 0x27, 0x01};

class PrivateSession : public SessionBench {
protected:
    void SetUp() override {
        SessionBench::SetUp();
        if (IsSkipped()) return;
        image = insertFreshCard(PLAIN_SLOT);
        ASSERT_EQ(CKR_OK, p11()->C_Initialize(nullptr));
        session = openSession(PLAIN_SLOT);
    }
    CK_RV unblock(CK_SESSION_HANDLE on, std::string soPin, std::string newPin) {
        return priv()->C_UnblockPIN(on, reinterpret_cast<CK_UTF8CHAR_PTR>(soPin.data()), soPin.size(),
                                    reinterpret_cast<CK_UTF8CHAR_PTR>(newPin.data()), newPin.size());
    }
    CK_RV setDefault(Bytes id) { return priv()->C_SetDefaultCert(session, id.data(), id.size()); }
    Bytes getDefault() {
        CK_ULONG length = 0;
        EXPECT_EQ(CKR_OK, priv()->C_GetDefaultCert(session, nullptr, &length));
        Bytes id(length + 1, 0xEE);
        CK_ULONG room = id.size();
        EXPECT_EQ(CKR_OK, priv()->C_GetDefaultCert(session, id.data(), &room));
        EXPECT_EQ(length, room);
        id.resize(room);
        return id;
    }
    // A key pair and a certificate under CERT_ID: the certificate joins the
    // key pair's container, which is record 0 of a fresh card's map.
    void createCertificateWithKeyPair() {
        const tokentest::RsaKey key = tokentest::generateRsaKey(1024);
        Template privateKey;
        privateKey.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, CERT_ID)
            .addBool(CKA_SIGN, true).add(CKA_MODULUS, key.n).add(CKA_PUBLIC_EXPONENT, key.e).add(CKA_PRIME_1, key.p)
            .add(CKA_PRIME_2, key.q).add(CKA_EXPONENT_1, key.dp).add(CKA_EXPONENT_2, key.dq)
            .add(CKA_COEFFICIENT, key.qinv);
        Template publicKey;
        publicKey.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, CERT_ID)
            .addBool(CKA_VERIFY, true).add(CKA_MODULUS, key.n).add(CKA_PUBLIC_EXPONENT, key.e);
        Template cert;
        cert.addUlong(CKA_CLASS, CKO_CERTIFICATE).addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
            .add(CKA_ID, CERT_ID).add(CKA_VALUE, makeCertificate("Zentrik Default"));
        for (Template* object : {&privateKey, &publicKey, &cert}) {
            CK_OBJECT_HANDLE handle = 0;
            ASSERT_EQ(CKR_OK, createObject(session, *object, handle));
        }
    }
    // The flags byte of container record `index`, or -1 when there is no
    // such record. The container map is read by a second PC/SC client (anyone
    // may read it); its block id comes from the card image.
    int containerFlags(std::size_t index) {
        int status = 0;
        const std::string listing =
            runCommand("'" + bench::Bench::cardsimPath() + "' inspect '" + image + "'", status);
        EXPECT_EQ(0, status);
        const std::size_t path = listing.find("path mscp/cmapfile");
        if (path == std::string::npos) return -1;
        const std::size_t headerEnd = listing.rfind('\n', path);
        const std::size_t header = listing.rfind('\n', headerEnd - 1) + 1;
        const unsigned blockId = std::stoul(listing.substr(header, headerEnd - header), nullptr, 16);

        bench::PcscClient client;
        bench::PcscCard card = client.connect(readerOfSlot(PLAIN_SLOT));
        EXPECT_EQ(0x9000, card.transmitSw(bench::fromHex("00A4040009F056584652010000 41")));
        bench::Bytes beginRead = {0x80, 0x1E, static_cast<std::uint8_t>(blockId >> 8),
                                  static_cast<std::uint8_t>(blockId & 0xFF), 0x02};
        const bench::Bytes size = card.transmit(beginRead);
        if (size.size() != 4 || bench::PcscCard::statusWord(size) != 0x9000) return -1;
        const std::size_t length = size[0] << 8 | size[1];
        const std::size_t flagsOffset = index * 86 + 80;
        if (flagsOffset >= length || length > 255) return -1;
        const bench::Bytes content =
            card.transmit({0x80, 0x1A, 0x00, 0x00, static_cast<std::uint8_t>(length)});
        if (content.size() != length + 2) return -1;
        return content[flagsOffset];
    }

    std::string image;
    CK_SESSION_HANDLE session = 0;
};

TEST_F(PrivateSession, UnblockedUserPinLogsInAgain) {
    for (int i = 0; i < 3; ++i) login(session, CKU_USER, "0000");
    ASSERT_EQ(CKR_PIN_LOCKED, login(session, CKU_USER, USER_PIN));

    const CK_SESSION_HANDLE readOnly = openSession(PLAIN_SLOT, RO);
    EXPECT_EQ(CKR_SESSION_READ_ONLY, unblock(readOnly, SO_PIN, "Fresh482"));
    EXPECT_EQ(CKR_PIN_INCORRECT, unblock(session, "wrong-so", "Fresh482"));
    // Refused before the card is asked: incorrect, never locked.
    EXPECT_EQ(CKR_PIN_INCORRECT, unblock(session, std::string(17, '9'), "Fresh482"));
    ASSERT_EQ(CKR_OK, unblock(session, SO_PIN, "Fresh482"));
    EXPECT_EQ(CKS_RW_PUBLIC_SESSION, sessionState(session));
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, "Fresh482"));
    // The security officer was not left logged in on the card.
    EXPECT_EQ(CKS_RW_USER_FUNCTIONS, sessionState(session));
    // Neither PIN reaches the trace log, as text or in a traced command.
    const std::string log = traceLog();
    for (const char* secret : {"Fresh482", SO_PIN, "46 72 65 73 68", "536F50696E", "53 6F 50 69 6E"}) {
        EXPECT_EQ(std::string::npos, log.find(secret)) << secret;
    }
}

TEST_F(PrivateSession, UnblockRefusesMissingPinsAndUnknownSessions) {
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_UnblockPIN(session, nullptr, 0, nullptr, 0));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, unblock(session + 1000, SO_PIN, "Fresh482"));
    EXPECT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
}

TEST_F(PrivateSession, CardWithoutDefaultCertificateAnswersEmpty) {
    EXPECT_EQ(Bytes{}, getDefault());
    CK_ULONG length = 5;
    CK_BYTE id[5];
    EXPECT_EQ(CKR_OK, priv()->C_GetDefaultCert(session, id, &length));
    EXPECT_EQ(0u, length);
}

TEST_F(PrivateSession, DefaultCertificateIsSetAndMarkedInTheContainerMap) {
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    EXPECT_EQ(CKR_FUNCTION_FAILED, setDefault({0x01, 0x02}));
    createCertificateWithKeyPair();
    EXPECT_EQ(CKR_FUNCTION_FAILED, setDefault({CERT_ID[0], CERT_ID[1]}));
    EXPECT_EQ(0x01, containerFlags(0));

    ASSERT_EQ(CKR_OK, setDefault(CERT_ID));
    EXPECT_EQ(0x03, containerFlags(0));
    EXPECT_EQ(CERT_ID, getDefault());
    // A buffer too small gets nothing and the length needed.
    CK_BYTE small[2] = {0xEE, 0xEE};
    CK_ULONG length = sizeof small;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, priv()->C_GetDefaultCert(session, small, &length));
    EXPECT_EQ(CERT_ID.size(), length);
    EXPECT_EQ(0xEE, small[0]);

    // The container map is written with the user's rights.
    ASSERT_EQ(CKR_OK, p11()->C_Logout(session));
    EXPECT_EQ(CKR_USER_NOT_LOGGED_IN, setDefault(CERT_ID));
    EXPECT_EQ(CERT_ID, getDefault());
}

// A certificate without a key names a free record or one past the end of the
// map: it cannot become the default, and the default in force stays.
TEST_F(PrivateSession, KeylessCertificateCannotBecomeTheDefault) {
    ASSERT_EQ(CKR_OK, login(session, CKU_USER, USER_PIN));
    createCertificateWithKeyPair();
    ASSERT_EQ(CKR_OK, setDefault(CERT_ID));
    const Bytes keylessPastTheEnd = {0xCE, 0x27, 0x02};
    Template cert;
    cert.addUlong(CKA_CLASS, CKO_CERTIFICATE).addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509)
        .add(CKA_ID, keylessPastTheEnd).add(CKA_VALUE, makeCertificate("Zentrik Keyless"));
    CK_OBJECT_HANDLE handle = 0;
    ASSERT_EQ(CKR_OK, createObject(session, cert, handle));
    EXPECT_EQ(CKR_FUNCTION_FAILED, setDefault(keylessPastTheEnd));
    EXPECT_EQ(CERT_ID, getDefault());
    EXPECT_EQ(0x03, containerFlags(0));

    // A free record inside the map: the key pair's halves are gone, the
    // certificate still names the record.
    std::vector<CK_OBJECT_HANDLE> halves;
    for (CK_OBJECT_CLASS keyClass : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
        Template byId;
        byId.addUlong(CKA_CLASS, keyClass).add(CKA_ID, CERT_ID);
        for (CK_OBJECT_HANDLE h : findAll(session, byId)) halves.push_back(h);
    }
    ASSERT_EQ(2u, halves.size());
    for (CK_OBJECT_HANDLE h : halves) ASSERT_EQ(CKR_OK, p11()->C_DestroyObject(session, h));
    ASSERT_EQ(0x00, containerFlags(0));
    EXPECT_EQ(CKR_FUNCTION_FAILED, setDefault(CERT_ID));
    EXPECT_EQ(0x00, containerFlags(0));
}

TEST_F(PrivateSession, DefaultCertificateRefusals) {
    CK_ULONG length = 0;
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_GetDefaultCert(session, nullptr, nullptr));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_SetDefaultCert(session, nullptr, 4));
    EXPECT_EQ(CKR_SESSION_HANDLE_INVALID, priv()->C_GetDefaultCert(session + 1000, nullptr, &length));
    EXPECT_EQ(CKR_FUNCTION_FAILED, setDefault(CERT_ID));
}

// Only the failures of these entries are written as "Returning" lines.
TEST_F(PrivateSession, ReturnLinesOnlyForFailuresOfTheQuietEntries) {
    auto countLines = [](const std::string& text) {
        const std::string log = traceLog();
        std::size_t count = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
        return count;
    };
    const std::size_t tooSmall = countLines("Returning CKR_BUFFER_TOO_SMALL");
    const std::size_t argumentsBad = countLines("Returning CKR_ARGUMENTS_BAD");
    CK_ULONG atrLength = 0;
    CK_BYTE byte = 0;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, priv()->C_GetATR(PLAIN_SLOT, &byte, &atrLength));
    CK_ULONG code = 0;
    CK_ULONG count = 0;
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, priv()->C_GetVxeiInfo(PLAIN_SLOT, &code, &count));
    EXPECT_EQ(CKR_ARGUMENTS_BAD, priv()->C_GetDefaultCert(session, nullptr, nullptr));
    EXPECT_EQ(tooSmall, countLines("Returning CKR_BUFFER_TOO_SMALL"));
    EXPECT_EQ(argumentsBad + 1, countLines("Returning CKR_ARGUMENTS_BAD"));
    // No PIN reaches the log.
    EXPECT_EQ(CKR_PIN_INCORRECT, [&] {
        std::string pin = "Secret#5";
        std::string newPin = "Neue#7788";
        return priv()->C_UnblockPIN(session, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size(),
                                    reinterpret_cast<CK_UTF8CHAR_PTR>(newPin.data()), newPin.size());
    }());
    EXPECT_EQ(0u, countLines("Secret#5"));
    EXPECT_EQ(0u, countLines("Neue#7788"));
}

}  // namespace
}  // namespace sessiontest
