// Cache files of every object kind written by the card token's records, then
// damaged in every way a torn write, a foreign program or a full disk can
// leave them: every byte changed, every truncation, bytes appended. The files
// are read without an integrity delegate, so the record readers themselves
// face the damage. Each read must end as a clean miss (false, nothing
// listed) or as a well-formed list that can be written again; nothing may
// throw or touch memory it does not own (the sanitizer build checks that).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "amw/authenticationobject.h"
#include "amwferrix/dataobject.h"
#include "amwferrix/directory.h"
#include "amwferrix/file.h"
#include "amwferrix/keypair.h"
#include "amwferrix/token.h"
#include "amwferrix/x509certificate.h"
#include "cachememory/cachememory.h"
#include "tokentestsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace tokentest;
using apdutest::sequence;
using ctl::ScriptedConnection;

constexpr std::uint32_t FRESHNESS = 7;

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class CacheFileCorruption : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        for (int attempt = 0; attempt < 10 && root.empty(); ++attempt) {
            fs::path candidate =
                fs::temp_directory_path() / ("zentrik-corrupt-" + std::to_string(random()));
            if (fs::create_directory(candidate)) {
                root = candidate;
            }
        }
        ASSERT_FALSE(root.empty());
        cache = std::make_unique<CacheMemory>(&token, (root / "card").string());
        rewriteCache = std::make_unique<CacheMemory>(&token, (root / "rewrite").string());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Writes `entities` as the file of `kind` and returns its bytes.
    std::string writeKind(std::uint32_t kind, const std::vector<const SerializableEntity*>& entities) {
        EXPECT_TRUE(cache->serializeEntities(kind, FRESHNESS, entities, nullptr));
        const std::string bytes = readAll(cache->getCacheFileName(kind));
        // The intact file reads back whole: the damage below is what fails.
        CacheMemory::EntityList list;
        EXPECT_TRUE(cache->deserializeEntities(kind, FRESHNESS, &list, nullptr));
        EXPECT_EQ(entities.size(), list.size());
        return bytes;
    }

    // Puts `bytes` in place of the file of `kind` and reads it. Returns
    // whether the read was a hit; a hit must be writable again.
    bool readDamaged(std::uint32_t kind, const std::string& bytes, const std::string& what) {
        writeAll(cache->getCacheFileName(kind), bytes);
        CacheMemory::EntityList list;
        bool hit = false;
        try {
            hit = cache->deserializeEntities(kind, FRESHNESS, &list, nullptr);
        } catch (const std::exception& e) {
            ADD_FAILURE() << what << ": the read threw instead of missing: " << e.what();
            return false;
        }
        if (!hit) {
            EXPECT_TRUE(list.empty()) << what << ": a miss must leave nothing listed";
            return false;
        }
        std::vector<const SerializableEntity*> again;
        for (const auto& entity : list) {
            again.push_back(entity.get());
        }
        EXPECT_TRUE(rewriteCache->serializeEntities(kind, FRESHNESS, again, nullptr)) << what;
        return true;
    }

    // Every single-byte change, every truncation and appended bytes. Returns
    // the number of damaged files that were misses.
    std::size_t damageEverywhere(std::uint32_t kind, const std::string& original) {
        std::size_t misses = 0;
        for (std::size_t at = 0; at < original.size(); ++at) {
            const auto byte = static_cast<unsigned char>(original[at]);
            // An off-by-one and an all-ones byte: the first nudges lengths and
            // flags, the second makes lengths huge and flags invalid.
            for (unsigned char value : {static_cast<unsigned char>(byte ^ 0x01),
                                        static_cast<unsigned char>(0xFF)}) {
                if (value == byte) {
                    continue;
                }
                std::string damaged = original;
                damaged[at] = static_cast<char>(value);
                misses += readDamaged(kind, damaged,
                                      "byte " + std::to_string(at) + " set to " +
                                          std::to_string(value))
                              ? 0
                              : 1;
            }
        }
        for (std::size_t length = 0; length < original.size(); ++length) {
            const bool hit = readDamaged(kind, original.substr(0, length),
                                         "truncated to " + std::to_string(length));
            EXPECT_FALSE(hit) << "a file cut to " << length << " of " << original.size()
                              << " bytes must be a miss";
            misses += hit ? 0 : 1;
        }
        for (const std::string& tail : {std::string(1, '\0'), std::string(300, '\xFF')}) {
            EXPECT_FALSE(readDamaged(kind, original + tail, "appended bytes"))
                << "bytes after the last record must be a miss";
        }
        return misses;
    }

    ScriptedConnection card;
    amwferrix::Token token{card};
    fs::path root;
    std::unique_ptr<CacheMemory> cache;
    std::unique_ptr<CacheMemory> rewriteCache;
};

TEST_F(CacheFileCorruption, KeyPairFilesOfEveryShapeNeverBreakTheReader) {
    amwferrix::KeyPair complete(card, 512);
    complete.setPkcs11Id(StaticBuffer<128>("\x01\x02", 2));
    amw::KeyPair::PublicPart pub;
    const Bytes modulus = sequence(64, 0x80);
    pub.modulus.assign(modulus.data(), modulus.size());
    pub.publicExponent.assign("\x01\x00\x01", 3);
    pub.label.assign("public", 6);
    complete.addPublicKey(pub, 0, 1, 0x6C);
    amw::KeyPair::PrivatePart priv;
    priv.label.assign("private", 7);
    complete.addPrivateKey(priv, 0, 1, 0x93);
    complete.setBlockId(0x0102);
    amwferrix::KeyPair privateOnly(card, 2048);
    privateOnly.setPkcs11Id(StaticBuffer<128>("\x03", 1));
    privateOnly.addPrivateKey(priv, 0xFF, 0, 0x93);
    privateOnly.setBlockId(0x0103);

    const std::string original = writeKind(1, {&complete, &privateOnly});
    EXPECT_LT(0u, damageEverywhere(1, original));
    EXPECT_TRUE(card.calls().empty()) << "reading cache files never reaches the card";
}

TEST_F(CacheFileCorruption, CertificateAndDataObjectFilesWithContentNeverBreakTheReader) {
    amwferrix::X509Certificate certificate(card, StaticBuffer<128>("c", 1), true,
                                           StaticBuffer<128>("label", 5), 2, 1);
    const Bytes der = sequence(40, 0x30);
    certificate.setContent(der.data(), der.size());
    certificate.setBlockId(0x0021);
    EXPECT_LT(0u, damageEverywhere(3, writeKind(3, {&certificate})));

    amwferrix::DataObject publicObject(card, StaticBuffer<128>("d", 1), StaticBuffer<128>("l", 1),
                                       StaticBuffer<128>("o", 1), StaticBuffer<128>("a", 1),
                                       0x0101);
    const Bytes value = sequence(20, 0x40);
    publicObject.setContent(value.data(), value.size());
    publicObject.setBlockId(0x0031);
    amwferrix::DataObject privateObject(card, StaticBuffer<128>("e", 1), StaticBuffer<128>("m", 1),
                                        StaticBuffer<128>("p", 1), StaticBuffer<128>("b", 1),
                                        0x0202);
    privateObject.setBlockId(0x0032);
    EXPECT_LT(0u, damageEverywhere(6, writeKind(6, {&publicObject, &privateObject})));
    EXPECT_TRUE(card.calls().empty());
}

TEST_F(CacheFileCorruption, FileDirectoryAndAuthenticationObjectFilesNeverBreakTheReader) {
    amwferrix::File file(card, StaticBuffer<8>("cmapfile", 8), StaticBuffer<8>("mscp", 4),
                         0x0101, 0x0202, 0x0404);
    file.setBlockId(0x0041);
    EXPECT_LT(0u, damageEverywhere(5, writeKind(5, {&file})));

    amwferrix::Directory directory(card, StaticBuffer<8>("mscp", 4));
    directory.setBlockId(0x0003);
    EXPECT_LT(0u, damageEverywhere(4, writeKind(4, {&directory})));

    amw::AuthenticationObject user(amw::AMWROLE_USER, amw::AuthenticationObject::PIN, 5, 1, 2,
                                   true);
    amw::AuthenticationObject admin(amw::AMWROLE_ADMIN, amw::AuthenticationObject::KEY, 3, 4, 5,
                                    false);
    EXPECT_LT(0u, damageEverywhere(7, writeKind(7, {&user, &admin})));
    EXPECT_TRUE(card.calls().empty());
}

}  // namespace
