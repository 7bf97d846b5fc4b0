// The RSA key views over a simulated card, in process: a card engine, one
// connection, and one cached token per Cryptoki call as the module makes
// them (logged in as the user, no cache files). Templates are built from
// real RSA keys made once per program.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "amw/cachedtoken.h"
#include "cardsim/engine.h"
#include "cardsim/engineconnection.h"
#include "cryptoki.h"
#include "rsatestkeys.h"

namespace keystest {

using Bytes = std::vector<std::uint8_t>;
using tokentest::RsaKey;

Bytes text(const std::string& value);
Bytes ulongBytes(CK_ULONG value);
Bytes boolBytes(bool value);
Bytes hexTextBytes(const Bytes& bytes);
template <std::size_t N>
Bytes bytesOf(const StaticBuffer<N>& buffer) {
    return Bytes(buffer.data, buffer.data + buffer.length);
}
template <std::size_t N>
StaticBuffer<N> buf(const Bytes& bytes) {
    return StaticBuffer<N>(bytes.data(), bytes.size());
}

// Keys whose components all have their full length (p, q, dp, dq and qinv
// half the modulus), so that size rules are exact.
const RsaKey& key1024();
const RsaKey& otherKey1024();
const RsaKey& key2048();

// An attribute template that owns its values.
class Template {
public:
    Template& add(CK_ATTRIBUTE_TYPE type, const Bytes& value);
    Template& addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
        return add(type, ulongBytes(value));
    }
    Template& addBool(CK_ATTRIBUTE_TYPE type, bool value) { return add(type, boolBytes(value)); }
    // The same template without any attribute of the type.
    Template without(CK_ATTRIBUTE_TYPE type) const;
    // Valid while the template is alive and unchanged.
    const CK_ATTRIBUTE* data();
    CK_ULONG count() const { return static_cast<CK_ULONG>(entries.size()); }

private:
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> entries;
    std::vector<CK_ATTRIBUTE> view;
};

// Import templates: class, key type, identifier, label, usage and the
// components.
Template publicTemplate(const RsaKey& key, const std::string& id, const std::string& label);
Template privateTemplate(const RsaKey& key, const std::string& id, const std::string& label,
                         bool signOnly = false);

// View::createObject over the template.
template <class View>
StaticBuffer<128> importKey(amw::CachedToken& call, Template t) {
    return View::createObject(call, t.data(), t.count());
}

// The exception's message, "no exception", or "other exception: ...".
template <class E>
std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other exception: ") + e.what();
    }
    return "no exception";
}

// One 86-byte container map record.
struct ContainerRecord {
    std::uint8_t flags;
    std::uint16_t signatureBits;
    std::uint16_t exchangeBits;
    bool nameEmpty;
};

class KeysFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // One Cryptoki call's view of the card, logged in as the user.
    std::unique_ptr<amw::CachedToken> beginCall();
    // The container map as a new call reads it from the card.
    Bytes containerMap();
    static ContainerRecord record(const Bytes& map, std::size_t index);
    // The card's freshness block as a new call reads it.
    amw::FreshnessRecord cardFreshness();
    // A new call's key pair with the identifier, or null (the call is kept
    // in `lastCall` so the pointer stays valid).
    amw::KeyPair* keyPairOnCard(const std::string& id);

    // Stores a private key alone, then its public half added by the token
    // itself (the container map is not involved): a complete imported pair.
    void storeCompletePair(const RsaKey& key, const std::string& id, const std::string& publicLabel,
                           const std::string& privateLabel);
    // A pair generated on the card with both labels and the usage mask.
    void storeGeneratedPair(const std::string& id, const std::string& publicLabel,
                            const std::string& privateLabel, std::uint16_t usage);

    std::unique_ptr<cardsim::CardEngine> engine;
    std::unique_ptr<cardsim::EngineConnection> connection;
    std::unique_ptr<amw::CachedToken> lastCall;
};

}  // namespace keystest
