// Every kind of model object through a real cache file and back, the way the
// cached token stores its lists.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "amw/amwtypes.h"
#include "amw/authenticationobject.h"
#include "cachememory/cachememory.h"
#include "testobjects.h"
#include "vxexception.h"

namespace {

namespace fs = std::filesystem;
using namespace amwtest;

// Entity ids as the cached token numbers its kinds.
enum Kind : std::uint32_t {
    KEYPAIR = 1,
    CERTIFICATE = 3,
    DIRECTORY = 4,
    FILE_KIND = 5,
    DATA_OBJECT = 6,
    AO = 7
};

class ModelFactory : public SerializeEntityFactory {
public:
    std::unique_ptr<SerializableEntity> createSerializableEntity(std::uint32_t entityId) override {
        switch (entityId) {
        case KEYPAIR:
            return std::make_unique<TestKeyPair>();
        case CERTIFICATE:
            return std::make_unique<TestCertificate>();
        case DIRECTORY:
            return std::make_unique<TestDirectory>();
        case FILE_KIND:
            return std::make_unique<TestFile>();
        case DATA_OBJECT:
            return std::make_unique<TestDataObject>();
        case AO:
            return std::make_unique<amw::AuthenticationObject>();
        default:
            throw InternalErrorException("unknown entityId [%u]", entityId);
        }
    }
    std::uint32_t getSerializationVersion() override { return 0; }
};

class TrustingDelegate : public CacheMemoryIntegrityDelegate {
public:
    void cacheMemoryHash(CacheMemory&, std::uint32_t entityId, const std::uint8_t (&d)[32]) override {
        digests[entityId].assign(d, d + 5);
    }
    bool cacheMemoryVerifyHash(CacheMemory&, std::uint32_t entityId,
                               const std::uint8_t (&d)[32]) override {
        return digests[entityId] == std::vector<std::uint8_t>(d, d + 5);
    }
    std::map<std::uint32_t, std::vector<std::uint8_t>> digests;
};

class ModelCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
            fs::path candidate = fs::temp_directory_path() / ("zentrik-amw-" + std::to_string(random()));
            if (fs::create_directory(candidate)) {
                root = candidate;
            }
        }
        ASSERT_FALSE(root.empty());
        cache = std::make_unique<CacheMemory>(&factory, (root / "card").string());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    template <class T>
    std::vector<std::unique_ptr<T>> roundTrip(std::uint32_t kind,
                                              const std::vector<std::unique_ptr<T>>& list) {
        EXPECT_TRUE(cache->serializeEntities(kind, 11, list, &delegate));
        std::vector<std::unique_ptr<T>> back;
        EXPECT_TRUE(cache->deserializeEntities(kind, 11, &back, &delegate));
        return back;
    }

    fs::path root;
    ModelFactory factory;
    TrustingDelegate delegate;
    std::unique_ptr<CacheMemory> cache;
};

TEST_F(ModelCacheTest, KeyPairsSurviveWithBothPartsOrOne) {
    std::vector<std::unique_ptr<amw::KeyPair>> list;
    auto complete = std::make_unique<TestKeyPair>(2048);
    complete->setPkcs11Id(buffer<128>({0x01}));
    amw::KeyPair::PublicPart pub;
    pub.modulus = StaticBuffer<256>(std::vector<std::uint8_t>(256, 0xC5).data(), 256);
    pub.publicExponent = buffer<256>({0x01, 0x00, 0x01});
    pub.label = text<128>("pub label");
    complete->addPublicKey(pub, 2, amw::KeyPair::KEY_EXCHANGE_KEY, 0x6C);
    amw::KeyPair::PrivatePart priv;
    priv.label = text<128>("priv label");
    complete->addPrivateKey(priv, 2, amw::KeyPair::KEY_EXCHANGE_KEY, 0x93);
    complete->setGeneratedOnCard(true);
    auto privateOnly = std::make_unique<TestKeyPair>(1024);
    privateOnly->setPkcs11Id(buffer<128>({0x02}));
    privateOnly->addPrivateKey(priv, 0xFF, 0, 0x01);
    list.push_back(std::move(complete));
    list.push_back(std::move(privateOnly));

    auto back = roundTrip(KEYPAIR, list);
    ASSERT_EQ(2u, back.size());
    // Descending order of identifiers.
    const amw::KeyPair& second = *back[0];
    const amw::KeyPair& first = *back[1];
    EXPECT_TRUE(second.getPkcs11Id() == buffer<128>({0x02}));
    EXPECT_FALSE(second.hasPublicKey());
    EXPECT_TRUE(second.hasPrivateKey());
    EXPECT_EQ(1024, second.getKeySize());
    EXPECT_EQ(0xFF, second.getContainerIndex());
    EXPECT_EQ(2048, first.getKeySize());
    EXPECT_TRUE(first.isComplete());
    EXPECT_TRUE(first.isGeneratedOnCard());
    EXPECT_EQ(0xFF, first.getKeyUsage());
    EXPECT_EQ(amw::KeyPair::KEY_EXCHANGE_KEY, first.getKeySpec());
    EXPECT_TRUE(first.getPublicPart().modulus == pub.modulus);
    EXPECT_TRUE(first.getPublicPart().publicExponent == pub.publicExponent);
    EXPECT_TRUE(first.getPublicPart().label == pub.label);
    EXPECT_TRUE(first.getPrivatePart().label == priv.label);
}

TEST_F(ModelCacheTest, CertificatesAreWrittenInDescendingIdOrderAndKeepTheirContent) {
    std::vector<std::unique_ptr<amw::X509Certificate>> list;
    for (std::uint8_t id : {0x01, 0x03, 0x02}) {
        auto certificate = std::make_unique<TestCertificate>(buffer<128>({id}), id == 3,
                                                             text<128>("cert"), id, id % 2);
        const std::uint8_t der[] = {0x30, 0x01, id};
        certificate->setContent(der, sizeof der);
        list.push_back(std::move(certificate));
    }
    auto back = roundTrip(CERTIFICATE, list);
    ASSERT_EQ(3u, back.size());
    const std::uint8_t expectedOrder[] = {0x03, 0x02, 0x01};
    for (std::size_t i = 0; i < 3; ++i) {
        auto* certificate = static_cast<TestCertificate*>(back[i].get());
        EXPECT_TRUE(certificate->getPkcs11Id() == buffer<128>({expectedOrder[i]}));
        EXPECT_EQ(expectedOrder[i] == 3, certificate->isTrusted());
        EXPECT_EQ(expectedOrder[i], certificate->getContainerIndex());
        EXPECT_EQ(expectedOrder[i] % 2u, certificate->getKeySpec());
        EXPECT_TRUE(certificate->isContentLoaded());
        EXPECT_EQ(expectedOrder[i], certificate->getContent().data[2]);
        EXPECT_EQ(0, certificate->reads);
    }
}

TEST_F(ModelCacheTest, DataObjectsKeepPublicContentAndDropPrivateContent) {
    std::vector<std::unique_ptr<amw::DataObject>> list;
    auto open = std::make_unique<TestDataObject>(buffer<128>({0x0A}), text<128>("open"),
                                                 text<128>("oid"), text<128>("app"));
    std::vector<std::uint8_t> big(65535, 0x77);
    open->setContent(big.data(), big.size());
    auto secret = std::make_unique<TestDataObject>(buffer<128>({0x0B}), text<128>("secret"),
                                                   text<128>(""), text<128>("app"));
    secret->privateContent = true;
    const std::uint8_t value[] = {1, 2, 3, 4};
    secret->setContent(value, sizeof value);
    list.push_back(std::move(open));
    list.push_back(std::move(secret));

    auto back = roundTrip(DATA_OBJECT, list);
    ASSERT_EQ(2u, back.size());
    auto* restoredSecret = static_cast<TestDataObject*>(back[0].get());
    auto* restoredOpen = static_cast<TestDataObject*>(back[1].get());
    EXPECT_TRUE(restoredSecret->getLabel() == text<128>("secret"));
    EXPECT_FALSE(restoredSecret->isContentLoaded());
    EXPECT_EQ(4u, restoredSecret->getContentSize());
    EXPECT_TRUE(restoredOpen->isContentLoaded());
    EXPECT_EQ(65535u, restoredOpen->getContent().length);
    EXPECT_TRUE(restoredOpen->getObjectId() == text<128>("oid"));
    EXPECT_TRUE(restoredOpen->getApplication() == text<128>("app"));

    std::ifstream file(cache->getCacheFileName(DATA_OBJECT), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::string::npos, bytes.find(std::string("\x01\x02\x03\x04", 4)));
}

TEST_F(ModelCacheTest, FilesAndDirectoriesSurvive) {
    std::vector<std::unique_ptr<amw::File>> files;
    files.push_back(std::make_unique<TestFile>(text<8>("cmapfile"), text<8>("mscp"), 0x0101, 0x0202, 0x0303));
    files.push_back(std::make_unique<TestFile>(text<8>("cardcf"), text<8>(""), 0xFFFF, 0, 1));
    auto backFiles = roundTrip(FILE_KIND, files);
    ASSERT_EQ(2u, backFiles.size());
    EXPECT_TRUE(backFiles[0]->getFileName() == text<8>("cmapfile"));
    EXPECT_TRUE(backFiles[0]->getDirectoryName() == text<8>("mscp"));
    EXPECT_EQ(0x0101, backFiles[0]->getAcRead());
    EXPECT_EQ(0x0303, backFiles[0]->getAccess(2));
    EXPECT_TRUE(backFiles[1]->getDirectoryName() == text<8>(""));

    std::vector<std::unique_ptr<amw::Directory>> dirs;
    auto dir = std::make_unique<TestDirectory>(text<8>("mscp"));
    dir->blockId = 0x0042;
    dirs.push_back(std::move(dir));
    auto backDirs = roundTrip(DIRECTORY, dirs);
    ASSERT_EQ(1u, backDirs.size());
    EXPECT_TRUE(backDirs[0]->getDirectoryName() == text<8>("mscp"));
    EXPECT_EQ(0x0042, static_cast<TestDirectory*>(backDirs[0].get())->blockId);
}

TEST_F(ModelCacheTest, AuthenticationObjectsSurviveInRoleOrder) {
    std::vector<std::unique_ptr<amw::AuthenticationObject>> list;
    list.push_back(std::make_unique<amw::AuthenticationObject>(amw::AMWROLE_USER, amw::AuthenticationObject::PIN, 5, 3, 8, false));
    list.push_back(std::make_unique<amw::AuthenticationObject>(amw::AMWROLE_ADMIN, amw::AuthenticationObject::KEY, 6, 1, 2, true));
    auto back = roundTrip(AO, list);
    ASSERT_EQ(2u, back.size());
    EXPECT_EQ(amw::AMWROLE_ADMIN, back[0]->getRole());
    EXPECT_TRUE(back[0]->isPkcs11So());
    EXPECT_EQ(amw::AuthenticationObject::KEY, back[0]->getType());
    EXPECT_EQ(amw::AMWROLE_USER, back[1]->getRole());
    EXPECT_EQ(3, back[1]->getFirstAttribute());
    EXPECT_EQ(8, back[1]->getSecondAttribute());
}

TEST_F(ModelCacheTest, DirectoryNameLongerThanEightBytesIsAMiss) {
    fs::create_directories(root / "card");
    const unsigned char record[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0,  // header
                                    9, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 0x42, 0x00};
    std::ofstream(cache->getCacheFileName(DIRECTORY), std::ios::binary)
        .write(reinterpret_cast<const char*>(record), sizeof record);
    std::vector<std::unique_ptr<amw::Directory>> back;
    EXPECT_FALSE(cache->deserializeEntities(DIRECTORY, 0, &back, nullptr));
    EXPECT_TRUE(back.empty());
}

}  // namespace
