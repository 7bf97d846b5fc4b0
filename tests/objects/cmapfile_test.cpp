// The container map and card cache file on the simulated card: what each
// writer leaves in the two files, and what is refused before any write.
#include "internal/cmapfile.h"

#include "mapwriter.h"
#include "objectstestsupport.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

using namespace objectstest;
namespace cm = cmapfile;

constexpr std::uint32_t SIGNATURE = amw::KeyPair::SIGNATURE_KEY;
constexpr std::uint32_t EXCHANGE = amw::KeyPair::KEY_EXCHANGE_KEY;

// One 86-byte record: the name as UTF-16LE, flags, reserved byte, sizes.
Bytes record(const std::string& name, std::uint8_t flags, std::uint16_t signatureBits,
             std::uint16_t exchangeBits) {
    Bytes bytes(cm::RECORD_SIZE, 0);
    for (std::size_t i = 0; i < name.size(); ++i) bytes[2 * i] = static_cast<std::uint8_t>(name[i]);
    bytes[80] = flags;
    bytes[82] = static_cast<std::uint8_t>(signatureBits);
    bytes[83] = static_cast<std::uint8_t>(signatureBits >> 8);
    bytes[84] = static_cast<std::uint8_t>(exchangeBits);
    bytes[85] = static_cast<std::uint8_t>(exchangeBits >> 8);
    return bytes;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const std::string ABC_NAME = "BA7816BF8F01CFEA4141";
const std::string DAMAGED_CARDCF =
    "INTERNAL ERROR prepareContainerInCmapfile(): cardcf file damaged (has less than 6 bytes)";

using ContainerMap = CardFixture;

TEST_F(ContainerMap, AddingToAnEmptyMapAppendsRecordZeroAndRaisesBothFreshnessFields) {
    ASSERT_EQ(Bytes(), fileOnCard(CMAPFILE_BLOCK));
    auto call = beginCall();
    EXPECT_EQ(0, addNewPair(*call, "abc"));

    EXPECT_EQ(record(ABC_NAME, cm::FLAG_VALID, 1024, 0), fileOnCard(CMAPFILE_BLOCK));
    EXPECT_EQ(86u, fileOnCard(CMAPFILE_BLOCK).size());
    expectRaisedByWrites(1, Bytes(6, 0), fileOnCard(CARDCF_BLOCK));
    EXPECT_EQ(1, call->getFreshness().counter(amw::CachedToken::CACHED_OBJECT_FILE));
}

TEST_F(ContainerMap, NameIsTheHexOfTheFirstTenDigestBytesAndMovesOnWhileTaken) {
    EXPECT_EQ(std::u16string(ABC_NAME.begin(), ABC_NAME.end()),
              cm::generateUniqueContainerName(nullptr, 0, buf<128>("abc")));
    // Taken: the next candidate comes from the digest of the digest.
    const Bytes map = joined({record("OTHER", 1, 0, 0), record(ABC_NAME, 0, 0, 0)});
    const std::string next = "4F8B42C22DD3729B519B";
    EXPECT_EQ(std::u16string(next.begin(), next.end()),
              cm::generateUniqueContainerName(map.data(), map.size(), buf<128>("abc")));
}

TEST_F(ContainerMap, RecordNameMatchesOnlyTheWholeZeroTerminatedName) {
    const Bytes abc = record("ABC", 1, 0, 0);
    struct Case {
        std::u16string name;
        bool matches;
    };
    const Case cases[] = {
        {u"ABC", true}, {u"AB", false}, {u"ABCD", false}, {u"abc", false}, {u"", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.matches, cm::isContainerName(abc.data(), c.name));
    }
    const Bytes full = record(std::string(39, 'Z'), 1, 0, 0);
    EXPECT_TRUE(cm::isContainerName(full.data(), std::u16string(39, u'Z')));
    EXPECT_EQ(
        0u,
        messageOf<InvalidArgumentException>([&] {
            cm::isContainerName(full.data(), std::u16string(40, u'Z'));
        }).find("Invalid argument exception <name> [cmapfile::isContainerName() cmaprecords.cpp:"));
}

TEST_F(ContainerMap, FreshnessFieldsWrapAndLongerCardCacheContentIsKept) {
    const Bytes before = {0x07, 0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xBB};
    setFileOnCard(CARDCF_BLOCK, before);
    auto call = beginCall();
    addNewPair(*call, "k");
    // Any step of 2 or more from FFFF wraps both fields below 0x0100.
    const Bytes after = fileOnCard(CARDCF_BLOCK);
    expectRaisedByWrites(1, before, after);
    EXPECT_EQ((Bytes{0x07, 0x09, 0xAA, 0xBB}), (Bytes{after[0], after[1], after[6], after[7]}));
    EXPECT_LE(after[3], 1);
}

TEST_F(ContainerMap, AddingRecordsSizesAndDeletingOneHalfKeepsNameAndTheOtherSize) {
    auto call = beginCall();
    const std::uint8_t index = addNewPair(*call, "abc");
    EXPECT_EQ(record(ABC_NAME, 1, 1024, 0), fileOnCard(CMAPFILE_BLOCK));
    // The pair's other key goes into the same record. Any key kind other
    // than the signature one counts as the exchange key.
    cm::addContainerInCmapfile(*call, index, buf<128>("abc"), 7, 2048);
    EXPECT_EQ(record(ABC_NAME, 1, 1024, 2048), fileOnCard(CMAPFILE_BLOCK));

    cm::deleteContainerInCmapfile(*call, index, EXCHANGE);
    EXPECT_EQ(record(ABC_NAME, 1, 1024, 0), fileOnCard(CMAPFILE_BLOCK));
    cm::deleteContainerInCmapfile(*call, index, SIGNATURE);
    EXPECT_EQ(Bytes(86, 0), fileOnCard(CMAPFILE_BLOCK));
    // Four writers, each raising both fields once.
    expectRaisedByWrites(4, Bytes(6, 0), fileOnCard(CARDCF_BLOCK));
}

TEST_F(ContainerMap, DeletingTheLastSizeZeroesTheWholeRecordWithItsDefaultMark) {
    setFileOnCard(CMAPFILE_BLOCK, joined({record("A", 1, 0, 0), record("B", 3, 0, 1024)}));
    auto call = beginCall();
    cm::deleteContainerInCmapfile(*call, 1, EXCHANGE);
    EXPECT_EQ(joined({record("A", 1, 0, 0), Bytes(86, 0)}), fileOnCard(CMAPFILE_BLOCK));
}

TEST_F(ContainerMap, FreeRecordClaimedByACertificateIsSkipped) {
    setFileOnCard(CMAPFILE_BLOCK, joined({record("A", 1, 0, 0), Bytes(86, 0), Bytes(86, 0)}));
    {
        auto setup = beginCall();
        addCertificate(*setup, "cert", 1);
    }
    auto call = beginCall();
    EXPECT_EQ(2, addNewPair(*call, "abc"));
    EXPECT_EQ(joined({record("A", 1, 0, 0), Bytes(86, 0), record(ABC_NAME, 1, 1024, 0)}),
              fileOnCard(CMAPFILE_BLOCK));
}

// Certificates without a key claim the index past the end of the map: the
// record appended first may be taken, so records are appended until one is
// free.
TEST_F(ContainerMap, AppendsPastRecordsClaimedByKeylessCertificates) {
    setFileOnCard(CMAPFILE_BLOCK, record("A", 1, 0, 0));
    {
        auto setup = beginCall();
        addCertificate(*setup, "cert", 1);
    }
    auto call = beginCall();
    EXPECT_EQ(2, addNewPair(*call, "abc"));
    EXPECT_EQ(joined({record("A", 1, 0, 0), Bytes(86, 0), record(ABC_NAME, 1, 1024, 0)}),
              fileOnCard(CMAPFILE_BLOCK));
}

TEST_F(ContainerMap, FindingAFreeRecordWalksWholeRecordsOnly) {
    amw::X509CertificateList none;
    const Bytes twoUsed = joined({record("A", 1, 0, 0), record("B", 2, 0, 0)});
    EXPECT_FALSE(cm::findAvaliableRecordInCmapfile(none, twoUsed.data(), twoUsed.size()));
    // 85 bytes of a third record: not a record.
    Bytes partial = twoUsed;
    partial.resize(twoUsed.size() + 85, 0);
    EXPECT_FALSE(cm::findAvaliableRecordInCmapfile(none, partial.data(), partial.size()));
    partial.push_back(0);
    EXPECT_EQ(std::optional<std::uint8_t>(2),
              cm::findAvaliableRecordInCmapfile(none, partial.data(), partial.size()));
}

TEST_F(ContainerMap, EveryAddressableRecordTakenIsRefusedWithoutWriting) {
    Bytes full;
    for (int i = 0; i < 256; ++i) {
        const Bytes r = record("R" + std::to_string(i), 1, 1024, 0);
        full.insert(full.end(), r.begin(), r.end());
    }
    setFileOnCard(CMAPFILE_BLOCK, full);
    const CardSnapshot before = snapshot();
    auto call = beginCall();
    EXPECT_EQ("INTERNAL ERROR cannot update cmapfile, no empty container record found",
              messageOf<InternalErrorException>(
                  [&] { addNewPair(*call, "abc"); }));
    EXPECT_EQ(before, snapshot());
}

// A card cache file cut short holds no map data, only counters: every writer
// rebuilds it (see the shared-card tests); raising its fields alone still
// refuses it.
TEST_F(ContainerMap, RaisingTheFieldsOfAShortCardCacheFileIsRefused) {
    setFileOnCard(CARDCF_BLOCK, {1, 2, 3, 4, 5});
    auto call = beginCall();
    const cm::Files files = cm::loadCmapfileAndCardcf(*call);
    EXPECT_EQ(DAMAGED_CARDCF, messageOf<InternalErrorException>([&] { cm::increaseFileAndContainerFreshness(*files.cardcf); }));
    for (std::uint32_t keySpec : {SIGNATURE, EXCHANGE}) {
        setFileOnCard(CMAPFILE_BLOCK, record("A", 1, 1024, 1024));
        setFileOnCard(CARDCF_BLOCK, {1, 2, 3, 4, 5});
        auto writer = beginCall();
        cm::deleteContainerInCmapfile(*writer, 0, keySpec);
        EXPECT_EQ(6u, fileOnCard(CARDCF_BLOCK).size());
    }
}

TEST_F(ContainerMap, IndexBeyondTheMapIsRefusedWithoutWriting) {
    setFileOnCard(CMAPFILE_BLOCK, record("A", 1, 1024, 0));
    const CardSnapshot before = snapshot();
    auto call = beginCall();
    const std::string expected =
        "INTERNAL ERROR commitContainerInCmapfile(): cmapfile is not big enought to contain a "
        "record for container with index 1";
    EXPECT_EQ(expected, messageOf<InternalErrorException>(
                            [&] { cm::deleteContainerInCmapfile(*call, 1, EXCHANGE); }));
    EXPECT_EQ(before, snapshot());
}

TEST_F(ContainerMap, DefaultMarkMovesToTheChosenRecordAndIsFoundAgain) {
    setFileOnCard(CMAPFILE_BLOCK, joined({record("A", 3, 1024, 0), record("B", 1, 0, 2048),
                                          record("C", 1, 1024, 0)}));
    auto call = beginCall();
    EXPECT_EQ(0, cm::getDefaultCertificateContainerIndex(*call));
    cm::setDefaultCertificate(*call, 1);
    EXPECT_EQ(joined({record("A", 1, 1024, 0), record("B", 3, 0, 2048), record("C", 1, 1024, 0)}),
              fileOnCard(CMAPFILE_BLOCK));
    EXPECT_EQ(1, cm::getDefaultCertificateContainerIndex(*call));

    // Only a valid record can take the mark: an index past the records (a
    // certificate without a key) or a free record is refused, and the mark
    // stays where it was.
    setFileOnCard(CMAPFILE_BLOCK, joined({record("A", 1, 1024, 0), record("B", 3, 0, 2048), record("", 0, 0, 0)}));
    auto again = beginCall();
    for (std::uint8_t index : {2, 3, 9}) {
        EXPECT_THROW(cm::setDefaultCertificate(*again, index), InternalErrorException) << int(index);
    }
    EXPECT_EQ(joined({record("A", 1, 1024, 0), record("B", 3, 0, 2048), record("", 0, 0, 0)}),
              fileOnCard(CMAPFILE_BLOCK));
    EXPECT_EQ(1, cm::getDefaultCertificateContainerIndex(*again));
}

TEST_F(ContainerMap, ReadingTheDefaultWritesNothing) {
    setFileOnCard(CMAPFILE_BLOCK, record("A", 1, 1024, 0));
    const CardSnapshot before = snapshot();
    auto call = beginCall();
    EXPECT_EQ("Default certificate not found.", messageOf<DefaultCertificateException>([&] {
                  cm::getDefaultCertificateContainerIndex(*call);
              }));
    EXPECT_EQ(before, snapshot());
}

TEST_F(ContainerMap, MissingMapFileIsReported) {
    cardsim::CardState state = engine->state();
    std::erase_if(state.objects,
                  [](const cardsim::CardObject& o) { return o.blockId == CMAPFILE_BLOCK; });
    startCard(state);
    auto call = beginCall();
    EXPECT_EQ("INTERNAL ERROR file \"mscp/cmapfile\" not found on the card",
              messageOf<InternalErrorException>([&] { cm::loadCmapfileAndCardcf(*call); }));
}

TEST_F(ContainerMap, AnotherCallWithCacheFilesSeesTheNewMap) {
    {
        auto first = beginCall(true);
        first->getFiles();
        first->refreshCache();
    }
    {
        auto writer = beginCall(true);
        addNewPair(*writer, "abc");
        writer->refreshCache();
    }
    auto reader = beginCall(true);
    const cm::Files files = cm::loadCmapfileAndCardcf(*reader);
    EXPECT_EQ(record(ABC_NAME, 1, 1024, 0), bytesOf(files.cmapfile->getContent()));
    EXPECT_EQ(fileOnCard(CARDCF_BLOCK), bytesOf(files.cardcf->getContent()));
    expectRaisedByWrites(1, Bytes(6, 0), fileOnCard(CARDCF_BLOCK));
}

}  // namespace
