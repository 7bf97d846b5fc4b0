// Objects on the chains: the create → metadata size → write → commit
// sequence, headers, metadata and content, access conditions and memory.
#include "cardtest.h"

namespace cardsim::test {
namespace {

class ObjectTest : public CardTest {
protected:
    void SetUp() override {
        CardTest::SetUp();
        select();
        loginUser();
    }

    // Data object with metadata {id "ID", label "lbl", object id 01 02,
    // application "app"}: 14 bytes of LV items.
    static constexpr const char* METADATA = "02 49 44 03 6C 62 6C 02 01 02 03 61 70 70";

    std::string createDataObject(const std::string& accessConditions) {
        EXPECT_EQ("9000", sw("80 3E 00 00 08 " + accessConditions));
        EXPECT_EQ("9000", sw("80 3C 00 00 02 00 0E"));
        EXPECT_EQ("9000", sw(std::string("80 12 00 00 0E ") + METADATA));
        auto answer = send("80 3A 00 00 02");
        EXPECT_EQ("9000", swOf(answer));
        return toHex(dataOf(answer));
    }

    void writeContent(const std::string& id, const Bytes& content) {
        char size[8];
        std::snprintf(size, sizeof size, "%04zX", content.size());
        ASSERT_EQ("9000", sw("80 1C " + id.substr(0, 2) + " " + id.substr(2) + " 02 " + size));
        for (std::size_t pos = 0; pos < content.size(); pos += 255) {
            std::size_t n = std::min<std::size_t>(255, content.size() - pos);
            Bytes command = {0x80, 0x12, 0x00, 0x00, static_cast<std::uint8_t>(n)};
            command.insert(command.end(), content.begin() + static_cast<std::ptrdiff_t>(pos),
                           content.begin() + static_cast<std::ptrdiff_t>(pos + n));
            ASSERT_EQ("9000", sw(command));
        }
        ASSERT_EQ("9000", sw("80 38 00 00 00"));
    }
};

TEST_F(ObjectTest, DataObjectSequenceGivesHeaderMetadataAndContentBack) {
    const std::string id = createDataObject("FFFF 0101 FFFF FFFF");
    EXPECT_EQ("0005", id);  // 0001 to 0004 hold the minidriver directories and files
    Bytes content(600);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i);
    writeContent(id, content);

    EXPECT_EQ(toHex(hex("0005 8000 8000 0001 0002")), toHex(dataOf(send("80 0A 00 00 0A"))));
    auto header = send("80 18 00 05 11");
    ASSERT_EQ("9000", swOf(header));
    // kind 00, next 8000, metadata 000E, content 0258, own id 0005, update
    // metadata 0202 (card's choice), read 0101, write and delete 0202.
    EXPECT_EQ(toHex(hex("00 8000 000E 0258 0005 0202 0101 0202 0202")), toHex(dataOf(header)));
    auto metadata = send("80 1A 00 00 0E");
    EXPECT_EQ("9000", swOf(metadata));
    EXPECT_EQ(toHex(hex(METADATA)), toHex(dataOf(metadata)));

    EXPECT_EQ("0258", toHex(dataOf(send("80 1E 00 05 02"))));
    Bytes readBack;
    for (const char* chunk : {"80 1A 00 00 FF", "80 1A 00 00 FF", "80 1A 00 00 5A"}) {
        auto part = send(chunk);
        ASSERT_EQ("9000", swOf(part));
        auto data = dataOf(part);
        readBack.insert(readBack.end(), data.begin(), data.end());
    }
    EXPECT_EQ(toHex(content), toHex(readBack));
    EXPECT_EQ("6985", sw("80 1A 00 00 01"));
}

TEST_F(ObjectTest, ReadBeyondTheEndAnswers6CWithWhatIsLeft) {
    createDataObject("FFFF 0101 FFFF FFFF");
    ASSERT_EQ("9000", swOf(send("80 18 00 05 11")));
    EXPECT_EQ("6C0E", sw("80 1A 00 00 20"));
}

TEST_F(ObjectTest, HeaderWithWrongLeAnswers6CWithTheHeaderSize) {
    createDataObject("FFFF 0101 FFFF FFFF");
    EXPECT_EQ("6C11", sw("80 18 00 05 1B"));
    EXPECT_EQ("6C1B", sw("80 18 00 01 11"));  // a directory header is 27 bytes
    EXPECT_EQ("6C21", sw("80 18 00 02 11"));  // a file header is 33 bytes
}

TEST_F(ObjectTest, ReadConditionLeftToTheCardNeedsTheUser) {
    createDataObject("FFFF FFFF FFFF FFFF");
    auto header = dataOf(send("80 18 00 05 11"));
    ASSERT_EQ(17u, header.size());
    EXPECT_EQ("0202", toHex(Bytes(header.begin() + 11, header.begin() + 13)));
    writeContent("0005", hex("01 02 03"));
    EXPECT_EQ("9000", sw("80 22 01 00 00"));
    EXPECT_EQ("6982", sw("80 1E 00 05 02"));
    EXPECT_EQ("9000", sw("80 18 00 05 11"));  // metadata stays readable
    loginUser();
    EXPECT_EQ("0003", toHex(dataOf(send("80 1E 00 05 02"))));
}

TEST_F(ObjectTest, CreatingWithoutTheUserAnswers6982) {
    EXPECT_EQ("9000", sw("80 22 01 00 00"));
    EXPECT_EQ("6982", sw("80 3E 00 00 08 FFFF 0101 FFFF FFFF"));
    EXPECT_EQ("6982", sw("80 3E 00 02 07 00 FFFF FFFF FFFF"));
}

TEST_F(ObjectTest, ContentThatDoesNotFitAnswers6F03) {
    createDataObject("FFFF 0101 FFFF FFFF");
    // 64 blocks: 5 for the minidriver objects, 2 for this object's header
    // and metadata, so 57 blocks of 256 bytes are left.
    EXPECT_EQ("6F03", sw("80 1C 00 05 02 39 01"));
    EXPECT_EQ("9000", sw("80 1C 00 05 02 39 00"));
}

TEST_F(ObjectTest, CreateOnAFullCardAnswers6F03) {
    createDataObject("FFFF 0101 FFFF FFFF");
    writeContent("0005", Bytes(57 * 256, 0xAB));
    EXPECT_EQ(toHex(hex("0100 0040 0000 0000")), toHex(dataOf(send("80 06 01 00 08"))));
    EXPECT_EQ("6F03", sw("80 3E 00 00 08 FFFF 0101 FFFF FFFF"));
}

TEST_F(ObjectTest, WritingMoreThanAnnouncedAnswers6A84AndEarlyCommit6985) {
    ASSERT_EQ("9000", sw("80 3E 00 00 08 FFFF 0101 FFFF FFFF"));
    ASSERT_EQ("9000", sw("80 3C 00 00 02 00 04"));
    EXPECT_EQ("6A84", sw("80 12 00 00 05 01 02 03 04 05"));
    EXPECT_EQ("9000", sw("80 12 00 00 02 01 02"));
    EXPECT_EQ("6985", sw("80 3A 00 00 02"));
    EXPECT_EQ("9000", sw("80 12 00 00 02 03 04"));
    EXPECT_EQ("0005", toHex(dataOf(send("80 3A 00 00 02"))));
}

TEST_F(ObjectTest, UnfinishedCreationLeavesNoObject) {
    ASSERT_EQ("9000", sw("80 3E 00 00 08 FFFF 0101 FFFF FFFF"));
    ASSERT_EQ("9000", sw("80 3C 00 00 02 00 04"));
    ASSERT_EQ("9000", sw("80 0A 00 00 0A"));
    ASSERT_EQ("9000", sw("80 18 00 01 1B"));  // starts another sequence
    EXPECT_EQ("6985", sw("80 12 00 00 02 01 02"));
    EXPECT_EQ("8000", toHex(dataOf(send("80 0A 00 00 0A"))).substr(0, 4));
}

TEST_F(ObjectTest, RemovedContentIsReportedAs6A83) {
    createDataObject("FFFF 0101 FFFF FFFF");
    EXPECT_EQ("6A83", sw("80 1E 00 05 02"));
    writeContent("0005", hex("AA BB"));
    EXPECT_EQ("6985", sw("80 1C 00 05 02 00 01"));  // remove the old content first
    EXPECT_EQ("9000", sw("80 14 00 05 00"));
    EXPECT_EQ("6A83", sw("80 14 00 05 00"));
    EXPECT_EQ("6A83", sw("80 1E 00 05 02"));
}

TEST_F(ObjectTest, MetadataRewriteKeepsTheBlockId) {
    createDataObject("FFFF 0101 FFFF FFFF");
    ASSERT_EQ("9000", sw("80 16 00 05 02 00 04"));
    ASSERT_EQ("9000", sw("80 12 00 00 04 01 41 FF FF"));
    EXPECT_EQ("0005", toHex(dataOf(send("80 3A 00 00 02"))));
    ASSERT_EQ("9000", swOf(send("80 18 00 05 11")));
    EXPECT_EQ("0141FFFF", toHex(dataOf(send("80 1A 00 00 04"))));
}

TEST_F(ObjectTest, DeletedObjectLeavesItsChain) {
    createDataObject("FFFF 0101 FFFF FFFF");
    createDataObject("FFFF 0101 FFFF FFFF");
    auto first = dataOf(send("80 18 00 05 11"));
    EXPECT_EQ("0006", toHex(Bytes(first.begin() + 1, first.begin() + 3)));
    EXPECT_EQ("9000", sw("80 10 00 05 00"));
    EXPECT_EQ("6A82", sw("80 18 00 05 11"));
    EXPECT_EQ("0006", toHex(dataOf(send("80 0A 00 00 0A"))).substr(0, 4));
}

TEST_F(ObjectTest, CertificateKeepsTrustedFlagAndPublicContent) {
    ASSERT_EQ("9000", sw("80 3E 00 02 07 01 FFFF FFFF FFFF"));
    ASSERT_EQ("9000", sw("80 3C 00 00 02 00 08"));
    ASSERT_EQ("9000", sw("80 12 00 00 08 01 43 02 63 63 01 00 01 00"));
    ASSERT_EQ("0005", toHex(dataOf(send("80 3A 00 00 02"))));
    auto header = send("80 18 00 05 12");
    ASSERT_EQ("9000", swOf(header));
    EXPECT_EQ(toHex(hex("04 8000 0008 0000 0005 0000 0101 0202 0202 01")), toHex(dataOf(header)));
}

TEST_F(ObjectTest, FileInADirectoryCarriesBothNames) {
    ASSERT_EQ("9000", sw("80 3E 00 04 10 0003 6B 78 63 00 00 00 00 00 FFFF FFFF FFFF"));
    ASSERT_EQ("9000", sw("80 3C 00 00 02 00 00"));
    ASSERT_EQ("0005", toHex(dataOf(send("80 3A 00 00 02"))));
    auto header = send("80 18 00 05 21");
    ASSERT_EQ("9000", swOf(header));
    EXPECT_EQ(toHex(hex("01 8000 0000 0000 0005 0000 0101 0202 0202 "
                        "6D 73 63 70 00 00 00 00 6B 78 63 00 00 00 00 00")),
              toHex(dataOf(header)));
    EXPECT_EQ("6A89", sw("80 3E 00 04 10 0003 6B 78 63 00 00 00 00 00 FFFF FFFF FFFF"));
    EXPECT_EQ("6A82", sw("80 3E 00 04 10 0002 6B 78 63 00 00 00 00 00 FFFF FFFF FFFF"));
}

TEST_F(ObjectTest, DirectoryIsDeletedOnlyWhenEmpty) {
    ASSERT_EQ("9000", sw("80 3E 00 03 0C 64 00 00 00 00 00 00 00 FFFF FFFF"));
    ASSERT_EQ("9000", sw("80 3C 00 00 02 00 00"));
    ASSERT_EQ("0005", toHex(dataOf(send("80 3A 00 00 02"))));
    ASSERT_EQ("9000", sw("80 3E 00 04 10 0005 66 00 00 00 00 00 00 00 FFFF FFFF FFFF"));
    ASSERT_EQ("9000", sw("80 3C 00 00 02 00 00"));
    ASSERT_EQ("0006", toHex(dataOf(send("80 3A 00 00 02"))));
    EXPECT_EQ("6985", sw("80 10 00 05 00"));
    EXPECT_EQ("9000", sw("80 10 00 06 00"));
    EXPECT_EQ("9000", sw("80 10 00 05 00"));
    EXPECT_EQ("6A82", sw("80 18 00 05 1B"));
}

TEST_F(ObjectTest, DirectoryHeaderNamesItAndCountsItsFiles) {
    ASSERT_EQ("9000", sw("80 3E 00 03 0C 61 62 00 00 00 00 00 00 0202 0101"));
    ASSERT_EQ("9000", sw("80 3C 00 00 02 00 00"));
    ASSERT_EQ("0005", toHex(dataOf(send("80 3A 00 00 02"))));
    auto header = send("80 18 00 03 1B");
    EXPECT_EQ(toHex(hex("02 0005 0000 0000 0003 0000 0202 0000 0000 0001 6D 73 63 70 00 00 00 00")),
              toHex(dataOf(header)));
    auto created = dataOf(send("80 18 00 05 1B"));
    ASSERT_EQ(27u, created.size());
    // create-files condition 0101 (sent second), delete 0202 (sent first)
    EXPECT_EQ("01010202", toHex(Bytes(created.begin() + 11, created.begin() + 15)));
    EXPECT_EQ("6A89", sw("80 3E 00 03 0C 61 62 00 00 00 00 00 00 0202 0101"));
}

TEST_F(ObjectTest, MinidriverFilesAreInPlace) {
    auto cardcf = send("80 18 00 02 21");
    EXPECT_EQ(toHex(hex("01 0004 0000 0006 0002 0000 0101 0202 0000 "
                        "00 00 00 00 00 00 00 00 63 61 72 64 63 66 00 00")),
              toHex(dataOf(cardcf)));
    EXPECT_EQ("0006", toHex(dataOf(send("80 1E 00 02 02"))));
    EXPECT_EQ("000000000000", toHex(dataOf(send("80 1A 00 00 06"))));
    EXPECT_EQ("0000", toHex(dataOf(send("80 1E 00 04 02"))));
}

}  // namespace
}  // namespace cardsim::test
