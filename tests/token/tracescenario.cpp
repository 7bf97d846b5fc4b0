// A run of the card token over every operation that handles a secret, with
// the trace log on, then a search of the log for every secret it handled:
// PINs (as text and as the hex bytes of a command dump), the session PIN and
// the private-key components.
#include "tracescenario.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "amw/amwtypes.h"
#include "amw/authenticationobject.h"
#include "logger.h"
#include "rsatestkeys.h"

namespace tokentest {

namespace {

template <std::size_t N>
StaticBuffer<N> buf(const std::string& text) {
    return StaticBuffer<N>(text.data(), text.size());
}
template <std::size_t N>
StaticBuffer<N> buf(const Bytes& bytes) {
    return StaticBuffer<N>(bytes.data(), bytes.size());
}
Bytes bytesOfText(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string hexWindow(const Bytes& bytes, std::size_t from, std::size_t count) {
    std::string out;
    char part[4];
    for (std::size_t i = from; i < from + count; ++i) {
        std::snprintf(part, sizeof part, i == from ? "%02X" : " %02X", bytes[i]);
        out += part;
    }
    return out;
}

// A dump wraps every 16 bytes, so a secret of 16 bytes or more is searched
// as windows of 6 bytes: some of them always lie within one line. Shorter
// secrets (a PIN in a 16-byte field) are searched whole.
std::vector<std::string> hexForms(const Bytes& secret) {
    std::vector<std::string> forms;
    if (secret.size() < 16) {
        forms.push_back(hexWindow(secret, 0, secret.size()));
        return forms;
    }
    for (std::size_t i = 0; i + 6 <= secret.size(); ++i) {
        forms.push_back(hexWindow(secret, i, 6));
    }
    return forms;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

amw::AuthenticationObject pinObject(std::uint32_t role) {
    return amw::AuthenticationObject(role, amw::AuthenticationObject::PIN, 5, 0, 0, false);
}

const std::uint8_t* bytesOf(const std::string& text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

void secretsStayOutOfTheTraceLog(amwferrix::Token& token, const CardOptions& options) {
    ASSERT_TRUE(Logger::instance().isEnabled()) << "the suite runs with ZENTRIK_CONF set";
    login(token, amw::AMWROLE_USER, options.userPin);
    const RsaKey full = generateRsaKey(1024);
    const RsaKey half = generateRsaKey(1024);
    amw::RsaPrivateKeyComponents fullComponents;
    fullComponents.p = buf<256>(full.p);
    fullComponents.q = buf<256>(full.q);
    fullComponents.modulus = buf<256>(full.n);
    fullComponents.publicExponent = buf<256>(full.e);
    fullComponents.dp = buf<256>(full.dp);
    fullComponents.dq = buf<256>(full.dq);
    fullComponents.inv = buf<256>(full.qinv);
    auto pair = token.importKeyPair(buf<128>("pub"), buf<128>("priv"), 1024, 0, 0,
                                    buf<128>("trace-full"), 0x93, fullComponents);
    pair->commitCreationOrMetadataChanges();
    amw::RsaPrivateKeyComponents halfComponents;
    halfComponents.p = buf<256>(half.p);
    halfComponents.q = buf<256>(half.q);
    halfComponents.dp = buf<256>(half.dp);
    halfComponents.dq = buf<256>(half.dq);
    halfComponents.inv = buf<256>(half.qinv);
    amw::RsaPublicKeyComponents halfPublic;
    halfPublic.modulus = buf<256>(half.n);
    halfPublic.publicExponent = buf<256>(half.e);
    auto amended = token.importPublicKey(buf<128>("trace-half"), 1024, buf<128>("pub"), 0x6C,
                                         halfPublic);
    amended->commitCreationOrMetadataChanges();
    token.amendKeyPairAddPrivateKey(*amended, buf<128>("priv"), 0, 0, 0x93, halfComponents);
    amended->commitCreationOrMetadataChanges();

    const Bytes block = pkcs1SignatureBlock(sha256({1, 2, 3}), 128);
    StaticBuffer<256> signature;
    token.rsaExponentiation(pair.get(), block.data(), 128, &signature, true);
    ASSERT_TRUE(verifySha256Signature(full.n, full.e, sha256({1, 2, 3}),
                                      Bytes(signature.data, signature.data + signature.length)));

    StaticBuffer<128> sessionPin;
    token.generateSessionPin(amw::AMWROLE_USER, &sessionPin);
    token.deauthenticate(amw::AMWROLE_USER);
    ASSERT_EQ(amw::AUTHENTICATION_SUCCESS,
              token.authenticateSessionPin(amw::AMWROLE_USER, sessionPin.data, 8, nullptr));

    const std::string changedPin = "Ch4ngedQ";
    token.changePin(pinObject(amw::AMWROLE_USER), bytesOf(changedPin), 8, nullptr);
    const std::string unblockedPin = "Unb10ckW";
    std::uint32_t tries = 0;
    ASSERT_EQ(amw::AUTHENTICATION_SUCCESS,
              token.unblockPin(pinObject(amw::AMWROLE_ADMIN), bytesOf(options.soPin),
                               static_cast<std::uint32_t>(options.soPin.size()),
                               pinObject(amw::AMWROLE_USER), bytesOf(unblockedPin), 8, &tries,
                               nullptr));
    login(token, amw::AMWROLE_USER, unblockedPin);
    Bytes aoValue(16, 0);
    const std::string propertyPin = "Pr0pV4lu";
    std::copy(propertyPin.begin(), propertyPin.end(), aoValue.begin());
    token.setProperty(L"VX_SET_AO", aoValue.data(), 16, amw::AMWROLE_USER);

    const std::string log = readFile(Logger::instance().getFileName());
    ASSERT_NE(std::string::npos, log.find("amwferrix::Token::importKeyPair"))
        << "the run must have been traced";
    ASSERT_NE(std::string::npos, log.find("amwferrix::Token::authenticate"));

    std::vector<std::pair<std::string, Bytes>> secrets = {
        {"user PIN", bytesOfText(options.userPin)},
        {"SO PIN", bytesOfText(options.soPin)},
        {"changed PIN", bytesOfText(changedPin)},
        {"unblocked PIN", bytesOfText(unblockedPin)},
        {"property PIN", bytesOfText(propertyPin)},
        {"session PIN", Bytes(sessionPin.data, sessionPin.data + 8)},
    };
    for (const RsaKey* key : {&full, &half}) {
        secrets.push_back({"P", key->p});
        secrets.push_back({"Q", key->q});
        secrets.push_back({"DP", key->dp});
        secrets.push_back({"DQ", key->dq});
        secrets.push_back({"INV", key->qinv});
    }
    for (const auto& [name, secret] : secrets) {
        const std::string asText(secret.begin(), secret.end());
        EXPECT_EQ(std::string::npos, log.find(asText)) << name << " appears as text";
        for (const std::string& form : hexForms(secret)) {
            EXPECT_EQ(std::string::npos, log.find(form)) << name << " appears as hex: " << form;
        }
    }
    // The public modulus is no secret and is traced: the search itself works.
    bool modulusSeen = false;
    for (const std::string& form : hexForms(full.n)) {
        modulusSeen = modulusSeen || log.find(form) != std::string::npos;
    }
    EXPECT_TRUE(modulusSeen);
}

}  // namespace tokentest
