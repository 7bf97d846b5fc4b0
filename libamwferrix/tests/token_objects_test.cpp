// The card token's object listings, header parsers, metadata commits and
// content handling, byte for byte against a scripted card.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "amw/exceptions.h"
#include "amwferrix/cardfreespace.h"
#include "amwferrix/dataobject.h"
#include "amwferrix/directory.h"
#include "amwferrix/file.h"
#include "amwferrix/keypair.h"
#include "amwferrix/token.h"
#include "amwferrix/x509certificate.h"
#include "tokentestsupport.h"

namespace {

using namespace tokentest;
using apdutest::catchAs;
using apdutest::sequence;
using ctl::ScriptedConnection;

std::string text(const StaticBuffer<128>& buffer) {
    return std::string(reinterpret_cast<const char*>(buffer.data), buffer.length);
}
Bytes bytesOf(const unsigned char* data, std::size_t length) { return Bytes(data, data + length); }

// --- Data objects -------------------------------------------------------------

TEST(ListDataObjects, ReadsHeaderAndFourMetadataItemsOfEveryObjectInChainOrder) {
    ScriptedConnection card;
    const Bytes meta1 = concat({item(hex("01 02")), item("label"), item("oid"), item("app")});
    const Bytes meta2 = concat({item(hex("09")), item("b"), item(""), item("x")});
    expectHeads(card, 0x0005, 0x8000, 0x8000, 0x8000, 0x8000);
    expectHeader(card, 0x0005, header(17, 0x0007, meta1.size(), 300, 0x0202));
    expectReadData(card, meta1);
    expectHeader(card, 0x0007, header(17, 0x8000, meta2.size(), 0, 0x0101));
    expectReadData(card, meta2);

    amwferrix::Token token(card);
    amw::DataObjectList list;
    token.listDataObjects(list);

    ASSERT_EQ(2u, list.size());
    auto& first = dynamic_cast<amwferrix::DataObject&>(*list[0]);
    EXPECT_EQ(hex("01 02"), bytesOf(first.getPkcs11Id().data, first.getPkcs11Id().length));
    EXPECT_EQ("label", text(first.getLabel()));
    EXPECT_EQ("oid", text(first.getObjectId()));
    EXPECT_EQ("app", text(first.getApplication()));
    EXPECT_EQ(300u, first.getContentSize());
    EXPECT_EQ(300u, first.getCardContentSize());
    EXPECT_EQ(0x0202, first.getAcReadContent());
    EXPECT_EQ(0x0005, first.getBlockId());
    EXPECT_TRUE(first.isPrivateContent());
    EXPECT_FALSE(first.isContentLoaded());
    auto& second = dynamic_cast<amwferrix::DataObject&>(*list[1]);
    EXPECT_EQ(0x0007, second.getBlockId());
    EXPECT_EQ(0u, second.getObjectId().length);
    EXPECT_FALSE(second.isPrivateContent());
}

TEST(ListDataObjects, EmptyChainSendsOnlyTheHeadsCommand) {
    ScriptedConnection card;
    expectHeads(card, 0x8000, 0x0001, 0x0002, 0x0003, 0x0004);
    amwferrix::Token token(card);
    amw::DataObjectList list;
    token.listDataObjects(list);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(1u, card.calls().size());
}

TEST(ListDataObjects, MetadataSizeAbove1024IsRejectedBeforeAnyDataIsRead) {
    ScriptedConnection card;
    expectHeads(card, 0x0005, 0x8000, 0x8000, 0x8000, 0x8000);
    expectHeader(card, 0x0005, header(17, 0x8000, 1025));
    amwferrix::Token token(card);
    amw::DataObjectList list;
    auto e = catchAs<InvalidArgumentException>([&] { token.listDataObjects(list); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos, std::string(e->what()).find("header.metaDataSize"));
    EXPECT_NE(std::string::npos, std::string(e->what()).find("[1025] not inside <0,1024>"));
    EXPECT_NE(std::string::npos, std::string(e->what()).find("dataobject.cpp"));
    EXPECT_TRUE(list.empty());
}

struct BadMetadataCase {
    const char* name;
    Bytes metadata;
    const char* message;
};

class DataObjectBadMetadata : public ::testing::TestWithParam<BadMetadataCase> {};

TEST_P(DataObjectBadMetadata, ThrowsLvParserExceptionAndListsNothing) {
    const BadMetadataCase& c = GetParam();
    ScriptedConnection card;
    expectHeads(card, 0x0005, 0x8000, 0x8000, 0x8000, 0x8000);
    expectHeader(card, 0x0005, header(17, 0x8000, c.metadata.size()));
    expectReadData(card, c.metadata);
    amwferrix::Token token(card);
    amw::DataObjectList list;
    auto e = catchAs<LvParserException>([&] { token.listDataObjects(list); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos, std::string(e->what()).find(c.message)) << e->what();
    EXPECT_TRUE(list.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Items, DataObjectBadMetadata,
    ::testing::Values(
        BadMetadataCase{"AbsentMandatoryId", concat({hex("FF"), item("l"), item("o"), item("a")}),
                        "mandatory value not present"},
        BadMetadataCase{"AbsentApplication", concat({item("i"), item("l"), item("o"), hex("FF")}),
                        "mandatory value not present"},
        BadMetadataCase{"ItemRunsPastTheBlock", concat({item("i"), hex("10 41 42")}), ""},
        BadMetadataCase{"MissingItems", item("only-id"), ""},
        BadMetadataCase{"ItemLongerThan128", concat({item(Bytes(129, 0x41)), item("l"),
                                                     item("o"), item("a")}),
                        ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ListDataObjects, ShortHeaderFromCardIsAResponseLengthErrorNotAnOverread) {
    ScriptedConnection card;
    expectHeads(card, 0x0005, 0x8000, 0x8000, 0x8000, 0x8000);
    card.expectTransmit(hex("80 18 00 05 11"), Bytes(10, 0), 0x9000);
    amwferrix::Token token(card);
    amw::DataObjectList list;
    EXPECT_THROW(token.listDataObjects(list), InternalErrorException);
    EXPECT_TRUE(list.empty());
}

TEST(ListDataObjects, ChainThatLoopsBackEndsInAnError) {
    ScriptedConnection card;
    const Bytes meta = concat({item("i"), item("l"), item("o"), item("a")});
    expectHeads(card, 0x0005, 0x8000, 0x8000, 0x8000, 0x8000);
    expectHeader(card, 0x0005, header(17, 0x0006, meta.size()));
    expectReadData(card, meta);
    expectHeader(card, 0x0006, header(17, 0x0005, meta.size()));
    expectReadData(card, meta);
    amwferrix::Token token(card);
    amw::DataObjectList list;
    auto e = catchAs<InternalErrorException>([&] { token.listDataObjects(list); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos, std::string(e->what()).find("loops back to block id 0005"));
}

TEST(DataObjectCommit, NewObjectOpensMetadataWritesItAndLearnsTheCardsReadCondition) {
    ScriptedConnection card;
    card.expectTransmit(hex("80 3E 00 00 08 01 01 FF FF 02 02 02 02"), {}, 0x9000);
    const Bytes meta = concat({item(hex("AA")), item("lab"), item("o"), item("app")});
    card.expectTransmit(command("80 3C 00 00", word(meta.size())), {}, 0x9000);
    expectWriteData(card, meta);
    expectCommitMetadata(card, 0x0012);
    expectHeader(card, 0x0012, header(17, 0x8000, meta.size(), 0, 0x0202));

    amwferrix::Token token(card);
    auto created = token.createDataObject(StaticBuffer<128>("lab", 3), StaticBuffer<128>("\xAA", 1),
                                          StaticBuffer<128>("o", 1), StaticBuffer<128>("app", 3),
                                          0x0101, 0xFFFF, 0x0202, 0x0202);
    auto& dataObject = dynamic_cast<amwferrix::DataObject&>(*created);
    EXPECT_EQ(0x8000, dataObject.getBlockId());
    EXPECT_EQ(0xFFFF, dataObject.getAcReadContent());
    dataObject.commitCreationOrMetadataChanges();
    EXPECT_EQ(0x0012, dataObject.getBlockId());
    EXPECT_EQ(0x0202, dataObject.getAcReadContent());
    card.verify();
}

TEST(DataObjectCommit, StoredObjectRewritesItsMetadataInPlace) {
    ScriptedConnection card;
    amwferrix::DataObject dataObject(card, StaticBuffer<128>("i", 1), StaticBuffer<128>("l", 1),
                                     StaticBuffer<128>(), StaticBuffer<128>(), 0x0101);
    dataObject.setBlockId(0x0009);
    const Bytes meta = concat({item("i"), item("l"), item(""), item("")});
    card.expectTransmit(command("80 16 00 09", word(meta.size())), {}, 0x9000);
    expectWriteData(card, meta);
    expectCommitMetadata(card, 0x0009);
    dataObject.commitCreationOrMetadataChanges();
    EXPECT_EQ(0x0009, dataObject.getBlockId());
    card.verify();
}

TEST(DataObjectCommit, FailedCommitKeepsTheOldBlockId) {
    ScriptedConnection card;
    amwferrix::DataObject dataObject(card, StaticBuffer<128>("i", 1), StaticBuffer<128>(),
                                     StaticBuffer<128>(), StaticBuffer<128>(), 0x0101);
    const Bytes meta = concat({item("i"), item(""), item(""), item("")});
    card.expectTransmit(command("80 3C 00 00", word(meta.size())), {}, 0x9000);
    expectWriteData(card, meta);
    card.expectTransmit(hex("80 3A 00 00 02"), {}, 0x6F03);
    EXPECT_THROW(dataObject.commitCreationOrMetadataChanges(), amw::CardOutOfMemoryException);
    EXPECT_EQ(0x8000, dataObject.getBlockId());
}

// --- Content --------------------------------------------------------------------

TEST(ContentCommit, GrowingFrom300To700BytesFitsWithOneFreeBlockPlusTheReleasedOnes) {
    ScriptedConnection card;
    amwferrix::DataObject dataObject(card, StaticBuffer<128>("i", 1), StaticBuffer<128>(),
                                     StaticBuffer<128>(), StaticBuffer<128>(), 0x0101);
    dataObject.setBlockId(0x0020);
    dataObject.setCardContentSize(300);
    const Bytes content = sequence(700);
    dataObject.setContent(content.data(), content.size());

    expectMemoryInfo(card, 256, 512, 1);
    card.expect("80 14 00 20 00", "90 00");
    card.expect("80 1C 00 20 02 02 BC", "90 00");
    card.expectTransmit(concat({hex("80 12 00 00 FF"), Bytes(content.begin(), content.begin() + 255)}), {}, 0x9000);
    card.expectTransmit(concat({hex("80 12 00 00 FF"), Bytes(content.begin() + 255, content.begin() + 510)}), {}, 0x9000);
    card.expectTransmit(concat({hex("80 12 00 00 BE"), Bytes(content.begin() + 510, content.end())}), {}, 0x9000);
    card.expect("80 38 00 00 00", "90 00");
    dataObject.commitContentChanges();
    EXPECT_EQ(700u, dataObject.getCardContentSize());
    card.verify();
}

TEST(ContentCommit, GrowingFrom300To800BytesIsCardOutOfMemoryBeforeTheOldContentGoes) {
    ScriptedConnection card;
    amwferrix::X509Certificate certificate(card);
    certificate.setBlockId(0x0020);
    certificate.setCardContentSize(300);
    const Bytes content = sequence(800);
    certificate.setContent(content.data(), content.size());
    expectMemoryInfo(card, 256, 512, 1);
    auto e = catchAs<amw::CardOutOfMemoryException>([&] { certificate.commitContentChanges(); });
    ASSERT_TRUE(e);
    EXPECT_STREQ("CARD OUT OF MEMORY", e->what());
    EXPECT_EQ(300u, certificate.getCardContentSize());
    EXPECT_EQ(1u, card.calls().size());
}

TEST(ContentCommit, ShrinkingNeverAsksForMemoryInformation) {
    ScriptedConnection card;
    amwferrix::File file(card, StaticBuffer<8>("f", 1), StaticBuffer<8>("d", 1), 0x0101, 0x0202,
                         0x0202);
    file.setBlockId(0x0030);
    file.setCardContentSize(600);
    const Bytes content = sequence(3);
    file.setContent(content.data(), content.size());
    card.expect("80 14 00 30 00", "90 00");
    card.expect("80 1C 00 30 02 00 03", "90 00");
    expectWriteData(card, content);
    card.expect("80 38 00 00 00", "90 00");
    file.commitContentChanges();
    EXPECT_EQ(3u, file.getCardContentSize());
    card.verify();
}

TEST(ContentCommit, EmptyContentOnlyRemovesTheOldBlockAndAcceptsAnObjectWithoutOne) {
    ScriptedConnection card;
    amwferrix::DataObject dataObject(card);
    dataObject.setBlockId(0x0031);
    dataObject.setCardContentSize(10);
    dataObject.setContent(nullptr, 0);
    card.expect("80 14 00 31 00", "6A 83");
    dataObject.commitContentChanges();
    EXPECT_EQ(0u, dataObject.getCardContentSize());
    card.verify();
}

TEST(ContentCommit, WriteFailureAfterRemovalLeavesNoContentOnTheCard) {
    ScriptedConnection card;
    amwferrix::DataObject dataObject(card);
    dataObject.setBlockId(0x0031);
    dataObject.setCardContentSize(10);
    const Bytes content = sequence(5);
    dataObject.setContent(content.data(), content.size());
    card.expect("80 14 00 31 00", "90 00");
    card.expect("80 1C 00 31 02 00 05", "6F 03");
    EXPECT_THROW(dataObject.commitContentChanges(), amw::CardOutOfMemoryException);
    EXPECT_EQ(0u, dataObject.getCardContentSize());
}

TEST(ReadContent, ReadsTheSizeTheCardReportsAndLeavesTheBufferWhenThereIsNone) {
    ScriptedConnection card;
    amwferrix::DataObject dataObject(card);
    dataObject.setBlockId(0x0040);
    dataObject.setAcReadContent(amwferrix::DataObject::AC_PUBLIC);
    const Bytes content = sequence(4, 0x10);
    card.expect("80 1E 00 40 02", "00 04 90 00");
    expectReadData(card, content);
    amw::DataStorage::Content buffer;
    dataObject.readContent(buffer);
    EXPECT_EQ(content, bytesOf(buffer.data, buffer.length));

    card.expect("80 1E 00 40 02", "6A 83");
    amw::DataStorage::Content untouched(hex("01 02").data(), 2);
    dataObject.readContent(untouched);
    EXPECT_EQ(hex("01 02"), bytesOf(untouched.data, untouched.length));
    card.verify();
}

// The content of a private data object is its owner's secret: it is read in
// sensitive exchanges, which the trace shows masked.
TEST(ReadContent, APrivateObjectsContentTravelsInSensitiveExchanges) {
    ScriptedConnection card;
    amwferrix::DataObject dataObject(card);
    dataObject.setBlockId(0x0040);
    dataObject.setAcReadContent(0x0202);
    const Bytes content = sequence(4, 0x10);
    card.expect("80 1E 00 40 02", "00 04 90 00");
    card.expectTransmit(hex("80 1A 00 00 04"), content, 0x9000, true);
    amw::DataStorage::Content buffer;
    dataObject.readContent(buffer);
    EXPECT_EQ(content, bytesOf(buffer.data, buffer.length));
    card.verify();
}

TEST(CheckCardFreeSpace, CountsWholeBlocksOfNewOldAndFreeSpace) {
    struct Case {
        std::uint64_t oldSize, newSize;
        std::uint16_t freeBlocks;
        bool fits;
    };
    const Case cases[] = {{0, 256, 1, true},   {0, 257, 1, false}, {300, 700, 1, true},
                          {300, 800, 1, false}, {0, 1, 0, false},  {256, 512, 1, true}};
    for (const Case& c : cases) {
        ScriptedConnection card;
        expectMemoryInfo(card, 256, 512, c.freeBlocks);
        bool fitted = true;
        try {
            amwferrix::checkCardFreeSpace(card, c.oldSize, c.newSize);
        } catch (const amw::CardOutOfMemoryException&) {
            fitted = false;
        }
        EXPECT_EQ(c.fits, fitted) << c.oldSize << " -> " << c.newSize << " with "
                                  << c.freeBlocks << " free";
    }
}

TEST(CheckCardFreeSpace, CardReportingBlockSizeZeroCountsAsFull) {
    ScriptedConnection card;
    expectMemoryInfo(card, 0, 0, 0);
    EXPECT_THROW(amwferrix::checkCardFreeSpace(card, 0, 1), amw::CardOutOfMemoryException);
}

// --- Certificates -----------------------------------------------------------------

TEST(ListCertificates, ReadsTrustedFlagLabelsAndTheTwoOneByteItems) {
    ScriptedConnection card;
    const Bytes meta = concat({item(hex("C1")), item("cert"), item(hex("03")), item(hex("01"))});
    Bytes head = header(18, 0x8000, meta.size(), 1200);
    head[17] = 0x01;
    expectHeads(card, 0x8000, 0x8000, 0x0004, 0x8000, 0x8000);
    expectHeader(card, 0x0004, head);
    expectReadData(card, meta);
    amwferrix::Token token(card);
    amw::X509CertificateList list;
    token.listCertificates(list);
    ASSERT_EQ(1u, list.size());
    auto& certificate = dynamic_cast<amwferrix::X509Certificate&>(*list[0]);
    EXPECT_TRUE(certificate.isTrusted());
    EXPECT_EQ("cert", text(certificate.getLabel()));
    EXPECT_EQ(3, certificate.getContainerIndex());
    EXPECT_EQ(1u, certificate.getKeySpec());
    EXPECT_EQ(1200u, certificate.getContentSize());
    EXPECT_EQ(1200u, certificate.getCardContentSize());
    EXPECT_FALSE(certificate.isPrivateContent());
}

TEST(ListCertificates, OneByteItemOfTwoBytesIsRejected) {
    ScriptedConnection card;
    const Bytes meta = concat({item(hex("C1")), item("cert"), item(hex("03 04")), item(hex("01"))});
    expectHeads(card, 0x8000, 0x8000, 0x0004, 0x8000, 0x8000);
    expectHeader(card, 0x0004, header(18, 0x8000, meta.size()));
    expectReadData(card, meta);
    amwferrix::Token token(card);
    amw::X509CertificateList list;
    EXPECT_THROW(token.listCertificates(list), LvParserException);
}

TEST(CertificateCommit, NewCertificateWritesIdLabelAndTheTwoBytes) {
    ScriptedConnection card;
    card.expect("80 3E 00 02 07 01 01 01 02 02 02 02", "90 00");
    const Bytes meta = concat({item(hex("C1")), item("cert"), item(hex("02")), item(hex("01"))});
    card.expectTransmit(command("80 3C 00 00", word(meta.size())), {}, 0x9000);
    expectWriteData(card, meta);
    expectCommitMetadata(card, 0x0021);
    amwferrix::Token token(card);
    auto certificate = token.createCertificate(StaticBuffer<128>("cert", 4),
                                               StaticBuffer<128>("\xC1", 1), 2, 1, true, 0x0101,
                                               0x0202, 0x0202);
    EXPECT_EQ(0u, certificate->getContentSize());
    certificate->commitCreationOrMetadataChanges();
    EXPECT_EQ(0x0021, dynamic_cast<amwferrix::X509Certificate&>(*certificate).getBlockId());
    card.verify();
}

// --- Key pairs ----------------------------------------------------------------------

Bytes keyPairHeader(std::uint16_t next, std::uint16_t metaDataSize, std::uint16_t usage,
                    std::uint8_t origin, std::uint8_t containerIndex, std::uint8_t keySpec,
                    std::uint16_t keySize) {
    Bytes head = header(27, next, metaDataSize);
    putWord(head, 20, usage);
    head[22] = origin;
    head[23] = containerIndex;
    head[24] = keySpec;
    putWord(head, 25, keySize);
    return head;
}

TEST(ListKeyPairs, CompletePairReadsModulusAndExponentOfTheCurrentObject) {
    ScriptedConnection card;
    const Bytes meta = concat({item(hex("01 02")), item("pub"), item("priv")});
    const Bytes modulus = sequence(128, 0x80);
    expectHeads(card, 0x8000, 0x0008, 0x8000, 0x8000, 0x8000);
    expectHeader(card, 0x0008, keyPairHeader(0x8000, meta.size(), 0x0093, 7, 2, 1, 1024));
    expectReadData(card, meta);
    // The header's key size gives the modulus length: 128 bytes asked for.
    card.expectTransmit(hex("80 44 06 00 80"), modulus, 0x9000);
    card.expect("80 44 07 00 03", "01 00 01 90 00");
    amwferrix::Token token(card);
    amw::KeyPairList list;
    token.listKeyPairs(list);
    ASSERT_EQ(1u, list.size());
    auto& keyPair = dynamic_cast<amwferrix::KeyPair&>(*list[0]);
    EXPECT_EQ(1024, keyPair.getKeySize());
    EXPECT_EQ(0x0093, keyPair.getKeyUsage());
    EXPECT_TRUE(keyPair.isGeneratedOnCard());
    EXPECT_EQ(2, keyPair.getContainerIndex());
    EXPECT_EQ(1u, keyPair.getKeySpec());
    ASSERT_TRUE(keyPair.isComplete());
    EXPECT_EQ(modulus, bytesOf(keyPair.getPublicPart().modulus.data, keyPair.getPublicPart().modulus.length));
    EXPECT_EQ(hex("01 00 01"), bytesOf(keyPair.getPublicPart().publicExponent.data, keyPair.getPublicPart().publicExponent.length));
    EXPECT_EQ("pub", text(keyPair.getPublicPart().label));
    EXPECT_EQ("priv", text(keyPair.getPrivatePart().label));
    EXPECT_EQ(0x0008, keyPair.getBlockId());
    EXPECT_FALSE(keyPair.isAmendPending());
}

// A private key stored alone carries the pair's public values after its
// label: the modulus and the exponent, each split over two items. Metadata
// written by earlier releases has none. Either way the listing sends no
// component command (the script has none).
const Bytes MODULUS_1024 = sequence(128, 0x80);
const Bytes PRIVATE_ALONE_METADATA =
    concat({item(hex("05")), item("priv"), item(Bytes(MODULUS_1024.begin(), MODULUS_1024.begin() + 64)),
            item(Bytes(MODULUS_1024.begin() + 64, MODULUS_1024.end())), item(hex("01 00")), item(hex("01"))});

TEST(ListKeyPairs, PrivateKeyAloneTakesThePublicValuesFromItsMetadataOnly) {
    struct Case {
        const char* name;
        Bytes metadata;
        std::uint8_t keySpec;  // the header's key kind; anything but 1 reads as 0
        std::uint16_t keySize;
        Bytes modulus;
        Bytes exponent;
    };
    const Case cases[] = {
        {"metadata of an earlier release, key kind 7", concat({item(hex("05")), item("priv")}), 7, 2048, {}, {}},
        {"metadata with the public values", PRIVATE_ALONE_METADATA, 0, 1024, MODULUS_1024, hex("01 00 01")},
    };
    for (const Case& c : cases) {
        ScriptedConnection card;
        expectHeads(card, 0x8000, 0x0008, 0x8000, 0x8000, 0x8000);
        expectHeader(card, 0x0008, keyPairHeader(0x8000, c.metadata.size(), 0x0001, 4, 0xFF, c.keySpec, c.keySize));
        expectReadData(card, c.metadata);
        amwferrix::Token token(card);
        amw::KeyPairList list;
        token.listKeyPairs(list);
        ASSERT_EQ(1u, list.size()) << c.name;
        const amw::KeyPair& keyPair = *list[0];
        EXPECT_FALSE(keyPair.hasPublicKey()) << c.name;
        EXPECT_TRUE(keyPair.hasPrivateKey()) << c.name;
        EXPECT_EQ(0u, keyPair.getKeySpec()) << c.name;
        EXPECT_EQ(c.keySize, keyPair.getKeySize()) << c.name;
        EXPECT_EQ(c.modulus, bytesOf(keyPair.getModulus().data, keyPair.getModulus().length)) << c.name;
        EXPECT_EQ(c.exponent, bytesOf(keyPair.getPublicExponent().data, keyPair.getPublicExponent().length))
            << c.name;
        EXPECT_EQ("priv", text(keyPair.getPrivatePart().label)) << c.name;
    }
}

TEST(KeyPairCommit, PrivateKeyAloneWritesThePublicValuesAfterItsLabel) {
    ScriptedConnection card;
    amwferrix::KeyPair keyPair(card, 1024);
    keyPair.setPkcs11Id(StaticBuffer<128>("\x05", 1));
    amw::KeyPair::PrivatePart priv;
    priv.label.assign("priv", 4);
    priv.modulus.assign(MODULUS_1024.data(), MODULUS_1024.size());
    priv.publicExponent.assign(hex("01 00 01").data(), 3);
    keyPair.addPrivateKey(priv, 0, 0, 0);
    keyPair.setBlockId(0x0003);
    card.expectTransmit(command("80 16 00 03", word(PRIVATE_ALONE_METADATA.size())), {}, 0x9000);
    expectWriteData(card, PRIVATE_ALONE_METADATA);
    expectCommitMetadata(card, 0x0003);
    keyPair.commitCreationOrMetadataChanges();
    card.verify();
}

TEST(KeyPairFromHeader, TakesKeyUsageAndKeySizeInHostOrderAsTheListingHandsThem) {
    ScriptedConnection card;
    const Bytes meta = concat({item(hex("05")), item("priv")});
    expectReadData(card, meta);
    // What begin-read-metadata and the listing's conversion leave: every
    // 16-bit field in host order.
    Bytes header(27, 0);
    auto putHost = [&](std::size_t offset, std::uint16_t value) { std::memcpy(&header[offset], &value, 2); };
    putHost(1, 0x8000);
    putHost(3, static_cast<std::uint16_t>(meta.size()));
    putHost(20, 0x0093);
    header[22] = amwferrix::KeyPair::ORIGIN_PRIVATE;
    header[23] = 0xFF;
    putHost(25, 2048);
    auto keyPair = amwferrix::KeyPair::createFromHeader(card, 0x0008, header.data(), header.size());
    EXPECT_EQ(2048, keyPair->getKeySize());
    EXPECT_EQ(0x0093, keyPair->getKeyUsage());
}

TEST(KeyPairHeader, ConversionTurnsTheBigEndianFieldsIntoHostOrder) {
    Bytes header(27, 0);
    header[20] = 0x00;
    header[21] = 0x93;
    header[25] = 0x08;
    header[26] = 0x00;
    amwferrix::KeyPair::convertHeaderToHostOrder(header.data(), header.size());
    std::uint16_t usage = 0;
    std::uint16_t size = 0;
    std::memcpy(&usage, &header[20], 2);
    std::memcpy(&size, &header[25], 2);
    EXPECT_EQ(0x0093, usage);
    EXPECT_EQ(2048, size);
}

TEST(ListKeyPairs, HeaderWithoutAnyKeyPartIsAnInternalError) {
    ScriptedConnection card;
    const Bytes meta = item(hex("05"));
    expectHeads(card, 0x8000, 0x0008, 0x8000, 0x8000, 0x8000);
    expectHeader(card, 0x0008, keyPairHeader(0x8000, meta.size(), 0, 1, 0, 0, 1024));
    expectReadData(card, meta);
    amwferrix::Token token(card);
    amw::KeyPairList list;
    auto e = catchAs<InternalErrorException>([&] { token.listKeyPairs(list); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos,
              std::string(e->what()).find("the keypair does not have a public key, a private key neither"));
}

TEST(KeyPairCommit, StoredPairRewritesMetadataWithBothLabels) {
    ScriptedConnection card;
    amwferrix::KeyPair keyPair(card, 1024);
    keyPair.setPkcs11Id(StaticBuffer<128>("\x01", 1));
    amw::KeyPair::PublicPart pub;
    pub.label.assign("P", 1);
    keyPair.addPublicKey(pub, 0, 0, 0);
    amw::KeyPair::PrivatePart priv;
    priv.label.assign("Q", 1);
    keyPair.addPrivateKey(priv, 0, 0, 0);
    keyPair.setBlockId(0x0003);
    const Bytes meta = concat({item(hex("01")), item("P"), item("Q")});
    card.expectTransmit(command("80 16 00 03", word(meta.size())), {}, 0x9000);
    expectWriteData(card, meta);
    expectCommitMetadata(card, 0x0003);
    keyPair.commitCreationOrMetadataChanges();
    card.verify();
}

// --- Files and directories ----------------------------------------------------------

TEST(ListFiles, NamesLoseTrailingZerosAndBecomeLowerCase) {
    ScriptedConnection card;
    Bytes head = header(33, 0x8000, 0, 6, 0x0101, 0x0202, 0x0404);
    const Bytes dir = hex("4D 53 43 50 00 00 00 00");
    const Bytes name = hex("41 42 43 00 00 00 00 00");
    std::copy(dir.begin(), dir.end(), head.begin() + 17);
    std::copy(name.begin(), name.end(), head.begin() + 25);
    expectHeads(card, 0x8000, 0x8000, 0x8000, 0x8000, 0x0002);
    expectHeader(card, 0x0002, head);
    amwferrix::Token token(card);
    amw::FileList list;
    token.listFiles(list);
    ASSERT_EQ(1u, list.size());
    auto& file = dynamic_cast<amwferrix::File&>(*list[0]);
    EXPECT_EQ(hex("61 62 63"), bytesOf(file.getFileName().data, file.getFileName().length));
    EXPECT_EQ(hex("6D 73 63 70"), bytesOf(file.getDirectoryName().data, file.getDirectoryName().length));
    EXPECT_EQ(0x0101, file.getAccess(0));
    EXPECT_EQ(0x0202, file.getAccess(1));
    EXPECT_EQ(0x0404, file.getAccess(2));
    EXPECT_EQ(6u, file.getCardContentSize());
    EXPECT_FALSE(file.isPrivateContent());
    EXPECT_EQ(2u, card.calls().size());
}

TEST(ListDirs, NameEndsAtTheFirstZeroByte) {
    ScriptedConnection card;
    Bytes head = header(27, 0x8000, 0);
    const Bytes name = hex("61 00 62 00 63 00 64 00");
    std::copy(name.begin(), name.end(), head.begin() + 19);
    expectHeads(card, 0x8000, 0x8000, 0x8000, 0x0001, 0x8000);
    expectHeader(card, 0x0001, head);
    amwferrix::Token token(card);
    amw::DirectoryList list;
    token.listDirs(list);
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(hex("61"), bytesOf(list[0]->getDirectoryName().data, list[0]->getDirectoryName().length));
}

TEST(FileCommit, NewFileWithCardChosenConditionsReadsThemBackAndStoredFileSendsNothing) {
    ScriptedConnection card;
    amwferrix::Directory directory(card, StaticBuffer<8>("mscp", 4));
    directory.setBlockId(0x0003);
    card.expect("80 3E 00 04 10 00 03 63 6D 61 70 00 00 00 00 FF FF 02 02 02 02", "90 00");
    card.expect("80 3C 00 00 02 00 00", "90 00");
    expectCommitMetadata(card, 0x0007);
    expectHeader(card, 0x0007, header(33, 0x8000, 0, 0, 0x0101, 0x0202, 0x0202));
    amwferrix::Token token(card);
    auto file = token.createFile(&directory, StaticBuffer<8>("cmap", 4), 0xFFFF, 0x0202, 0x0202);
    file->commitCreationOrMetadataChanges();
    auto& cardFile = dynamic_cast<amwferrix::File&>(*file);
    EXPECT_EQ(0x0007, cardFile.getBlockId());
    EXPECT_EQ(0x0101, cardFile.getAcRead());
    EXPECT_EQ(hex("6D 73 63 70"), bytesOf(cardFile.getDirectoryName().data, cardFile.getDirectoryName().length));
    card.verify();
    file->commitCreationOrMetadataChanges();
    EXPECT_EQ(4u, card.calls().size());
}

TEST(CreateFile, NullDirectoryIsANullPointerBeforeAnyCommand) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    auto e = catchAs<InvalidArgumentException>(
        [&] { token.createFile(nullptr, StaticBuffer<8>("a", 1), 0, 0, 0); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos, std::string(e->what()).find("Null pointer exception <dir>"));
    EXPECT_TRUE(card.calls().empty());
}

TEST(DirectoryCommit, NewDirectoryOpensEmptyMetadataAndCommits) {
    ScriptedConnection card;
    card.expect("80 3E 00 03 0C 64 69 72 00 00 00 00 00 02 02 01 01", "90 00");
    card.expect("80 3C 00 00 02 00 00", "90 00");
    expectCommitMetadata(card, 0x0011);
    amwferrix::Token token(card);
    auto directory = token.createDirectory(StaticBuffer<8>("dir", 3), 0x0101, 0x0202);
    directory->commitCreationOrMetadataChanges();
    EXPECT_EQ(0x0011, dynamic_cast<amwferrix::Directory&>(*directory).getBlockId());
    card.verify();
}

TEST(DeleteObjects, EveryKindIsDeletedByItsBlockId) {
    ScriptedConnection card;
    amwferrix::Token token(card);
    amwferrix::DataObject dataObject(card);
    dataObject.setBlockId(0x0101);
    amwferrix::X509Certificate certificate(card);
    certificate.setBlockId(0x0102);
    amwferrix::File file(card);
    file.setBlockId(0x0103);
    amwferrix::Directory directory(card);
    directory.setBlockId(0x0104);
    amwferrix::KeyPair keyPair(card);
    keyPair.setBlockId(0x0105);
    card.expect("80 10 01 01 00", "90 00")
        .expect("80 10 01 02 00", "90 00")
        .expect("80 10 01 03 00", "90 00")
        .expect("80 10 01 04 00", "90 00")
        .expect("80 10 01 05 00", "90 00");
    token.deleteDataObject(dataObject);
    token.deleteCertificate(certificate);
    token.deleteFile(file);
    token.deleteDirectory(directory);
    token.deleteKeyPair(keyPair);
    card.verify();
}

}  // namespace
