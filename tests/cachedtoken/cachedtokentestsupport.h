// A simulated card seen through cached tokens, one per Cryptoki call as the
// module makes them. Two connections to the same card stand for two
// processes; both use the cache directory of this test program's
// configuration file, as two processes of one user would.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "amw/cachedtoken.h"
#include "amwferrix/token.h"
#include "cardsim/engine.h"
#include "cardsim/engineconnection.h"
#include "cardsim/personalisation.h"
#include "logger.h"

namespace cachedtest {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// Unusual on purpose, so that a search of the trace log finds it only if
// it leaked.
inline const std::string USER_PIN = "qZ8rV3mK";

// Card commands by instruction byte.
constexpr std::uint8_t INS_GET_SERIAL = 0x04;
constexpr std::uint8_t INS_GET_HEADS = 0x0A;
constexpr std::uint8_t INS_SET_FRESHNESS = 0x0E;
constexpr std::uint8_t INS_READ_METADATA = 0x18;
constexpr std::uint8_t INS_READ_CONTENT = 0x1E;
constexpr std::uint8_t INS_GET_AUTH_OBJECT = 0x2C;

template <std::size_t N>
StaticBuffer<N> buf(const std::string& text) {
    return StaticBuffer<N>(text.data(), text.size());
}

template <std::size_t N>
Bytes bytesOf(const StaticBuffer<N>& buffer) {
    return Bytes(buffer.data, buffer.data + buffer.length);
}

inline Bytes pattern(std::size_t count, std::uint8_t seed) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
    }
    return bytes;
}

inline std::size_t countIns(const cardsim::EngineConnection& connection, std::uint8_t ins) {
    const auto& sent = connection.sentCommands();
    return static_cast<std::size_t>(std::count_if(
        sent.begin(), sent.end(),
        [ins](const std::vector<std::uint8_t>& apdu) { return apdu.size() > 1 && apdu[1] == ins; }));
}

// Commands that read object lists: heads, headers and authentication objects.
inline std::size_t listCommands(const cardsim::EngineConnection& connection) {
    return countIns(connection, INS_GET_HEADS) + countIns(connection, INS_READ_METADATA) +
           countIns(connection, INS_GET_AUTH_OBJECT);
}

inline std::string traceLog() {
    std::ifstream in(Logger::instance().getFileName(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CardFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // Without it the cache files would go to the user's real profile folder.
        ASSERT_NE(nullptr, std::getenv("ZENTRIK_CONF")) << "run through ctest";
        cardsim::Personalisation options;
        options.userPin = USER_PIN;
        engine = cardsim::CardEngine::fromState(cardsim::personalise(options));
        processA = std::make_unique<cardsim::EngineConnection>(*engine);
        processB = std::make_unique<cardsim::EngineConnection>(*engine);
    }

    void TearDown() override {
        if (!cachingDir.empty()) {
            std::error_code ignored;
            fs::remove_all(cachingDir, ignored);
        }
    }

    // One Cryptoki call's view of the card through `connection`, with the
    // configured cache directory; the commands sent while building it are
    // forgotten.
    std::unique_ptr<amw::CachedToken> beginCall(cardsim::EngineConnection& connection) {
        amw::CardId cardId{};
        auto token = selectedToken(connection, cardId);
        auto call = std::make_unique<amw::CachedToken>(std::move(token), cardId);
        if (call->getCacheMemory() != nullptr) {
            cachingDir = call->getCacheMemory()->getCachingDir();
        }
        connection.clearSentCommands();
        return call;
    }

    // The same with caching switched off.
    std::unique_ptr<amw::CachedToken> beginCallWithoutCache(cardsim::EngineConnection& connection) {
        amw::CardId cardId{};
        auto token = selectedToken(connection, cardId);
        auto call = std::make_unique<amw::CachedToken>(std::move(token), cardId, std::string());
        connection.clearSentCommands();
        return call;
    }

    static std::unique_ptr<amwferrix::Token> selectedToken(cardsim::EngineConnection& connection,
                                                           amw::CardId& cardId) {
        auto token = std::make_unique<amwferrix::Token>(connection);
        token->selectApplet();
        token->getCardId(cardId);
        return token;
    }

    static void login(amw::CachedToken& call) {
        const amw::AuthenticationObject user(amw::AMWROLE_USER, amw::AuthenticationObject::PIN, 5,
                                             0, 0, false);
        ASSERT_EQ(amw::AUTHENTICATION_SUCCESS,
                  call.authenticate(user, reinterpret_cast<const std::uint8_t*>(USER_PIN.data()),
                                    static_cast<std::uint32_t>(USER_PIN.size()), nullptr,
                                    nullptr));
    }

    // Raises the certificate counter on the card and stores a certificate.
    static amw::X509Certificate* addCertificate(amw::CachedToken& call, const std::string& id,
                                                const Bytes& content) {
        call.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
        amw::X509Certificate* certificate = call.createCertificate(
            buf<128>("label-" + id), buf<128>(id), 0, 0, false, 0xFFFF, 0xFFFF, 0xFFFF);
        certificate->setContent(content.data(), content.size());
        certificate->commitCreationOrMetadataChanges();
        certificate->commitContentChanges();
        return certificate;
    }

    static amw::DataObject* addDataObject(amw::CachedToken& call, const std::string& id,
                                          const Bytes& content) {
        call.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
        amw::DataObject* object =
            call.createDataObject(buf<128>("label-" + id), buf<128>(id), buf<128>("oid"),
                                  buf<128>("zentrik"), 0xFFFF, cardsim::AC_EVERYONE, 0xFFFF, 0xFFFF);
        object->setContent(content.data(), content.size());
        object->commitCreationOrMetadataChanges();
        object->commitContentChanges();
        return object;
    }

    static void loadEveryList(amw::CachedToken& call) {
        call.getKeyPairs();
        call.getAuthenticationObjects();
        call.getDirectories();
        call.getDataObjects();
        call.getCertificates();
        call.getFiles();
    }

    fs::path cacheFile(std::uint32_t kind) const { return fs::path(cachingDir) / std::to_string(kind); }

    std::unique_ptr<cardsim::CardEngine> engine;
    std::unique_ptr<cardsim::EngineConnection> processA;
    std::unique_ptr<cardsim::EngineConnection> processB;
    std::string cachingDir;
};

}  // namespace cachedtest
