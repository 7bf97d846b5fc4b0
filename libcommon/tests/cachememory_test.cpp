// CacheMemory against real files in a private temporary directory: the file
// layout, the write order, the digest handed to the delegate and every way a
// file can fail to be trusted (each of which must be a quiet miss).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cachememory/cachememory.h"
#include "platform.h"
#include "sha256.h"
#include "vxexception.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A small record: id LV, a 32-bit value and a flag.
class TestRecord : public SerializableEntity {
public:
    TestRecord() = default;
    TestRecord(std::initializer_list<std::uint8_t> idBytes, std::uint32_t v, bool f)
        : value(v), flag(f) {
        Bytes bytes(idBytes);
        id.assign(bytes.data(), bytes.size());
    }

    void writeStream(std::ostream& stream) const override {
        writeBuffer(stream, id);
        writeUint32(stream, value);
        writeBool(stream, flag);
    }
    void readStream(std::istream& stream) override {
        readBuffer(stream, id);
        value = readUint32(stream);
        flag = readBool(stream);
    }
    std::int32_t compare(const SerializableEntity& other) const override {
        return compareByteStrings(id, dynamic_cast<const TestRecord&>(other).id);
    }

    StaticBuffer<128> id;
    std::uint32_t value = 0;
    bool flag = false;
};

class OtherRecord : public TestRecord {};

class FailingRecord : public TestRecord {
public:
    void writeStream(std::ostream&) const override { throw SerializationException(); }
};

constexpr std::uint32_t RECORD_KIND = 3;
constexpr std::uint32_t OTHER_KIND = 4;

class TestFactory : public SerializeEntityFactory {
public:
    std::unique_ptr<SerializableEntity> createSerializableEntity(std::uint32_t entityId) override {
        ++created;
        if (entityId == RECORD_KIND) {
            return std::make_unique<TestRecord>();
        }
        if (entityId == OTHER_KIND) {
            return std::make_unique<OtherRecord>();
        }
        throw InternalErrorException("unknown entityId [%u]", entityId);
    }
    std::uint32_t getSerializationVersion() override { return version; }

    std::uint32_t version = 0;
    int created = 0;
};

// Publishes digests the way the cached token does, keeping the first five
// bytes only.
class PrefixDelegate : public CacheMemoryIntegrityDelegate {
public:
    void cacheMemoryHash(CacheMemory&, std::uint32_t entityId,
                         const std::uint8_t (&digest)[32]) override {
        published[entityId] = Bytes(digest, digest + 5);
        lastFullDigest = Bytes(digest, digest + 32);
    }
    bool cacheMemoryVerifyHash(CacheMemory&, std::uint32_t entityId,
                               const std::uint8_t (&digest)[32]) override {
        ++verifications;
        auto found = published.find(entityId);
        return found != published.end() && found->second == Bytes(digest, digest + 5);
    }

    std::map<std::uint32_t, Bytes> published;
    Bytes lastFullDigest;
    int verifications = 0;
};

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void appendUint32(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// A record as the format describes it, written out by hand.
Bytes recordBytes(const Bytes& id, std::uint32_t value, bool flag) {
    Bytes out;
    appendUint32(out, static_cast<std::uint32_t>(id.size()));
    out.insert(out.end(), id.begin(), id.end());
    appendUint32(out, value);
    out.push_back(flag ? 1 : 0);
    return out;
}

Bytes header(std::uint32_t version, std::uint32_t freshness, std::uint32_t count) {
    Bytes out;
    appendUint32(out, version);
    appendUint32(out, freshness);
    appendUint32(out, count);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

class CacheMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
            fs::path candidate =
                fs::temp_directory_path() / ("zentrik-cache-" + std::to_string(random()));
            if (fs::create_directory(candidate)) {
                root = candidate;
            }
        }
        ASSERT_FALSE(root.empty());
        cardDir = root / "cache" / "0123456789ABCDEF0123456789ABCDEF";
        cache = std::make_unique<CacheMemory>(&factory, cardDir.string());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root, ignored);
    }

    std::vector<std::unique_ptr<TestRecord>> threeRecords() {
        std::vector<std::unique_ptr<TestRecord>> records;
        records.push_back(std::make_unique<TestRecord>(std::initializer_list<std::uint8_t>{0x01}, 10, true));
        records.push_back(std::make_unique<TestRecord>(std::initializer_list<std::uint8_t>{0x03}, 30, false));
        records.push_back(std::make_unique<TestRecord>(std::initializer_list<std::uint8_t>{0x02}, 20, true));
        return records;
    }

    fs::path fileOf(std::uint32_t entityId) const { return cardDir / std::to_string(entityId); }

    bool readBack(CacheMemory::EntityList& out, std::uint32_t freshness,
                  CacheMemoryIntegrityDelegate* delegate) {
        return cache->deserializeEntities(RECORD_KIND, freshness, &out, delegate);
    }

    fs::path root;
    fs::path cardDir;
    TestFactory factory;
    PrefixDelegate delegate;
    std::unique_ptr<CacheMemory> cache;
};

TEST_F(CacheMemoryTest, FileNameIsTheEntityIdInDecimalInsideTheCachingDirectory) {
    EXPECT_EQ(cardDir.string(), cache->getCachingDir());
    EXPECT_EQ((cardDir / "3").string(), cache->getCacheFileName(3));
    EXPECT_EQ((cardDir / "4294967295").string(), cache->getCacheFileName(4294967295u));
}

TEST_F(CacheMemoryTest, FileHoldsHeaderThenRecordsInDescendingOrder) {
    factory.version = 7;
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 5, threeRecords(), nullptr));

    Bytes expected = concat({header(7, 5, 3), recordBytes({0x03}, 30, false),
                             recordBytes({0x02}, 20, true), recordBytes({0x01}, 10, true)});
    EXPECT_EQ(expected, readFile(fileOf(RECORD_KIND)));
}

TEST_F(CacheMemoryTest, RoundTripRestoresEveryRecord) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 9, threeRecords(), &delegate));

    CacheMemory::EntityList restored;
    ASSERT_TRUE(readBack(restored, 9, &delegate));
    ASSERT_EQ(3u, restored.size());
    const std::uint32_t expectedValues[] = {30, 20, 10};
    const bool expectedFlags[] = {false, true, true};
    const std::uint8_t expectedIds[] = {0x03, 0x02, 0x01};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& record = dynamic_cast<const TestRecord&>(*restored[i]);
        EXPECT_EQ(1u, record.id.length);
        EXPECT_EQ(expectedIds[i], record.id.data[0]);
        EXPECT_EQ(expectedValues[i], record.value);
        EXPECT_EQ(expectedFlags[i], record.flag);
    }
    EXPECT_EQ(1, delegate.verifications);
}

TEST_F(CacheMemoryTest, TypedFormsKeepTheEntityClass) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 1, threeRecords(), &delegate));
    std::vector<std::unique_ptr<TestRecord>> restored;
    ASSERT_TRUE(cache->deserializeEntities(RECORD_KIND, 1, &restored, &delegate));
    ASSERT_EQ(3u, restored.size());
    EXPECT_EQ(0x03, restored[0]->id.data[0]);
}

TEST_F(CacheMemoryTest, EntityOfAnotherClassThanRequestedIsAMiss) {
    ASSERT_TRUE(cache->serializeEntities(OTHER_KIND, 1, threeRecords(), nullptr));
    std::vector<std::unique_ptr<FailingRecord>> restored;
    EXPECT_FALSE(cache->deserializeEntities(OTHER_KIND, 1, &restored, nullptr));
    EXPECT_TRUE(restored.empty());
}

TEST_F(CacheMemoryTest, EmptyListRoundTripsToAnEmptyCollectionAndTrue) {
    std::vector<std::unique_ptr<TestRecord>> none;
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 2, none, &delegate));
    EXPECT_EQ(header(0, 2, 0), readFile(fileOf(RECORD_KIND)));

    CacheMemory::EntityList restored;
    EXPECT_TRUE(readBack(restored, 2, &delegate));
    EXPECT_TRUE(restored.empty());
}

TEST_F(CacheMemoryTest, DelegateReceivesTheDigestOfTheWholeFile) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 4, threeRecords(), &delegate));
    Bytes file = readFile(fileOf(RECORD_KIND));
    std::uint8_t digest[32];
    Sha256::digest(file.data(), file.size(), digest);
    EXPECT_EQ(Bytes(digest, digest + 32), delegate.lastFullDigest);
}

// A writer that died between its temporary file and the rename left that
// file behind: the next write of the folder removes it once it is old
// enough, and leaves a recent one (perhaps a live writer's) and other files.
TEST_F(CacheMemoryTest, WriteRemovesOldTemporaryFilesOfDeadWritersOnly) {
    std::string problem;
    auto directory = platform::PrivateDirectory::open(cardDir.string(), true, 2, problem);
    ASSERT_NE(nullptr, directory) << problem;
    const auto leaveTemporary = [&](const std::string& name, std::chrono::minutes age) {
        std::string temporary;
        std::FILE* file = directory->createTemporary(name, temporary, problem);
        EXPECT_NE(nullptr, file) << problem;
        if (file != nullptr) std::fclose(file);
        fs::last_write_time(cardDir / temporary, fs::file_time_type::clock::now() - age);
        return cardDir / temporary;
    };
    const fs::path old = leaveTemporary("3", std::chrono::minutes(60));
    const fs::path oldOfOtherKind = leaveTemporary("5", std::chrono::minutes(11));
    const fs::path recent = leaveTemporary("3", std::chrono::minutes(2));
    const fs::path foreign = cardDir / "notes.new-0123";
    std::ofstream(foreign) << "not ours";
    fs::last_write_time(foreign, fs::file_time_type::clock::now() - std::chrono::hours(1));

    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 1, threeRecords(), nullptr));
    EXPECT_FALSE(fs::exists(old));
    EXPECT_FALSE(fs::exists(oldOfOtherKind));
    EXPECT_TRUE(fs::exists(recent));
    EXPECT_TRUE(fs::exists(foreign));
}

TEST_F(CacheMemoryTest, FirstSaveCreatesTheDirectoryAndItsParents) {
    ASSERT_FALSE(fs::exists(root / "cache"));
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 1, threeRecords(), nullptr));
    EXPECT_TRUE(fs::is_directory(cardDir));
    EXPECT_TRUE(fs::is_regular_file(fileOf(RECORD_KIND)));
}

TEST_F(CacheMemoryTest, CachingDirectoryWithTrailingSeparatorWorks) {
    CacheMemory withSeparator(&factory,
                              cardDir.string() + static_cast<char>(fs::path::preferred_separator));
    ASSERT_TRUE(withSeparator.serializeEntities(RECORD_KIND, 1, threeRecords(), nullptr));
    EXPECT_TRUE(fs::is_regular_file(fileOf(RECORD_KIND)));
}

TEST_F(CacheMemoryTest, DirectoryThatCannotBeCreatedFailsTheSaveWithoutCrashing) {
    writeFile(root / "plainfile", Bytes{1, 2, 3});
    CacheMemory blocked(&factory, (root / "plainfile" / "card").string());
    EXPECT_FALSE(blocked.serializeEntities(RECORD_KIND, 1, threeRecords(), &delegate));
    EXPECT_TRUE(delegate.published.empty());

    CacheMemory::EntityList restored;
    EXPECT_FALSE(blocked.deserializeEntities(RECORD_KIND, 1, &restored, &delegate));
    EXPECT_TRUE(restored.empty());
}

TEST_F(CacheMemoryTest, EmptyCachingDirectoryFailsTheSave) {
    CacheMemory empty(&factory, "");
    EXPECT_FALSE(empty.serializeEntities(RECORD_KIND, 1, threeRecords(), nullptr));
}

TEST_F(CacheMemoryTest, FileThatCannotBeOpenedFailsTheSave) {
    fs::create_directories(fileOf(RECORD_KIND));  // a directory where the file belongs
    EXPECT_FALSE(cache->serializeEntities(RECORD_KIND, 1, threeRecords(), &delegate));
    EXPECT_TRUE(delegate.published.empty());
}

TEST_F(CacheMemoryTest, FailingRecordDeletesTheFileAndFailsTheSave) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 1, threeRecords(), &delegate));
    delegate.published.clear();

    std::vector<std::unique_ptr<TestRecord>> records = threeRecords();
    records.push_back(std::make_unique<FailingRecord>());
    EXPECT_FALSE(cache->serializeEntities(RECORD_KIND, 2, records, &delegate));
    EXPECT_FALSE(fs::exists(fileOf(RECORD_KIND)));
    EXPECT_TRUE(delegate.published.empty());
}

TEST_F(CacheMemoryTest, NullEntityFailsTheSaveWithoutCrashing) {
    TestRecord record({0x01}, 1, false);
    std::vector<const SerializableEntity*> collection = {&record, nullptr};
    EXPECT_FALSE(cache->serializeEntities(RECORD_KIND, 1, collection, &delegate));
    EXPECT_FALSE(fs::exists(fileOf(RECORD_KIND)));
}

TEST_F(CacheMemoryTest, MissingFileIsAMiss) {
    CacheMemory::EntityList restored;
    EXPECT_FALSE(readBack(restored, 1, &delegate));
    EXPECT_TRUE(restored.empty());
}

TEST_F(CacheMemoryTest, OtherFreshnessIsAMiss) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 4, threeRecords(), &delegate));
    CacheMemory::EntityList restored;
    EXPECT_FALSE(readBack(restored, 5, &delegate));
    EXPECT_TRUE(restored.empty());
    EXPECT_EQ(0, delegate.verifications);
}

TEST_F(CacheMemoryTest, OtherVersionIsAMiss) {
    factory.version = 1;
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 4, threeRecords(), &delegate));
    factory.version = 2;
    CacheMemory::EntityList restored;
    EXPECT_FALSE(readBack(restored, 4, &delegate));
    EXPECT_TRUE(restored.empty());
}

TEST_F(CacheMemoryTest, UnpublishedDigestIsAMiss) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 4, threeRecords(), nullptr));
    CacheMemory::EntityList restored;
    EXPECT_FALSE(readBack(restored, 4, &delegate));
    EXPECT_TRUE(restored.empty());
    EXPECT_EQ(0, factory.created);
}

TEST_F(CacheMemoryTest, ChangingAnyByteOfTheFileIsAMiss) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 4, threeRecords(), &delegate));
    const Bytes original = readFile(fileOf(RECORD_KIND));
    for (std::size_t position = 0; position < original.size(); ++position) {
        Bytes changed = original;
        changed[position] ^= 0x01;
        writeFile(fileOf(RECORD_KIND), changed);
        CacheMemory::EntityList restored;
        EXPECT_FALSE(readBack(restored, 4, &delegate)) << "byte " << position;
        EXPECT_TRUE(restored.empty()) << "byte " << position;
    }
    // The untouched file is still trusted.
    writeFile(fileOf(RECORD_KIND), original);
    CacheMemory::EntityList restored;
    EXPECT_TRUE(readBack(restored, 4, &delegate));
}

TEST_F(CacheMemoryTest, TruncatedFileIsAMissAtEveryLength) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 4, threeRecords(), nullptr));
    const Bytes original = readFile(fileOf(RECORD_KIND));
    for (std::size_t length = 0; length < original.size(); ++length) {
        writeFile(fileOf(RECORD_KIND), Bytes(original.begin(), original.begin() + length));
        for (CacheMemoryIntegrityDelegate* check : {static_cast<CacheMemoryIntegrityDelegate*>(nullptr),
                                                     static_cast<CacheMemoryIntegrityDelegate*>(&delegate)}) {
            CacheMemory::EntityList restored;
            EXPECT_FALSE(readBack(restored, 4, check)) << "length " << length;
            EXPECT_TRUE(restored.empty()) << "length " << length;
        }
    }
}

TEST_F(CacheMemoryTest, BytesAfterTheLastRecordAreAMiss) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 4, threeRecords(), nullptr));
    Bytes file = readFile(fileOf(RECORD_KIND));
    file.push_back(0x00);
    writeFile(fileOf(RECORD_KIND), file);
    CacheMemory::EntityList restored;
    EXPECT_FALSE(readBack(restored, 4, nullptr));
    EXPECT_TRUE(restored.empty());
}

TEST_F(CacheMemoryTest, CountBeyondTheRecordsIsAMiss) {
    const std::uint32_t counts[] = {4, 1000, 0xFFFFFFFFu};
    for (std::uint32_t count : counts) {
        writeFile(fileOf(RECORD_KIND),
                  concat({header(0, 4, count), recordBytes({0x01}, 1, false)}));
        CacheMemory::EntityList restored;
        EXPECT_FALSE(readBack(restored, 4, nullptr)) << "count " << count;
        EXPECT_TRUE(restored.empty());
    }
}

TEST_F(CacheMemoryTest, StoredBufferLengthAboveCapacityIsAMiss) {
    fs::create_directories(cardDir);
    Bytes tooLong(129, 0xAB);
    writeFile(fileOf(RECORD_KIND), concat({header(0, 4, 2), recordBytes({0x01}, 1, false),
                                           recordBytes(tooLong, 2, true)}));
    CacheMemory::EntityList restored;
    EXPECT_FALSE(readBack(restored, 4, nullptr));
    EXPECT_TRUE(restored.empty());

    // 128 bytes, the capacity, is fine.
    writeFile(fileOf(RECORD_KIND), concat({header(0, 4, 1), recordBytes(Bytes(128, 0xAB), 2, true)}));
    EXPECT_TRUE(readBack(restored, 4, nullptr));
    ASSERT_EQ(1u, restored.size());
    EXPECT_EQ(128u, dynamic_cast<const TestRecord&>(*restored[0]).id.length);
}

TEST_F(CacheMemoryTest, HugeStoredBufferLengthIsAMiss) {
    fs::create_directories(cardDir);
    Bytes file = header(0, 4, 1);
    appendUint32(file, 0xFFFFFFFFu);
    file.insert(file.end(), 16, 0x00);
    writeFile(fileOf(RECORD_KIND), file);
    CacheMemory::EntityList restored;
    EXPECT_FALSE(readBack(restored, 4, nullptr));
    EXPECT_TRUE(restored.empty());
}

TEST_F(CacheMemoryTest, FactoryThatRefusesTheKindMakesAMiss) {
    std::vector<std::unique_ptr<TestRecord>> records = threeRecords();
    CacheMemory other(&factory, cardDir.string());
    ASSERT_TRUE(other.serializeEntities(99, 1, records, nullptr));
    CacheMemory::EntityList restored;
    EXPECT_FALSE(other.deserializeEntities(99, 1, &restored, nullptr));
    EXPECT_TRUE(restored.empty());
}

TEST_F(CacheMemoryTest, FileLargerThanAnyCacheFileIsAMiss) {
    fs::create_directories(cardDir);
    Bytes file = header(0, 4, 0);
    file.resize(CacheMemory::MAX_FILE_SIZE + 1, 0);
    writeFile(fileOf(RECORD_KIND), file);
    CacheMemory::EntityList restored;
    EXPECT_FALSE(readBack(restored, 4, nullptr));
    EXPECT_TRUE(restored.empty());
}

TEST_F(CacheMemoryTest, NullCollectionIsAnArgumentError) {
    try {
        cache->deserializeEntities(RECORD_KIND, 1, static_cast<CacheMemory::EntityList*>(nullptr),
                                   nullptr);
        FAIL() << "no exception";
    } catch (const InvalidArgumentException& e) {
        EXPECT_EQ(std::size_t{0}, std::string(e.what()).rfind("Null pointer exception <collection> [", 0))
            << e.what();
    }
}

TEST_F(CacheMemoryTest, NonEmptyCollectionIsAnInternalError) {
    CacheMemory::EntityList collection;
    collection.push_back(std::make_unique<TestRecord>());
    try {
        cache->deserializeEntities(RECORD_KIND, 1, &collection, nullptr);
        FAIL() << "no exception";
    } catch (const InternalErrorException& e) {
        EXPECT_STREQ("INTERNAL ERROR CACHE MEMORY: getCachedEntity() collection is not empty",
                     e.what());
    }
    EXPECT_EQ(1u, collection.size());
}

TEST_F(CacheMemoryTest, RewriteReplacesAnOlderFile) {
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 1, threeRecords(), &delegate));
    std::vector<std::unique_ptr<TestRecord>> one;
    one.push_back(std::make_unique<TestRecord>(std::initializer_list<std::uint8_t>{0x07}, 70, false));
    ASSERT_TRUE(cache->serializeEntities(RECORD_KIND, 2, one, &delegate));
    EXPECT_EQ(concat({header(0, 2, 1), recordBytes({0x07}, 70, false)}), readFile(fileOf(RECORD_KIND)));
    CacheMemory::EntityList restored;
    EXPECT_TRUE(readBack(restored, 2, &delegate));
    EXPECT_EQ(1u, restored.size());
}

}  // namespace
