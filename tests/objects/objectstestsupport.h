// A simulated card reached through cached tokens, one per simulated Cryptoki
// call, each logged in as the user (the card's files and objects need it for
// writes). Calls work without cache files unless a test asks for them, so a
// test that edits the card image directly never meets a cached copy.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "amw/cachedtoken.h"
#include "amwferrix/token.h"
#include "cardsim/cardstate.h"
#include "cardsim/engine.h"
#include "cardsim/engineconnection.h"
#include "cardsim/personalisation.h"
#include "cryptoki.h"

namespace objectstest {

using Bytes = std::vector<std::uint8_t>;

inline const std::string USER_PIN = "wT4nQ8xe";
// Block ids of the personalised card's minidriver files.
constexpr std::uint16_t CARDCF_BLOCK = 0x0002;
constexpr std::uint16_t CMAPFILE_BLOCK = 0x0004;
// Card command that reads an object's content.
constexpr std::uint8_t INS_READ_CONTENT = 0x1E;

template <std::size_t N>
StaticBuffer<N> buf(const std::string& text) {
    return StaticBuffer<N>(text.data(), text.size());
}

template <std::size_t N>
Bytes bytesOf(const StaticBuffer<N>& buffer) {
    return Bytes(buffer.data, buffer.data + buffer.length);
}

inline Bytes textBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes ulongBytes(CK_ULONG value) {
    Bytes bytes(sizeof value);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&value), sizeof value, bytes.begin());
    return bytes;
}

inline Bytes pattern(std::size_t count, std::uint8_t seed) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

inline CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    return CK_ATTRIBUTE{type, const_cast<std::uint8_t*>(value.data()),
                        static_cast<CK_ULONG>(value.size())};
}

// The message of the exception of type E that the action throws, or a text
// that says what happened instead.
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

// How far the card cache file's two counters rose together from `before`
// to `after` (wrapping at 16 bits), the other bytes unchanged; -1 otherwise.
inline int counterRise(const Bytes& before, const Bytes& after) {
    if (before.size() < 6 || before.size() != after.size() || before[0] != after[0] || before[1] != after[1] ||
        !std::equal(before.begin() + 6, before.end(), after.begin() + 6))
        return -1;
    const auto field = [](const Bytes& cf, std::size_t at) { return cf[at] | (cf[at + 1] << 8); };
    const int container = (field(after, 2) - field(before, 2)) & 0xFFFF;
    const int file = (field(after, 4) - field(before, 4)) & 0xFFFF;
    return container == file ? container : -1;
}

// `writes` map writes raise both counters by 2 to 257 each.
inline void expectRaisedByWrites(int writes, const Bytes& before, const Bytes& after) {
    const int rise = counterRise(before, after);
    EXPECT_GE(rise, 2 * writes);
    EXPECT_LE(rise, 257 * writes);
}

// What a card keeps of its objects, for "nothing reached the card" checks.
struct CardSnapshot {
    std::vector<Bytes> objects;
    Bytes freshness;
    bool operator==(const CardSnapshot&) const = default;
};

class CardFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, std::getenv("ZENTRIK_CONF")) << "run through ctest";
        cardsim::Personalisation options;
        options.userPin = USER_PIN;
        startCard(cardsim::personalise(options));
    }

    void TearDown() override {
        if (!cachingDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(cachingDir, ignored);
        }
    }

    void startCard(const cardsim::CardState& state) {
        connection.reset();
        engine = cardsim::CardEngine::fromState(state);
        connection = std::make_unique<cardsim::EngineConnection>(*engine);
    }

    // Replaces the content of a file on the card image.
    void setFileOnCard(std::uint16_t blockId, const Bytes& content) {
        cardsim::CardState state = engine->state();
        state.findObject(blockId)->content = content;
        startCard(state);
    }

    Bytes fileOnCard(std::uint16_t blockId) const {
        const cardsim::CardState state = engine->state();
        const cardsim::CardObject* object = state.findObject(blockId);
        return object != nullptr && object->content ? *object->content : Bytes();
    }

    CardSnapshot snapshot() const {
        const cardsim::CardState state = engine->state();
        CardSnapshot result;
        for (const cardsim::CardObject& object : state.objects) {
            Bytes record = object.metadata;
            if (object.content)
                record.insert(record.end(), object.content->begin(), object.content->end());
            result.objects.push_back(record);
        }
        result.freshness = state.freshness.value_or(Bytes());
        return result;
    }

    // One call's token, logged in unless asked; without cache files unless
    // asked. The commands sent while making it are forgotten.
    std::unique_ptr<amw::CachedToken> beginCall(bool withCache = false, bool loggedIn = true) {
        auto token = std::make_unique<amwferrix::Token>(*connection);
        token->selectApplet();
        amw::CardId cardId{};
        token->getCardId(cardId);
        std::unique_ptr<amw::CachedToken> call =
            withCache ? std::make_unique<amw::CachedToken>(std::move(token), cardId)
                      : std::make_unique<amw::CachedToken>(std::move(token), cardId, std::string());
        if (call->getCacheMemory() != nullptr) cachingDir = call->getCacheMemory()->getCachingDir();
        if (!loggedIn) {
            connection->clearSentCommands();
            return call;
        }
        const amw::AuthenticationObject user(amw::AMWROLE_USER, amw::AuthenticationObject::PIN, 5,
                                             0, 0, false);
        const auto result =
            call->authenticate(user, reinterpret_cast<const std::uint8_t*>(USER_PIN.data()),
                               static_cast<std::uint32_t>(USER_PIN.size()), nullptr, nullptr);
        EXPECT_EQ(amw::AUTHENTICATION_SUCCESS, result);
        connection->clearSentCommands();
        return call;
    }

    std::size_t sentWithIns(std::uint8_t ins) const {
        const auto& sent = connection->sentCommands();
        return static_cast<std::size_t>(
            std::count_if(sent.begin(), sent.end(),
                          [ins](const Bytes& apdu) { return apdu.size() > 1 && apdu[1] == ins; }));
    }

    // A certificate stored directly through the token, claiming a container.
    static void addCertificate(amw::CachedToken& call, const std::string& id,
                               std::uint8_t containerIndex) {
        call.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
        amw::X509Certificate* certificate = call.createCertificate(
            buf<128>(""), buf<128>(id), containerIndex, 1, false, 0xFFFF, 0xFFFF, 0xFFFF);
        certificate->commitCreationOrMetadataChanges();
    }

    std::unique_ptr<cardsim::CardEngine> engine;
    std::unique_ptr<cardsim::EngineConnection> connection;
    std::string cachingDir;
};

}  // namespace objectstest
