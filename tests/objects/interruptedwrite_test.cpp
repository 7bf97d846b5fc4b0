// Writes of certificates and data objects cut off by a lost card at every
// command of their sequence. Afterwards a fresh call must see the object
// whole or not at all (a creation), or with its old or its new value (a
// replacement), and the next write of the kind must leave nothing of the
// interrupted one on the card.
#include <algorithm>
#include <filesystem>
#include <functional>

#include "amw/interruptedwrite.h"
#include "ctl/ctlexception.h"
#include "ctl/pcscapi.h"
#include "internal/cmapfile.h"
#include "internal/p11objects/p11classes.h"
#include "foreignwriter.h"
#include "mapwriter.h"
#include "lostcard.h"
#include "objectstestsupport.h"
#include "testcertificate.h"

namespace {

using namespace objectstest;

enum class Kind { DATA_OBJECT, CERTIFICATE };

struct Write {
    const char* name;
    Kind kind;
    bool replacing;
};

void PrintTo(const Write& write, std::ostream* out) { *out << write.name; }

const Bytes OLD_VALUE = pattern(700, 3);
const Bytes NEW_VALUE = pattern(900, 11);
const Bytes CERTIFICATE_ID = textBytes("interrupted");

class LostCardFixture : public LosingCardFixture {
protected:
    static std::vector<CK_ATTRIBUTE> templateFor(Kind kind, const Bytes& value, const Bytes& label) {
        std::vector<CK_ATTRIBUTE> attributes = {attribute(CKA_LABEL, label), attribute(CKA_VALUE, value)};
        if (kind == Kind::CERTIFICATE) attributes.push_back(attribute(CKA_ID, CERTIFICATE_ID));
        return attributes;
    }

    static void create(amw::CachedToken& call, Kind kind, const Bytes& value, const Bytes& label) {
        auto attributes = templateFor(kind, value, label);
        const auto count = static_cast<CK_ULONG>(attributes.size());
        if (kind == Kind::DATA_OBJECT) {
            P11DataObject::createObject(call, attributes.data(), count);
        } else {
            P11X509Certificate::createObject(call, attributes.data(), count);
        }
    }

    static void replace(amw::CachedToken& call, Kind kind, const Bytes& value) {
        std::unique_ptr<P11Object> view;
        if (kind == Kind::DATA_OBJECT) {
            view = std::make_unique<P11DataObject>(call.getDataObjects().front().get());
        } else {
            view = std::make_unique<P11X509Certificate>(call.findCertificate(buf<128>("interrupted")));
        }
        view->setAttributeValue(CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size()));
        view->commitChanges(call);
    }

    // The write under test, in the given call.
    static void perform(amw::CachedToken& call, const Write& write) {
        if (write.replacing) {
            replace(call, write.kind, NEW_VALUE);
        } else {
            create(call, write.kind, NEW_VALUE, textBytes("written"));
        }
    }

    // The next write of the kind after a cut: a new object with the value
    // pattern(10, 1), a certificate under the identifier "next".
    static void writeNext(amw::CachedToken& call, Kind kind) {
        if (kind == Kind::DATA_OBJECT) {
            create(call, Kind::DATA_OBJECT, pattern(10, 1), textBytes("next"));
        } else {
            const Bytes id = textBytes("next"), value = pattern(10, 1);
            std::vector<CK_ATTRIBUTE> next = {attribute(CKA_ID, id), attribute(CKA_VALUE, value)};
            P11X509Certificate::createObject(call, next.data(), static_cast<CK_ULONG>(next.size()));
        }
        call.refreshCache();
    }

    // The values of the objects of the kind a fresh call can see.
    std::vector<Bytes> visibleValues(Kind kind) {
        auto call = beginCall();
        std::vector<Bytes> values;
        const auto collect = [&](auto& list) {
            for (auto& object : list) {
                if (amw::interruptedwrite::markOf(object->getPkcs11Id()) != amw::interruptedwrite::Mark::NONE)
                    continue;
                const auto& content = object->getContent();
                values.emplace_back(content.data, content.data + content.size());
            }
        };
        if (kind == Kind::DATA_OBJECT) {
            collect(call->getDataObjects());
        } else {
            collect(call->getCertificates());
        }
        return values;
    }

};

class InterruptedWrites : public LostCardFixture, public ::testing::WithParamInterface<Write> {};

TEST_P(InterruptedWrites, EveryCutLeavesTheObjectWholeAndTheNextWriteClearsTheRest) {
    const Write& write = GetParam();
    if (write.replacing) {
        auto call = beginCall();
        create(*call, write.kind, OLD_VALUE, textBytes("written"));
    }
    const cardsim::CardState before = engine->state();

    perform(*beginCall(), write);
    const std::size_t commands = connection->sentCommands().size();
    ASSERT_GT(commands, 3u);
    EXPECT_EQ(0u, markedOnCard());
    EXPECT_EQ(std::vector<Bytes>{NEW_VALUE}, visibleValues(write.kind));

    for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
        SCOPED_TRACE(std::string(write.name) + ", card lost at command " + std::to_string(lostAt));
        startCard(before);
        useLosingConnection();
        cutOff(lostAt, [&](amw::CachedToken& call) { perform(call, write); });

        const std::vector<Bytes> seen = visibleValues(write.kind);
        if (write.replacing) {
            ASSERT_EQ(1u, seen.size());
            EXPECT_TRUE(seen[0] == OLD_VALUE || seen[0] == NEW_VALUE);
        } else {
            ASSERT_LE(seen.size(), 1u);
            if (!seen.empty()) {
                EXPECT_EQ(NEW_VALUE, seen[0]);
            }
        }

        // The next writer of the kind settles what the cut left.
        writeNext(*beginCall(), write.kind);
        EXPECT_EQ(0u, markedOnCard());
        std::vector<Bytes> after = visibleValues(write.kind);
        after.erase(std::remove(after.begin(), after.end(), pattern(10, 1)), after.end());
        EXPECT_EQ(seen, after) << "settling changed what was visible";
        const cardsim::CardState settled = engine->state();
        const auto kindOnCard =
            write.kind == Kind::DATA_OBJECT ? cardsim::ObjectKind::DATA_OBJECT : cardsim::ObjectKind::CERTIFICATE;
        const auto objectsOfKind = static_cast<std::size_t>(std::count_if(
            settled.objects.begin(), settled.objects.end(),
            [&](const cardsim::CardObject& o) { return o.kind == kindOnCard; }));
        EXPECT_EQ(seen.size() + 1, objectsOfKind) << "leftovers still use card memory";
    }
}

// The same cuts, then another writer (the platform's stack, or an earlier
// release) adds a container record and raises the card cache file's
// counters, then our next write of the kind runs with the cache files it
// had before that change: the other writer's record is kept, a certificate
// claims neither its container nor the one after, and the card cache file's
// counters never stand for two different maps.
TEST_P(InterruptedWrites, EveryCutThenAForeignWriteKeepsTheForeignChange) {
    namespace cm = cmapfile;
    const Write& write = GetParam();
    {
        auto call = beginCall();
        addNewPair(*call, "ours");
        if (write.replacing) create(*call, write.kind, OLD_VALUE, textBytes("written"));
    }
    const cardsim::CardState before = engine->state();
    perform(*beginCall(), write);
    const std::size_t commands = connection->sentCommands().size();
    for (const auto foreignKind : {ForeignWriter::Kind::PLATFORM, ForeignWriter::Kind::EARLIER_RELEASE}) {
        for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
            SCOPED_TRACE(std::string(write.name) + ", card lost at command " + std::to_string(lostAt) +
                         (foreignKind == ForeignWriter::Kind::PLATFORM ? ", platform" : ", earlier release"));
            if (!cachingDir.empty()) std::filesystem::remove_all(cachingDir);
            startCard(before);
            useLosingConnection();
            cutOff(lostAt, [&](amw::CachedToken& call) { perform(call, write); });
            // Our cache files as they were before the other writer came
            // (written by a call without the user's rights, which settles
            // nothing: the cut's leftovers stay for our write).
            {
                auto reader = beginCall(true, false);
                reader->getFiles();
                reader->getCertificates();
                reader->getDataObjects();
                reader->getKeyPairs();
                reader->refreshCache();
            }
            ForeignWriter([this] { return beginCall(); }, foreignKind).addRecord("FOREIGN");
            const Bytes foreignCardcf = fileOnCard(CARDCF_BLOCK);
            const Bytes foreignMap = fileOnCard(CMAPFILE_BLOCK);
            const std::uint8_t foreignIndex = static_cast<std::uint8_t>(foreignMap.size() / cm::RECORD_SIZE - 1);

            writeNext(*beginCall(true), write.kind);

            const Bytes map = fileOnCard(CMAPFILE_BLOCK);
            ASSERT_GE(map.size(), foreignMap.size());
            EXPECT_TRUE(std::equal(foreignMap.begin(), foreignMap.end(), map.begin()))
                << "a record the other writer left was changed";
            const Bytes cardcf = fileOnCard(CARDCF_BLOCK);
            if (cardcf == foreignCardcf) {
                EXPECT_EQ(foreignMap, map) << "counters repeated over different contents";
            }
            if (write.kind == Kind::CERTIFICATE) {
                auto call = beginCall();
                amw::X509Certificate* next = call->findCertificate(buf<128>("next"));
                ASSERT_NE(nullptr, next);
                // No record is free: the certificate must claim none of the
                // card's records, nor the next one to be appended.
                EXPECT_NE(foreignIndex, next->getContainerIndex());
                EXPECT_GT(next->getContainerIndex(), map.size() / cm::RECORD_SIZE)
                    << "the certificate's container index was chosen from an old map";
            }
            EXPECT_EQ(0u, markedOnCard());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Writes, InterruptedWrites,
                         ::testing::Values(Write{"data object creation", Kind::DATA_OBJECT, false},
                                           Write{"certificate creation", Kind::CERTIFICATE, false},
                                           Write{"data object value replacement", Kind::DATA_OBJECT, true},
                                           Write{"certificate value replacement", Kind::CERTIFICATE, true}),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

// The container map and the card cache file change together through their
// journal: a cut leaves both old or both new, never a damaged one, and the
// next writer leaves no journal behind.
TEST_F(LostCardFixture, ContainerMapRewriteCutAnywhereLeavesBothFilesOldOrBothNew) {
    namespace cm = cmapfile;
    const auto files = [this] {
        auto call = beginCall();
        const cm::Files found = cm::loadCmapfileAndCardcf(*call);
        const auto& cardcf = found.cardcf->getContent();
        const auto& map = found.cmapfile->getContent();
        return std::make_pair(Bytes(cardcf.data, cardcf.data + cardcf.size()), Bytes(map.data, map.data + map.size()));
    };
    {
        auto call = beginCall();
        addNewPair(*call, "first");
    }
    const cardsim::CardState before = engine->state();
    const auto old = files();
    {
        auto call = beginCall();
        addNewPair(*call, "second");
    }
    const std::size_t commands = connection->sentCommands().size();
    const auto written = files();
    ASSERT_NE(old, written);
    for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
        SCOPED_TRACE("card lost at command " + std::to_string(lostAt));
        startCard(before);
        useLosingConnection();
        cutOff(lostAt, [](amw::CachedToken& call) { addNewPair(call, "second"); });
        const auto seen = files();
        // The new map comes with counters raised by the write's own step.
        const bool isNew = seen.second == written.second && counterRise(old.first, seen.first) >= 2;
        EXPECT_TRUE(seen == old || isNew) << "the files are neither the old nor the new pair";
        {
            auto call = beginCall();
            addNewPair(*call, "third");
        }
        EXPECT_EQ(0u, markedOnCard()) << "a journal was left behind";
        EXPECT_EQ(seen.second.size() + cm::RECORD_SIZE, files().second.size());
    }
}

// After every cut, a writer that knows no journal (the platform's stack or
// an earlier release) changes the map; our next write keeps its record and
// never puts counters on the card that already stood for other contents.
class CutThenForeignWrite : public LostCardFixture,
                            public ::testing::WithParamInterface<ForeignWriter::Kind> {};

TEST_P(CutThenForeignWrite, ForeignRecordSurvivesAndCountersNeverRepeat) {
    namespace cm = cmapfile;
    {
        auto call = beginCall();
        addNewPair(*call, "first");
    }
    const cardsim::CardState before = engine->state();
    {
        auto call = beginCall();
        addNewPair(*call, "second");
    }
    const std::size_t commands = connection->sentCommands().size();
    for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
        SCOPED_TRACE("card lost at command " + std::to_string(lostAt));
        startCard(before);
        useLosingConnection();
        cutOff(lostAt, [](amw::CachedToken& call) { addNewPair(call, "second"); });
        ForeignWriter([this] { return beginCall(); }, GetParam()).addRecord("FOREIGN");
        const Bytes foreignCardcf = fileOnCard(CARDCF_BLOCK);
        const Bytes foreignMap = fileOnCard(CMAPFILE_BLOCK);
        {
            auto call = beginCall();
            addNewPair(*call, "third");
        }
        const Bytes map = fileOnCard(CMAPFILE_BLOCK);
        std::size_t foreignRecords = 0;
        for (std::size_t at = 0; at + cm::RECORD_SIZE <= map.size(); at += cm::RECORD_SIZE) {
            if (map[at] == 'F' && map[at + 2] == 'O' && map[at + 80] == cm::FLAG_VALID) ++foreignRecords;
        }
        EXPECT_EQ(1u, foreignRecords) << "the foreign record was lost";
        EXPECT_EQ(foreignMap.size() + cm::RECORD_SIZE, map.size());
        ASSERT_GE(foreignCardcf.size(), 6u);
        const Bytes cardcf = fileOnCard(CARDCF_BLOCK);
        const int rise = counterRise(foreignCardcf, cardcf);
        EXPECT_GE(rise, 2) << "counters repeated over different contents";
        EXPECT_EQ(0u, markedOnCard()) << "a journal was left behind";
    }
}

INSTANTIATE_TEST_SUITE_P(Writers, CutThenForeignWrite,
                         ::testing::Values(ForeignWriter::Kind::PLATFORM, ForeignWriter::Kind::EARLIER_RELEASE),
                         [](const auto& info) {
                             return std::string(info.param == ForeignWriter::Kind::PLATFORM ? "Platform"
                                                                                            : "EarlierRelease");
                         });

// A key generation cut anywhere leaves either nothing or a whole key pair;
// the next map writer gives a pair without its record the record.
TEST_F(LostCardFixture, GenerationCutAnywhereLeavesNoRecordWithoutItsKey) {
    namespace cm = cmapfile;
    const cardsim::CardState before = engine->state();
    const auto generate = [](amw::CachedToken& call) {
        call.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
        const std::uint8_t index = cm::chooseContainerIndex(call);
        call.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, false);
        amw::KeyPair* pair = call.generateKeyPair(buf<128>("pub"), buf<128>("priv"), 1024, index,
                                                  amw::KeyPair::KEY_EXCHANGE_KEY, buf<128>("gen"), 0,
                                                  StaticBuffer<256>(Bytes{1, 0, 1}.data(), 3));
        pair->commitCreationOrMetadataChanges();
        cm::addContainerInCmapfile(call, index, buf<128>("gen"), amw::KeyPair::KEY_EXCHANGE_KEY, 1024);
    };
    generate(*beginCall());
    // The get-response command (C0) is sent inside the exchange of the
    // command it answers and is not a cut point of its own.
    const std::size_t commands = connection->sentCommands().size() - sentWithIns(0xC0);
    for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
        SCOPED_TRACE("card lost at command " + std::to_string(lostAt));
        startCard(before);
        useLosingConnection();
        cutOff(lostAt, generate);
        {
            auto call = beginCall();
            addNewPair(*call, "next");
        }
        auto call = beginCall();
        const bool pairOnCard = call->findKeyPair(buf<128>("gen")) != nullptr;
        const Bytes map = fileOnCard(CMAPFILE_BLOCK);
        const std::size_t records = map.size() / cm::RECORD_SIZE;
        std::size_t withKeySize = 0;
        for (std::size_t i = 0; i < records; ++i) {
            if (map[i * cm::RECORD_SIZE + 84] == 0x00 && map[i * cm::RECORD_SIZE + 85] == 0x04) ++withKeySize;
        }
        EXPECT_EQ(pairOnCard ? 1u : 0u, withKeySize);
        EXPECT_EQ(pairOnCard ? 2u : 1u, records) << "a record was leaked or lost";
    }
}

// A replacement cut off after its old object was deleted is adopted by every
// reader; the first writer of any kind writes its identifier, even when an
// earlier call had the list from the card and this one from the cache file.
TEST_F(LostCardFixture, AdoptedReplacementIsSettledByTheNextWriterOfAnyKind) {
    namespace iw = amw::interruptedwrite;
    {
        auto call = beginCall();
        call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
        const StaticBuffer<128> none;
        amw::DataObject* cut = call->createDataObject(none, iw::marked(buf<128>("real"), iw::Mark::REPLACED), none,
                                                      none, 0xFFFF, 0x0101, 0xFFFF, 0xFFFF);
        cut->commitCreationOrMetadataChanges();
    }
    ASSERT_EQ(1u, markedOnCard());
    {
        auto reader = beginCall(true);
        EXPECT_NE(nullptr, reader->findDataObject(buf<128>("real")));
        reader->refreshCache();
    }
    {
        auto writer = beginCall(true);
        addNewPair(*writer, "key");
        writer->refreshCache();
    }
    EXPECT_EQ(0u, markedOnCard());
    auto call = beginCall(true);
    EXPECT_NE(nullptr, call->findDataObject(buf<128>("real")));
}

// The first call that holds the user's rights settles the leftovers of the
// lists it loads though it only reads, whether the lists came from the card
// or from a cache file; a call without leftovers sends nothing for it.
TEST_F(LostCardFixture, LoggedInReaderSettlesTheLeftoversOfTheListsItLoads) {
    namespace iw = amw::interruptedwrite;
    for (bool fromCacheFile : {false, true}) {
        SCOPED_TRACE(fromCacheFile ? "certificates from the cache file" : "lists from the card");
        cardsim::Personalisation options;
        options.userPin = USER_PIN;
        startCard(cardsim::personalise(options));
        useLosingConnection();
        {
            auto call = beginCall();
            const StaticBuffer<128> none;
            call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
            call->createDataObject(none, iw::marked(buf<128>("real"), iw::Mark::REPLACED), none, none, 0xFFFF,
                                   0x0101, 0xFFFF, 0xFFFF)
                ->commitCreationOrMetadataChanges();
            call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
            call->createCertificate(none, iw::marked(buf<128>("cut"), iw::Mark::CREATING), 0, 1, false, 0xFFFF,
                                    0xFFFF, 0xFFFF)
                ->commitCreationOrMetadataChanges();
        }
        ASSERT_EQ(2u, markedOnCard());
        if (fromCacheFile) {
            // A call without the user's rights reads the lists and saves them.
            auto reader = beginCall(true, false);
            reader->getCertificates();
            reader->getDataObjects();
            reader->refreshCache();
            EXPECT_EQ(2u, markedOnCard()) << "settled without the user's rights";
        }
        {
            auto reader = beginCall(true);
            EXPECT_NE(nullptr, reader->findDataObject(buf<128>("real")));
            EXPECT_EQ(nullptr, reader->findCertificate(buf<128>("cut")));
            EXPECT_EQ(!fromCacheFile, reader->isListFromCard(amw::CachedToken::CACHED_OBJECT_CERTIFICATE));
            reader->refreshCache();
        }
        EXPECT_EQ(0u, markedOnCard());
        {
            auto reader = beginCall();
            EXPECT_NE(nullptr, reader->findDataObject(buf<128>("real")));
            reader->getCertificates();
            const std::size_t sent = connection->sentCommands().size();
            reader->refreshCache();
            EXPECT_EQ(sent, connection->sentCommands().size()) << "commands sent with nothing to settle";
        }
    }
}

// A certificate cut off before its value was whole is removed by the next
// writer, though that writer writes a data object (or a key's label).
TEST_F(LostCardFixture, LeftoverOfOneKindIsRemovedByAWriterOfAnother) {
    namespace iw = amw::interruptedwrite;
    const auto leaveCertificate = [this] {
        auto call = beginCall();
        call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
        call->createCertificate(buf<128>(""), iw::marked(buf<128>("cut"), iw::Mark::CREATING), 0, 1, false, 0xFFFF,
                                0xFFFF, 0xFFFF)
            ->commitCreationOrMetadataChanges();
    };
    leaveCertificate();
    ASSERT_EQ(1u, markedOnCard());
    create(*beginCall(true), Kind::DATA_OBJECT, pattern(10, 1), textBytes("other kind"));
    EXPECT_EQ(0u, markedOnCard());
}

TEST(InterruptedWriteMarks, JournalRoundTripsAndAnyDamageIsSeen) {
    namespace cm = cmapfile;
    const Bytes old = pattern(6, 3), cardcf = pattern(6, 1), map = pattern(2 * cm::RECORD_SIZE, 9);
    auto journal = std::make_unique<amw::DataStorage::Content>();
    auto decoded = std::make_unique<cm::JournalContents>();
    ASSERT_TRUE(cm::encodeJournal(old.data(), old.size(), map.data(), 86, cardcf.data(), cardcf.size(), map.data(),
                                  map.size(), *journal));
    ASSERT_TRUE(cm::decodeJournal(journal->data, journal->size(), *decoded));
    EXPECT_TRUE(decoded->hasOldCardcf);
    EXPECT_EQ(old, bytesOf(decoded->oldCardcf));
    EXPECT_EQ(cardcf, bytesOf(decoded->cardcf));
    EXPECT_EQ(map, bytesOf(decoded->map));
    for (std::size_t cut = 0; cut < journal->size(); ++cut) {
        EXPECT_FALSE(cm::decodeJournal(journal->data, cut, *decoded)) << "cut at " << cut;
    }
    for (std::size_t flipped = 0; flipped < journal->size(); ++flipped) {
        auto damaged = std::make_unique<amw::DataStorage::Content>(*journal);
        damaged->data[flipped] ^= 0x01;
        EXPECT_FALSE(cm::decodeJournal(damaged->data, damaged->size(), *decoded)) << "byte " << flipped;
    }
}

// A journal is applied only over its own new card cache file, or over a cut
// or old one while the map is still the one it was written over.
TEST(InterruptedWriteMarks, JournalAppliesOnlyOverTheFilesItWasWrittenOver) {
    namespace cm = cmapfile;
    const Bytes old = {1, 0, 5, 0, 5, 0}, written = {1, 0, 6, 0, 6, 0}, foreign = {1, 0, 7, 0, 7, 0};
    const Bytes oldMap = pattern(86, 2), foreignMap = pattern(172, 4);
    auto journal = std::make_unique<amw::DataStorage::Content>();
    ASSERT_TRUE(cm::encodeJournal(old.data(), old.size(), oldMap.data(), oldMap.size(), written.data(),
                                  written.size(), foreignMap.data(), foreignMap.size(), *journal));
    auto contents = std::make_unique<cm::JournalContents>();
    ASSERT_TRUE(cm::decodeJournal(journal->data, journal->size(), *contents));
    struct Case { Bytes cardcf; Bytes map; bool applies; };
    const Case cases[] = {
        {old, oldMap, true},       {written, Bytes(), true},     {Bytes{1, 0}, oldMap, true},
        {Bytes(), oldMap, true},   {foreign, oldMap, false},    {Bytes{1, 0}, foreignMap, false},
        {old, foreignMap, false},  {foreign, foreignMap, false},
        // The new counters over another writer's whole map of the new length.
        {written, pattern(172, 9), false}, {written, Bytes(172, 0), true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.applies, cm::journalMatchesCard(*contents, c.cardcf.data(), c.cardcf.size(), c.map.data(),
                                                    c.map.size()));
    }
}

TEST(InterruptedWriteMarks, MarkRoundTripsAndIsRecognisedOnlyWhole) {
    namespace iw = amw::interruptedwrite;
    const auto id = buf<128>("id");
    EXPECT_EQ(iw::Mark::NONE, iw::markOf(id));
    EXPECT_EQ(iw::Mark::CREATING, iw::markOf(iw::marked(id, iw::Mark::CREATING)));
    EXPECT_EQ(iw::Mark::REPLACING, iw::markOf(iw::marked(id, iw::Mark::REPLACING)));
    EXPECT_TRUE(iw::unmarked(iw::marked(id, iw::Mark::REPLACING)).equals(id));
    EXPECT_TRUE(iw::unmarked(id).equals(id));
    StaticBuffer<128> cut = iw::marked(id, iw::Mark::CREATING);
    cut.assign(cut.data, iw::MARK_SIZE - 1);
    EXPECT_EQ(iw::Mark::NONE, iw::markOf(cut));
    const StaticBuffer<128> longest(Bytes(iw::MAX_MARKABLE_ID, 7).data(), iw::MAX_MARKABLE_ID);
    EXPECT_TRUE(iw::canMark(longest));
    EXPECT_FALSE(iw::canMark(StaticBuffer<128>(Bytes(iw::MAX_MARKABLE_ID + 1, 7).data(), iw::MAX_MARKABLE_ID + 1)));
}

}  // namespace
