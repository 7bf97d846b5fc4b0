#include "keystestsupport.h"

#include <cstdio>

#include "amw/authenticationobject.h"
#include "amwferrix/token.h"
#include "cardsim/engine.h"
#include "cardsim/engineconnection.h"
#include "cardsim/personalisation.h"

namespace keystest {

namespace {

const std::string USER_PIN = "Jm4sX9eQ";

// OpenSSL drops leading zero bytes; such keys are made again.
RsaKey fullLengthKey(int bits) {
    const std::size_t half = static_cast<std::size_t>(bits) / 16;
    for (;;) {
        RsaKey key = tokentest::generateRsaKey(bits);
        if (key.n.size() == half * 2 && key.p.size() == half && key.q.size() == half &&
            key.dp.size() == half && key.dq.size() == half && key.qinv.size() == half) {
            return key;
        }
    }
}

}  // namespace

Bytes text(const std::string& value) {
    return Bytes(value.begin(), value.end());
}

Bytes ulongBytes(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

Bytes boolBytes(bool value) {
    return Bytes{static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE)};
}

Bytes hexTextBytes(const Bytes& bytes) {
    std::string out;
    char digits[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", byte);
        out += digits;
    }
    return text(out);
}

const RsaKey& key1024() {
    static const RsaKey key = fullLengthKey(1024);
    return key;
}

const RsaKey& otherKey1024() {
    static const RsaKey key = fullLengthKey(1024);
    return key;
}

const RsaKey& key2048() {
    static const RsaKey key = fullLengthKey(2048);
    return key;
}

Template& Template::add(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    entries.emplace_back(type, value);
    return *this;
}

Template Template::without(CK_ATTRIBUTE_TYPE type) const {
    Template copy;
    for (const auto& entry : entries) {
        if (entry.first != type) copy.entries.push_back(entry);
    }
    return copy;
}

const CK_ATTRIBUTE* Template::data() {
    view.clear();
    for (auto& [type, value] : entries) {
        view.push_back(CK_ATTRIBUTE{type, value.empty() ? nullptr : value.data(),
                                    static_cast<CK_ULONG>(value.size())});
    }
    return view.data();
}

Template publicTemplate(const RsaKey& key, const std::string& id, const std::string& label) {
    Template t;
    t.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA);
    t.add(CKA_ID, text(id)).add(CKA_LABEL, text(label));
    t.addBool(CKA_ENCRYPT, true).addBool(CKA_VERIFY, true).addBool(CKA_WRAP, false);
    t.add(CKA_MODULUS, key.n).add(CKA_PUBLIC_EXPONENT, key.e);
    return t;
}

Template privateTemplate(const RsaKey& key, const std::string& id, const std::string& label,
                         bool signOnly) {
    Template t;
    t.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addUlong(CKA_KEY_TYPE, CKK_RSA);
    t.add(CKA_ID, text(id)).add(CKA_LABEL, text(label));
    t.addBool(CKA_SIGN, true).addBool(CKA_DECRYPT, !signOnly);
    t.add(CKA_MODULUS, key.n).add(CKA_PUBLIC_EXPONENT, key.e);
    t.add(CKA_PRIME_1, key.p).add(CKA_PRIME_2, key.q);
    t.add(CKA_EXPONENT_1, key.dp).add(CKA_EXPONENT_2, key.dq).add(CKA_COEFFICIENT, key.qinv);
    return t;
}

void KeysFixture::SetUp() {
    ASSERT_NE(nullptr, std::getenv("ZENTRIK_CONF")) << "run through ctest";
    cardsim::Personalisation options;
    options.userPin = USER_PIN;
    options.keySlots = {{1024, 6}, {2048, 2}};
    engine = cardsim::CardEngine::fromState(cardsim::personalise(options));
    connection = std::make_unique<cardsim::EngineConnection>(*engine);
}

void KeysFixture::TearDown() {
    lastCall.reset();
    connection.reset();
    engine.reset();
}

std::unique_ptr<amw::CachedToken> KeysFixture::beginCall() {
    auto token = std::make_unique<amwferrix::Token>(*connection);
    token->selectApplet();
    amw::CardId cardId{};
    token->getCardId(cardId);
    auto call = std::make_unique<amw::CachedToken>(std::move(token), cardId, std::string());
    const amw::AuthenticationObject user(amw::AMWROLE_USER, amw::AuthenticationObject::PIN, 5, 0, 0,
                                         false);
    const auto result =
        call->authenticate(user, reinterpret_cast<const std::uint8_t*>(USER_PIN.data()),
                           static_cast<std::uint32_t>(USER_PIN.size()), nullptr, nullptr);
    EXPECT_EQ(amw::AUTHENTICATION_SUCCESS, result);
    return call;
}

Bytes KeysFixture::containerMap() {
    auto call = beginCall();
    amw::Directory* mscp = call->findDirectory(StaticBuffer<8>("mscp", 4));
    if (mscp == nullptr) return Bytes{0xEE};
    amw::File* map = call->findFile(mscp, StaticBuffer<8>("cmapfile", 8));
    if (map == nullptr) return Bytes{0xEE};
    return bytesOf(map->getContent());
}

ContainerRecord KeysFixture::record(const Bytes& map, std::size_t index) {
    const std::uint8_t* r = map.data() + index * 86;
    bool nameEmpty = true;
    for (std::size_t i = 0; i < 80; ++i) nameEmpty = nameEmpty && r[i] == 0;
    return ContainerRecord{r[80], static_cast<std::uint16_t>(r[82] | r[83] << 8),
                           static_cast<std::uint16_t>(r[84] | r[85] << 8), nameEmpty};
}

amw::FreshnessRecord KeysFixture::cardFreshness() {
    return beginCall()->getCardFreshness();
}

amw::KeyPair* KeysFixture::keyPairOnCard(const std::string& id) {
    lastCall = beginCall();
    return lastCall->findKeyPair(buf<128>(text(id)));
}

void KeysFixture::storeCompletePair(const RsaKey& key, const std::string& id,
                                    const std::string& publicLabel,
                                    const std::string& privateLabel) {
    auto call = beginCall();
    amw::RsaPrivateKeyComponents components;
    components.modulus = buf<256>(key.n);
    components.p = buf<256>(key.p);
    components.q = buf<256>(key.q);
    components.dp = buf<256>(key.dp);
    components.dq = buf<256>(key.dq);
    components.inv = buf<256>(key.qinv);
    const auto bits = static_cast<std::uint32_t>(key.n.size() * 8);
    call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    amw::KeyPair* pair = call->importPrivateKey(buf<128>(text(id)), bits,
                                                buf<128>(text(privateLabel)), 0x03, components);
    pair->commitCreationOrMetadataChanges();
    call->amendKeyPairAddPublicKey(pair, buf<128>(text(publicLabel)), 0,
                                   amw::KeyPair::KEY_EXCHANGE_KEY, 0x24,
                                   {buf<256>(key.n), buf<256>(key.e)});
    pair->commitCreationOrMetadataChanges();
    call->refreshCache();
}

void KeysFixture::storeGeneratedPair(const std::string& id, const std::string& publicLabel,
                                     const std::string& privateLabel, std::uint16_t usage) {
    auto call = beginCall();
    call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    amw::KeyPair* pair = call->generateKeyPair(
        buf<128>(text(publicLabel)), buf<128>(text(privateLabel)), 1024, 0,
        amw::KeyPair::KEY_EXCHANGE_KEY, buf<128>(text(id)), usage, buf<256>(Bytes{1, 0, 1}));
    pair->commitCreationOrMetadataChanges();
    call->refreshCache();
}

}  // namespace keystest
