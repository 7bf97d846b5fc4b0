// The simulated Ferrix card through the real pcscd: vpcd and our own driver's
// plain reader, PC/SC client calls and opensc-tool.
#include "ferrixcard.h"

#include <openssl/bn.h>
#include <winscard.h>

#include <cstdio>
#include <memory>

namespace benchtest {
namespace {

class CardCommands : public BenchSuite, public ::testing::WithParamInterface<const char*> {
protected:
    bench::PcscCard insertAndSelect(bench::PcscClient& client) {
        bench().insert(GetParam(), image());
        bench::PcscCard card = client.connect(bench().reader(GetParam()).name);
        EXPECT_EQ("9000", swText(card.transmitSw(SELECT_FERRIX)));
        return card;
    }
};

std::string runCommand(const std::string& command) {
    std::string output;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return output;
    char buf[512];
    while (std::fgets(buf, sizeof buf, pipe.get())) output += buf;
    return output;
}

TEST_P(CardCommands, ReadersAreListedByPcscAndOpensc) {
    bench::PcscClient client;
    auto names = client.readers();
    for (const char* expected : {"Zentrik Virtual 00 00", "Zentrik Virtual 00 01", PINPAD_READER, PLAIN_READER}) {
        bool found = false;
        for (const auto& n : names) found = found || n.rfind(expected, 0) == 0;
        EXPECT_TRUE(found) << expected;
    }
    std::string listing = runCommand("opensc-tool -l 2>&1");
    EXPECT_NE(std::string::npos, listing.find("Zentrik Virtual 00 00")) << listing;
    EXPECT_NE(std::string::npos, listing.find(PINPAD_READER)) << listing;
}

TEST_P(CardCommands, CommandBeforeSelectAnswers6D00AndSelectAnswers9000) {
    bench().insert(GetParam(), image());
    bench::PcscClient client;
    auto card = client.connect(bench().reader(GetParam()).name);
    EXPECT_EQ("6D00", swText(card.transmitSw(fromHex("80 02 00 00 02"))));
    Bytes response = card.transmit(SELECT_FERRIX);
    EXPECT_EQ("9000", swText(bench::PcscCard::statusWord(response)));
    EXPECT_EQ(2u, response.size());
}

TEST_P(CardCommands, SelectThroughOpenscToolAnswers9000) {
    bench().insert(GetParam(), image());
    int index = -1;
    bench::PcscClient client;
    auto names = client.readers();
    for (std::size_t i = 0; i < names.size(); ++i)
        if (names[i] == bench().reader(GetParam()).name) index = static_cast<int>(i);
    ASSERT_GE(index, 0);
    std::string out = runCommand("opensc-tool -r " + std::to_string(index) +
                                 " -s 00:A4:04:00:09:F0:56:58:46:52:01:00:00:41 2>&1");
    EXPECT_NE(std::string::npos, out.find("SW1=0x90, SW2=0x00")) << out;
}

struct InfoCommand {
    const char* name;
    const char* apdu;
    std::size_t length;
};

TEST_P(CardCommands, InformationCommandsAnswerTheirDocumentedLengths) {
    bench::PcscClient client;
    auto card = insertAndSelect(client);
    const InfoCommand commands[] = {
        {"version", "80 02 00 00 02", 2},   {"serial", "80 04 00 00 08", 8},   {"memory", "80 06 01 00 08", 8},
        {"global access", "80 06 02 00 3B", 59}, {"activation", "80 06 04 00 01", 1}, {"card id", "80 08 00 00 10", 16},
        {"heads", "80 0A 00 00 0A", 10},    {"auth state", "80 50 00 00 01", 1},
    };
    for (const auto& c : commands) {
        Bytes r = card.transmit(fromHex(c.apdu));
        EXPECT_EQ("9000", swText(bench::PcscCard::statusWord(r))) << c.name;
        EXPECT_EQ(c.length, r.size() - 2) << c.name;
    }
}

TEST_P(CardCommands, KeySlotInformationIsAListOfThreeByteEntries) {
    bench::PcscClient client;
    auto card = insertAndSelect(client);
    Bytes r = card.transmit(fromHex("80 06 03 00 00"));
    if ((bench::PcscCard::statusWord(r) >> 8) == 0x6C) r = card.transmit({0x80, 0x06, 0x03, 0x00, r.back()});
    ASSERT_EQ("9000", swText(bench::PcscCard::statusWord(r)));
    std::size_t length = r.size() - 2;
    EXPECT_EQ(0u, length % 3);
    EXPECT_LT(0u, length);
    for (std::size_t i = 0; i + 2 < length; i += 3) {
        std::uint16_t size = static_cast<std::uint16_t>(r[i + 1] << 8 | r[i + 2]);
        EXPECT_TRUE(size == 0 || size == 1024 || size == 2048) << "slot " << i / 3 << " size " << size;
    }
}

TEST_P(CardCommands, CreatedDataObjectReadsBackItsMetadataAndContent) {
    bench::PcscClient client;
    auto card = insertAndSelect(client);
    ASSERT_EQ("9000", swText(card.transmitSw(authenticatePin(1, "1234"))));
    DataObjectOnCard object{0, dataObjectMetadata("bench object"), fromHex("DE AD BE EF 00 11 22 33 44 55")};
    ASSERT_EQ("9000", swText(createDataObject(card, object)));

    Bytes heads = card.transmit(fromHex("80 0A 00 00 0A"));
    ASSERT_EQ(12u, heads.size());
    EXPECT_EQ(object.blockId, static_cast<std::uint16_t>(heads[0] << 8 | heads[1]));

    Bytes header, metadata, content;
    ASSERT_EQ("9000", swText(readDataObject(card, object.blockId, header, metadata, content)));
    EXPECT_EQ(object.metadata.size(), static_cast<std::size_t>(header[3] << 8 | header[4]));
    EXPECT_EQ(object.content.size(), static_cast<std::size_t>(header[5] << 8 | header[6]));
    EXPECT_EQ(bench::toHex(object.metadata), bench::toHex(metadata));
    EXPECT_EQ(bench::toHex(object.content), bench::toHex(content));
}

TEST_P(CardCommands, WrongPinCountsDownAndThenBlocks) {
    bench::PcscClient client;
    auto card = insertAndSelect(client);
    EXPECT_EQ("63C2", swText(card.transmitSw(authenticatePin(1, "9999"))));
    EXPECT_EQ("63C1", swText(card.transmitSw(authenticatePin(1, "9999"))));
    EXPECT_EQ("6983", swText(card.transmitSw(authenticatePin(1, "9999"))));
    EXPECT_EQ("6983", swText(card.transmitSw(authenticatePin(1, "1234"))));
}

TEST_P(CardCommands, MalformedCommandsAnswerAnErrorAndTheCardKeepsWorking) {
    bench::PcscClient client;
    auto card = insertAndSelect(client);
    const char* malformed[] = {
        "80 02",                    // shorter than a header
        "80 02 00",                 //
        "80 FF 00 00 00",           // unknown instruction
        "80 12 00 00 05 01 02",     // Lc larger than the data
        "80 3C 00 00 01 00 02 03",  // Lc smaller than the data
        "80 1A 00 00 10",           // read without a current object
        "80 38 00 00 00",           // commit without an open content block
        "80 18 FF FF 11",           // header of a block that does not exist
        "80 4A 00 00 80",           // crypt without data or a selected key
    };
    for (const char* apdu : malformed) {
        Bytes response;
        std::uint32_t rv = card.tryTransmit(fromHex(apdu), response);
        if (rv == 0) {
            ASSERT_LE(2u, response.size()) << apdu;
            EXPECT_NE("9000", swText(bench::PcscCard::statusWord(response))) << apdu;
        } else {
            // pcscd itself refuses some of them (for example shorter than 4 bytes).
            EXPECT_NE(0u, rv) << apdu;
        }
    }
    EXPECT_TRUE(bench().control(GetParam()).inserted());
    EXPECT_EQ("9000", swText(card.transmitSw(SELECT_FERRIX)));
    EXPECT_EQ("9000", swText(card.transmitSw(authenticatePin(1, "1234"))));
}

TEST_P(CardCommands, GeneratedKeySignsAndTheSignatureVerifiesWithTheModulus) {
    bench::PcscClient client;
    auto card = insertAndSelect(client);
    ASSERT_EQ("9000", swText(card.transmitSw(authenticatePin(1, "1234"))));
    // origin 7, 2048 bits, usage 00FF, container FF, key kind 0, access conditions chosen by the card
    ASSERT_EQ("9000", swText(card.transmitSw(withData(fromHex("80 3E 00 01"),
                                                      fromHex("07 08 00 00 FF FF 00 FF FF FF FF FF FF")))));
    Bytes generated = transmitAll(card, withData(fromHex("80 40 00 00"), fromHex("01 00 01")));
    ASSERT_EQ("9000", swText(bench::PcscCard::statusWord(generated)));
    Bytes modulus = body(generated);
    ASSERT_EQ(256u, modulus.size());
    Bytes metadata = fromHex("02 AB CD 03 70 75 62 04 70 72 69 76");  // id, public label, private label
    ASSERT_EQ("9000", swText(card.transmitSw(withData(fromHex("80 3C 00 00"), blockIdBytes(metadata.size())))));
    ASSERT_EQ("9000", swText(card.transmitSw(withData(fromHex("80 12 00 00"), metadata))));
    Bytes committed = card.transmit(fromHex("80 3A 00 00 02"));
    ASSERT_EQ(4u, committed.size());

    // PKCS #1 type 1 block of the modulus length, signed raw in two halves.
    Bytes block(256, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    Bytes digestInfo = fromHex("00 30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14 01 02 03 04 05 06 07 08 09 0A 0B 0C "
                               "0D 0E 0F 10 11 12 13 14");
    std::copy(digestInfo.begin(), digestInfo.end(), block.end() - static_cast<std::ptrdiff_t>(digestInfo.size()));
    ASSERT_EQ("9000", swText(card.transmitSw({0x80, 0x46, committed[0], committed[1], 0x00})));
    // On T=0 a case-4 command travels without its trailing Le.
    bool t0 = card.protocol() == SCARD_PROTOCOL_T0;
    Bytes first{0x80, 0x48, 0x00, 0x00, 0x80};
    first.insert(first.end(), block.begin(), block.begin() + 128);
    if (!t0) first.push_back(0x00);
    ASSERT_EQ("9000", swText(card.transmitSw(first)));
    Bytes last{0x80, 0x4A, 0x00, 0x00, 0x80};
    last.insert(last.end(), block.begin() + 128, block.end());
    if (!t0) last.push_back(0x00);
    Bytes signature = transmitAll(card, last);
    ASSERT_EQ("9000", swText(bench::PcscCard::statusWord(signature)));
    ASSERT_EQ(256u, signature.size() - 2);

    std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
    auto bn = [](const std::uint8_t* p, std::size_t n) {
        return std::unique_ptr<BIGNUM, void (*)(BIGNUM*)>(BN_bin2bn(p, static_cast<int>(n), nullptr), BN_free);
    };
    auto n = bn(modulus.data(), modulus.size());
    auto s = bn(signature.data(), 256);
    std::uint8_t e[] = {0x01, 0x00, 0x01};
    auto exponent = bn(e, sizeof e);
    std::unique_ptr<BIGNUM, void (*)(BIGNUM*)> recovered(BN_new(), BN_free);
    ASSERT_EQ(1, BN_mod_exp(recovered.get(), s.get(), exponent.get(), n.get(), ctx.get()));
    Bytes out(256, 0);
    ASSERT_EQ(256, BN_bn2binpad(recovered.get(), out.data(), 256));
    EXPECT_EQ(bench::toHex(block), bench::toHex(out));
}

INSTANTIATE_TEST_SUITE_P(Readers, CardCommands, ::testing::Values(VPCD_READER, PLAIN_READER),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == VPCD_READER ? "vpcd" : "driver";
                         });

}  // namespace
}  // namespace benchtest
