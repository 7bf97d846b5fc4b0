// The trace lines that tell why a cache file was not used, checked in the
// trace file itself. main() below turns the trace log on for this process
// before anything logs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "amw/dataobject.h"
#include "cachememory/cachememory.h"
#include "vxexception.h"

namespace {

namespace fs = std::filesystem;

fs::path& workDirectory() {
    static fs::path directory;
    return directory;
}

fs::path logDirectory() { return workDirectory() / "log"; }

std::string logText() {
    std::string all;
    for (const auto& entry : fs::directory_iterator(logDirectory())) {
        std::ifstream in(entry.path(), std::ios::binary);
        all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return all;
}

class Record : public SerializableEntity {
public:
    void writeStream(std::ostream& stream) const override { writeBuffer(stream, id); }
    void readStream(std::istream& stream) override { readBuffer(stream, id); }
    std::int32_t compare(const SerializableEntity& other) const override {
        return compareByteStrings(id, dynamic_cast<const Record&>(other).id);
    }
    StaticBuffer<128> id;
};

class SecretObject : public amw::DataObject {
public:
    void commitCreationOrMetadataChanges() override {}
    void commitContentChanges() override {}
    bool isPrivateContent() const override { return true; }
    void readContent(Content&) override {}
};

class Factory : public SerializeEntityFactory {
public:
    std::unique_ptr<SerializableEntity> createSerializableEntity(std::uint32_t) override {
        return std::make_unique<Record>();
    }
    std::uint32_t getSerializationVersion() override { return version; }
    std::uint32_t version = 0;
};

class RefusingDelegate : public CacheMemoryIntegrityDelegate {
public:
    void cacheMemoryHash(CacheMemory&, std::uint32_t, const std::uint8_t (&)[32]) override {}
    bool cacheMemoryVerifyHash(CacheMemory&, std::uint32_t, const std::uint8_t (&)[32]) override {
        return false;
    }
};

class CacheLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = workDirectory() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        cache = std::make_unique<CacheMemory>(&factory, dir.string());
        std::vector<std::unique_ptr<Record>> records(1);
        records[0] = std::make_unique<Record>();
        ASSERT_TRUE(cache->serializeEntities(3, 4, records, nullptr));
    }
    bool read(std::uint32_t freshness, CacheMemoryIntegrityDelegate* delegate = nullptr) {
        CacheMemory::EntityList list;
        return cache->deserializeEntities(3, freshness, &list, delegate);
    }
    void expectLogged(const std::string& line) {
        EXPECT_NE(std::string::npos, logText().find(line)) << "missing: " << line;
    }

    fs::path dir;
    Factory factory;
    std::unique_ptr<CacheMemory> cache;
};

TEST_F(CacheLogTest, StaleFreshnessLogsBothCounters) {
    EXPECT_FALSE(read(5));
    expectLogged("CACHE MEMORY: miss [requested_freshness=5, cache_freshness=4]");
}

TEST_F(CacheLogTest, OtherVersionLogsBothVersions) {
    factory.version = 3;
    EXPECT_FALSE(read(4));
    expectLogged("CACHE MEMORY: miss - bad version [requested_version=3, cache_version=0]");
}

TEST_F(CacheLogTest, MissingFileLogsItsName) {
    fs::remove(dir / "3");
    EXPECT_FALSE(read(4));
    expectLogged("CACHE MEMORY: Failed to open cache file " + (dir / "3").string());
}

TEST_F(CacheLogTest, ShortHeaderLogsTheFile) {
    std::ofstream(dir / "3", std::ios::binary | std::ios::trunc) << "short";
    EXPECT_FALSE(read(4));
    expectLogged("CACHE MEMORY: Failed to read header from cache file " + (dir / "3").string());
}

TEST_F(CacheLogTest, RefusedDigestLogsBrokenIntegrity) {
    RefusingDelegate refusing;
    EXPECT_FALSE(read(4, &refusing));
    expectLogged("CACHE MEMORY: Integrity of cache broken in file " + (dir / "3").string());
}

TEST_F(CacheLogTest, OversizedBufferLogsSizeAndCapacity) {
    const unsigned char bytes[] = {0, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0, 129, 0, 0, 0};
    std::ofstream(dir / "3", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    EXPECT_FALSE(read(4));
    expectLogged("readStream(): invalid size of static buffer (size:129, max_size:128)");
    expectLogged("CACHE MEMORY: error occurs during deserialization of entities from cache file");
}

TEST_F(CacheLogTest, UncreatableDirectoryLogsIt) {
    std::ofstream(workDirectory() / "blocker") << "x";
    CacheMemory blocked(&factory, (workDirectory() / "blocker" / "card").string());
    std::vector<std::unique_ptr<Record>> none;
    EXPECT_FALSE(blocked.serializeEntities(3, 1, none, nullptr));
    expectLogged("CACHE MEMORY: failed to create dir " + (workDirectory() / "blocker" / "card").string());
}

TEST_F(CacheLogTest, EntryLogsEntityIdAndFreshness) {
    EXPECT_TRUE(read(4));
    expectLogged("entityId = 3 [0x00000003]");
    expectLogged("freshness = 4 [0x00000004]");
    expectLogged("Entering CacheMemory::deserializeEntities()");
}

TEST_F(CacheLogTest, PrivateContentReachesNeitherTheLogNorTheFile) {
    const std::string secret = "S3CR3T-CONTENT-9f81";
    SecretObject object;
    object.setContent(reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size());
    CacheMemory store(&factory, (dir / "objects").string());
    std::vector<const SerializableEntity*> list = {&object};
    ASSERT_TRUE(store.serializeEntities(6, 1, list, nullptr));
    std::ifstream in(store.getCacheFileName(6), std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::string::npos, file.find(secret));
    EXPECT_EQ(std::string::npos, logText().find(secret));
}

}  // namespace

int main(int argc, char** argv) {
    std::random_device random;
    fs::path root = fs::temp_directory_path() / ("zentrik-cachelog-" + std::to_string(random()));
    fs::create_directories(root / "log");
    workDirectory() = root;
    {
        std::ofstream config(root / "zentrik.txt");
        config << "loglevel = 1\nlogpath = " << (root / "log").string() << "\ncache = "
               << (root / "cache").string() << "\n";
    }
    // Before the first log line: the logger reads the configuration once.
    ::setenv("ZENTRIK_CONF", (root / "zentrik.txt").string().c_str(), 1);
    ::setenv("HOME", root.string().c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return result;
}
