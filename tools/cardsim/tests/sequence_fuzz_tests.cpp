// Mutated command sequences: well-formed commands of every sequence, with
// bytes flipped, lengths broken, block ids swapped and resets in between, so
// that the card reaches its deeper states with damaged input. Whatever
// arrives, the card answers a status word of its table, its state still
// makes a loadable image, and its header chains stay walkable.
#include <random>
#include <set>

#include "cardsim/cardimage.h"
#include "cardtest.h"

namespace cardsim::test {
namespace {

std::string bytesOf(std::size_t count, std::uint8_t value) { return toHex(Bytes(count, value)); }

// Well-formed command sequences; block ids 0005 to 0008 are the ones new
// objects get on a freshly personalised card.
std::vector<std::vector<Bytes>> corpus() {
    const std::string crypt1024 = "80 4A 00 00 80 0001" + bytesOf(126, 0x11) + " 80";
    const std::vector<std::vector<std::string>> text = {
        {"00 A4 04 00 09 F0 56 58 46 52 01 00 00 41", "80 20 01 00 10" + pinField("1234")},
        {"80 20 02 00 10" + pinField("87654321")},
        {"80 3E 00 00 08 FFFF FFFF FFFF FFFF", "80 3C 00 00 02 00 04", "80 12 00 00 04 01 02 03 04",
         "80 3A 00 00 02"},
        {"80 3E 00 00 08 0101 0101 0101 0101", "80 3C 00 00 02 01 2C", "80 12 00 00 FF " + bytesOf(255, 0x5A),
         "80 12 00 00 2D " + bytesOf(45, 0xA5), "80 3A 00 00 02"},
        {"80 16 00 05 02 00 02", "80 12 00 00 02 AA BB", "80 3A 00 00 02"},
        {"80 14 00 05 00", "80 1C 00 05 02 01 2C", "80 12 00 00 FF " + bytesOf(255, 0x5A),
         "80 12 00 00 2D " + bytesOf(45, 0xA5), "80 38 00 00 00"},
        {"80 1E 00 05 02", "80 1A 00 00 FF", "80 1A 00 00 2D"},
        {"80 18 00 05 11", "80 1A 00 00 04"},
        {"80 10 00 05 00"},
        {"80 10 00 06 00"},
        {"80 3E 00 01 0D 07 0400 00FF FF 00 FFFFFFFFFFFF", "80 40 00 00 03 01 00 01", "80 3C 00 00 02 00 03",
         "80 12 00 00 03 01 41 FF", "80 3A 00 00 02"},
        {"80 18 00 06 1B", "80 1A 00 00 03", "80 44 06 00 00", "80 44 07 00 03"},
        {"80 46 00 06 00", crypt1024},
        {"80 46 00 06 00", "80 48 00 00 80 0001" + bytesOf(126, 0x22) + " 00", crypt1024},
        {"80 4C 00 06 01 02", "80 4E FF 00 04 00FF 0002", "80 12 00 00 02 01 41", "80 3A 00 00 02"},
        {"80 4C 00 06 01 06", "80 42 06 00 80 " + bytesOf(128, 0xC3), "80 42 07 00 03 01 00 01",
         "80 4E FF 00 04 00FF 0003", "80 12 00 00 03 01 41 FF", "80 3A 00 00 02"},
        {"80 3E 00 01 0D 04 0400 00FF FF 00 FFFFFFFFFFFF", "80 42 01 00 40 " + bytesOf(64, 0x97),
         "80 42 02 00 40 " + bytesOf(64, 0x93), "80 42 03 00 40 " + bytesOf(64, 0x11),
         "80 42 04 00 40 " + bytesOf(64, 0x13), "80 42 05 00 40 " + bytesOf(64, 0x17), "80 3C 00 00 02 00 03",
         "80 12 00 00 03 01 41 FF", "80 3A 00 00 02"},
        {"80 3E 00 02 07 01 FFFF FFFF FFFF", "80 3C 00 00 02 00 04", "80 12 00 00 04 01 02 01 03",
         "80 3A 00 00 02"},
        {"80 3E 00 03 0C 6469720000000000 FFFF FFFF", "80 3C 00 00 02 00 00", "80 3A 00 00 02"},
        {"80 3E 00 04 10 0005 6669000000000000 FFFF FFFF FFFF", "80 3C 00 00 02 00 00", "80 3A 00 00 02"},
        {"80 2E 01 00 08"},
        {"80 20 01 02 08 0102030405060708", "80 24 01 00 08", "80 22 01 00 00"},
        {"80 26 00 01 10" + pinField("1234")},
        {"80 28 02 01 20" + pinField("87654321") + pinField("1234")},
        {"80 0E 00 00 2F " + bytesOf(47, 0x01), "80 0C 00 00 2F"},
        {"80 06 01 00 08", "80 06 03 00 00", "80 0A 00 00 0A", "80 2C 01 00 0A", "80 50 00 00 01"},
        {"80 30 00 00 00", "80 52 00 00 10 " + bytesOf(16, 0x42)},
        {"00 C0 00 00 00"},
    };
    std::vector<std::vector<Bytes>> out;
    for (const auto& sequence : text) {
        out.emplace_back();
        for (const auto& t : sequence) out.back().push_back(hex(t));
    }
    return out;
}

Bytes mutate(Bytes apdu, std::mt19937& random) {
    switch (random() % 16) {
    case 3:
        if (!apdu.empty()) apdu[random() % apdu.size()] = static_cast<std::uint8_t>(random());
        break;
    case 4:
        if (apdu.size() >= 4) {
            apdu[2] = 0x00;
            apdu[3] = static_cast<std::uint8_t>(random() % 10);
        }
        break;
    case 5: apdu.resize(random() % (apdu.size() + 1)); break;
    case 6: apdu.push_back(static_cast<std::uint8_t>(random())); break;
    case 7:
        if (apdu.size() > 5) apdu[4] = static_cast<std::uint8_t>(random());
        break;
    default: break;  // most commands arrive unchanged, so sequences get somewhere
    }
    return apdu;
}

bool documentedStatus(std::uint16_t sw) {
    static const std::set<std::uint16_t> exact = {0x9000, 0x6581, 0x6700, 0x6981, 0x6982, 0x6983, 0x6985,
                                                  0x6A80, 0x6A82, 0x6A83, 0x6A84, 0x6A86, 0x6A89, 0x6B00,
                                                  0x6D00, 0x6E00, 0x6F00, 0x6F03, 0x6F18};
    const unsigned sw1 = sw >> 8;
    return exact.count(sw) != 0 || sw1 == 0x61 || sw1 == 0x6C || (sw & 0xFFF0) == 0x63C0;
}

// Follows each chain from the heads through the headers' next fields; every
// object is met once and every chain ends with 8000.
void expectWalkableChains(CardEngine& card, std::size_t objectCount) {
    ASSERT_EQ("9000", swOf(card.transmit(hex("00 A4 04 00 09 F0 56 58 46 52 01 00 00 41"))));
    Bytes heads = card.transmit(hex("80 0A 00 00 0A"));
    ASSERT_EQ("9000", swOf(heads));
    static const std::uint8_t headerSizes[] = {17, 27, 18, 27, 33};
    std::set<std::uint16_t> seen;
    for (int chain = 0; chain < 5; ++chain) {
        std::uint16_t id = static_cast<std::uint16_t>(heads[2 * chain] << 8 | heads[2 * chain + 1]);
        while (id != 0x8000) {
            ASSERT_TRUE(seen.insert(id).second) << "block " << id << " met twice";
            Bytes header = card.transmit({0x80, 0x18, static_cast<std::uint8_t>(id >> 8),
                                          static_cast<std::uint8_t>(id & 0xFF), headerSizes[chain]});
            ASSERT_EQ("9000", swOf(header)) << "chain " << chain << " block " << id;
            id = static_cast<std::uint16_t>(header[1] << 8 | header[2]);
        }
    }
    EXPECT_EQ(objectCount, seen.size());
}

TEST(SequenceFuzzTest, MutatedSequencesAnswerDocumentedStatusWordsAndKeepAValidCard) {
    const auto commands = corpus();
    for (std::uint32_t seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        auto card = CardEngine::fromState(personalise(testPersonalisation()));
        card->powerOn();
        std::mt19937 random(seed);
        for (int i = 0; i < 1000; ++i) {
            if (random() % 97 == 0) card->reset();
            for (const auto& command : commands[random() % commands.size()]) {
                Bytes apdu = mutate(command, random);
                Bytes answer;
                ASSERT_NO_THROW(answer = card->transmit(apdu)) << toHex(apdu);
                ASSERT_GE(answer.size(), 2u) << toHex(apdu);
                const auto sw = static_cast<std::uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
                ASSERT_TRUE(documentedStatus(sw)) << toHex(apdu) << " answered " << toHex(answer);
            }
        }
        ASSERT_NO_THROW(parseCardImage(formatCardImage(card->state())));
        expectWalkableChains(*card, card->state().objects.size());
    }
}

}  // namespace
}  // namespace cardsim::test
