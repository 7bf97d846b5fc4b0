// The container map on a card shared with other writers, after one of our
// map writes was cut off by a lost card: what readers, other writers and
// our next write then see. Nothing another writer did may be lost, no
// container index of ours claimed twice or left without its record, and a
// write that succeeded stays done.
#include <algorithm>
#include <functional>
#include <iostream>

#include "foreignwriter.h"
#include "internal/p11objects/p11classes.h"
#include "lostcard.h"
#include "mapwriter.h"
#include "p11exceptions.h"

namespace {

using namespace objectstest;
namespace cm = cmapfile;

const Bytes EXPONENT = {1, 0, 1};

// The index of the record that carries the identifier's container name, or
// -1 when none does.
int recordOf(const Bytes& map, const std::string& id) {
    for (std::size_t i = 0; (i + 1) * cm::RECORD_SIZE <= map.size(); ++i) {
        if (map[i * cm::RECORD_SIZE + cm::FLAGS_OFFSET] != 0 &&
            cm::recordNamedFor(map.data() + i * cm::RECORD_SIZE, buf<128>(id)))
            return static_cast<int>(i);
    }
    return -1;
}

// A record with a plain ASCII name, as another writer names its containers.
Bytes foreignRecord(const std::string& name, std::uint8_t flags) {
    Bytes record(cm::RECORD_SIZE, 0);
    for (std::size_t i = 0; i < name.size(); ++i) record[2 * i] = static_cast<std::uint8_t>(name[i]);
    record[cm::FLAGS_OFFSET] = flags;
    record[83] = 0x08;
    return record;
}

// The records in use in `before` that `after` does not hold unchanged.
std::vector<std::size_t> changedRecords(const Bytes& before, const Bytes& after) {
    std::vector<std::size_t> changed;
    for (std::size_t at = 0; at + cm::RECORD_SIZE <= before.size(); at += cm::RECORD_SIZE) {
        if (before[at + cm::FLAGS_OFFSET] == 0) continue;
        if (at + cm::RECORD_SIZE > after.size() ||
            !std::equal(before.begin() + at, before.begin() + at + cm::RECORD_SIZE, after.begin() + at))
            changed.push_back(at / cm::RECORD_SIZE);
    }
    return changed;
}

class MapCuts : public LosingCardFixture {
protected:
    ForeignWriter foreign(ForeignWriter::Kind kind) {
        return ForeignWriter([this] { return beginCall(); }, kind);
    }

    // Key generation as the session makes it, in one call.
    static void generate(amw::CachedToken& call, const std::string& id) {
        call.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
        const std::uint8_t index = cm::chooseContainerIndex(call);
        call.increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, false);
        call.generateKeyPair(buf<128>("pub"), buf<128>("priv"), 1024, index, amw::KeyPair::KEY_EXCHANGE_KEY,
                             buf<128>(id), 0, StaticBuffer<256>(EXPONENT.data(), EXPONENT.size()))
            ->commitCreationOrMetadataChanges();
        cm::addContainerInCmapfile(call, index, buf<128>(id), amw::KeyPair::KEY_EXCHANGE_KEY, 1024);
    }

    static void importCertificate(amw::CachedToken& call, const std::string& id) {
        const Bytes idBytes = textBytes(id), value = pattern(40, 7);
        std::vector<CK_ATTRIBUTE> certificate = {attribute(CKA_ID, idBytes), attribute(CKA_VALUE, value)};
        P11X509Certificate::createObject(call, certificate.data(), static_cast<CK_ULONG>(certificate.size()));
    }

    static void destroyPublicHalf(amw::CachedToken& call, const std::string& id) {
        P11RsaPublicKey view(call.findKeyPair(buf<128>(id)));
        view.destroyObjectFromCard(&call);
    }
    static void destroyPairsPublicHalf(amw::CachedToken& call) { destroyPublicHalf(call, "pair"); }

    // The commands `write` sends in a call of its own on the card `state`.
    std::size_t commandsOf(const cardsim::CardState& state, const std::function<void(amw::CachedToken&)>& write) {
        startCard(state);
        useLosingConnection();
        write(*beginCall());
        // The get-response command (C0) is sent inside the exchange of the
        // command it answers and is not a cut point of its own.
        return connection->sentCommands().size() - sentWithIns(0xC0);
    }

    void restart(const cardsim::CardState& state) {
        if (!cachingDir.empty()) std::filesystem::remove_all(cachingDir);
        startCard(state);
        useLosingConnection();
    }

    // `write` on the card `before`, cut off at each of its commands in turn
    // (each time on a fresh copy of that card), then `afterCut`.
    void forEveryCut(const cardsim::CardState& before, const std::function<void(amw::CachedToken&)>& write,
                     const std::function<void()>& afterCut) {
        const std::size_t commands = commandsOf(before, write);
        for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
            SCOPED_TRACE("card lost at command " + std::to_string(lostAt));
            restart(before);
            cutOff(lostAt, write);
            afterCut();
        }
    }
};

// A reader that loads the map while our cut-off write's journal is on the
// card must not save the journal's contents as the cached files: another
// writer then writes from the card's real files and may raise the counters
// to exactly the journal's, and our next write would take the cache's map
// for the card's.
TEST_F(MapCuts, ReaderOfAJournalCachesNothingThatHidesTheNextForeignWrite) {
    {
        auto call = beginCall(true);
        addNewPair(*call, "first");
        call->refreshCache();
    }
    const cardsim::CardState before = engine->state();
    const std::size_t commands = commandsOf(before, [](amw::CachedToken& call) { addNewPair(call, "second"); });
    for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
        SCOPED_TRACE("card lost at command " + std::to_string(lostAt));
        restart(before);
        {
            auto call = beginCall(true);
            call->getFiles();
            call->refreshCache();
        }
        cutOff(lostAt, [](amw::CachedToken& call) { addNewPair(call, "second"); });
        {
            auto reader = beginCall(true, false);
            messageOf<VxException>([&] { cm::getDefaultCertificateContainerIndex(*reader); });
            reader->refreshCache();
        }
        {
            // What the files cache now says the card holds.
            auto call = beginCall(true, false);
            for (const auto& file : call->getFiles()) {
                if (!file->getFileName().equals(buf<8>("cardcf"))) continue;
                EXPECT_EQ(fileOnCard(CARDCF_BLOCK), bytesOf(file->getContent())) << "the cache holds another card cache file";
            }
        }
        foreign(ForeignWriter::Kind::PLATFORM).moveDefault(0);
        const Bytes foreignMap = fileOnCard(CMAPFILE_BLOCK);
        const bool platformMarked = foreignMap.size() >= cm::RECORD_SIZE && (foreignMap[80] & cm::FLAG_DEFAULT) != 0;
        {
            auto reader = beginCall(true, false);
            EXPECT_EQ(platformMarked ? "no exception" : "Default certificate not found.",
                      messageOf<VxException>([&] { EXPECT_EQ(0, cm::getDefaultCertificateContainerIndex(*reader)); }));
            reader->refreshCache();
        }
        {
            auto call = beginCall(true);
            addNewPair(*call, "third");
            call->refreshCache();
        }
        EXPECT_EQ(std::vector<std::size_t>{}, changedRecords(foreignMap, fileOnCard(CMAPFILE_BLOCK)))
            << "a record the platform wrote was changed";
    }
}

// A key generation cut after the key exists and before its record: a
// certificate without a key pair imported next must not take the pair's
// index; one that an earlier release put there anyway moves away when the
// pair gets its record. Either way the pair's own certificate can then be
// made the default.
TEST_F(MapCuts, CertificateWithoutAPairNeverTakesTheIndexOfAPairLeftWithoutItsRecord) {
    // A free record before another writer's: the pair takes it.
    Bytes map(cm::RECORD_SIZE, 0);
    const Bytes other = foreignRecord("F", cm::FLAG_VALID);
    map.insert(map.end(), other.begin(), other.end());
    setFileOnCard(CMAPFILE_BLOCK, map);
    const cardsim::CardState before = engine->state();
    const std::size_t commands = commandsOf(before, [](amw::CachedToken& call) { generate(call, "gen"); });
    for (const bool byEarlierRelease : {false, true}) {
        std::size_t cutsWithoutRecord = 0;
        for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
            SCOPED_TRACE("card lost at command " + std::to_string(lostAt) +
                         (byEarlierRelease ? ", certificate placed by an earlier release" : ""));
            restart(before);
            cutOff(lostAt, [](amw::CachedToken& call) { generate(call, "gen"); });
            std::uint8_t cutIndex = 0;
            {
                auto call = beginCall();
                const amw::KeyPair* pair = call->findKeyPair(buf<128>("gen"));
                if (pair == nullptr || recordOf(fileOnCard(CMAPFILE_BLOCK), "gen") >= 0) continue;
                cutIndex = pair->getContainerIndex();
            }
            ++cutsWithoutRecord;
            if (byEarlierRelease) {
                auto call = beginCall();
                addCertificate(*call, "ca", cutIndex);
            } else {
                importCertificate(*beginCall(), "ca");
                EXPECT_NE(cutIndex, beginCall()->findCertificate(buf<128>("ca"))->getContainerIndex())
                    << "the certificate took the pair's index";
            }
            importCertificate(*beginCall(), "gen");
            {
                auto call = beginCall();
                EXPECT_EQ("no exception", messageOf<VxException>([&] {
                              cm::setDefaultCertificate(*call, call->findCertificate(buf<128>("gen"))->getContainerIndex());
                          }));
            }
            auto call = beginCall();
            const Bytes map = fileOnCard(CMAPFILE_BLOCK);
            const std::uint8_t pairIndex = call->findKeyPair(buf<128>("gen"))->getContainerIndex();
            EXPECT_EQ(static_cast<int>(pairIndex), recordOf(map, "gen")) << "the pair has no record";
            EXPECT_NE(pairIndex, call->findCertificate(buf<128>("ca"))->getContainerIndex()) << "index claimed twice";
            EXPECT_EQ(pairIndex, call->findCertificate(buf<128>("gen"))->getContainerIndex());
            EXPECT_EQ(pairIndex, cm::getDefaultCertificateContainerIndex(*call));
        }
        EXPECT_GT(cutsWithoutRecord, 0u);
    }
}

// A destroy of a public half cut anywhere: the pair is whole with its record
// and default mark, or has lost the half and its record; the next map
// writer never leaves a whole pair without its default mark.
TEST_F(MapCuts, CutDestroyOfAHalfKeepsTheDefaultOfTheWholePair) {
    generate(*beginCall(), "pair");
    cm::setDefaultCertificate(*beginCall(), 0);
    forEveryCut(engine->state(), destroyPairsPublicHalf, [&] {
        addNewPair(*beginCall(), "next");
        const Bytes map = fileOnCard(CMAPFILE_BLOCK);
        const bool whole = beginCall()->findKeyPair(buf<128>("pair"))->isComplete();
        EXPECT_EQ(whole ? 0 : -1, recordOf(map, "pair"));
        if (whole) {
            EXPECT_EQ(cm::FLAG_VALID | cm::FLAG_DEFAULT, map[cm::FLAGS_OFFSET]);
        }
    });
}

// The same cuts, then the remaining private half is destroyed: once the pair
// is gone nothing could tell that a record naming it was ours, so the record
// goes first.
TEST_F(MapCuts, LastHalfDestroyedAfterACutTakesTheRecordLeftNamingItsPair) {
    generate(*beginCall(), "pair");
    forEveryCut(engine->state(), destroyPairsPublicHalf, [&] {
        {
            auto call = beginCall();
            amw::KeyPair* pair = call->findKeyPair(buf<128>("pair"));
            if (pair->isComplete()) destroyPublicHalf(*call, "pair");
        }
        {
            auto call = beginCall();
            P11RsaPrivateKey view(call->findKeyPair(buf<128>("pair")));
            view.destroyObjectFromCard(call.get());
        }
        EXPECT_EQ(nullptr, beginCall()->findKeyPair(buf<128>("pair")));
        EXPECT_EQ(-1, recordOf(fileOnCard(CMAPFILE_BLOCK), "pair"));
    });
}

// Our write fills a free record in the middle and is cut off; another writer
// then deletes a container from the same old files. Its raised counters
// must not pass for our journal's, or the deleted container comes back.
TEST_F(MapCuts, ContainerDeletedByAnotherWriterAfterACutStaysDeleted) {
    setFileOnCard(CMAPFILE_BLOCK, [] {
        Bytes map = foreignRecord("A", cm::FLAG_VALID);
        map.resize(2 * cm::RECORD_SIZE, 0);
        const Bytes b = foreignRecord("B", cm::FLAG_VALID);
        map.insert(map.end(), b.begin(), b.end());
        return map;
    }());
    const cardsim::CardState before = engine->state();
    for (const auto kind : {ForeignWriter::Kind::PLATFORM, ForeignWriter::Kind::EARLIER_RELEASE}) {
        SCOPED_TRACE(kind == ForeignWriter::Kind::PLATFORM ? "platform" : "earlier release");
        forEveryCut(before, [](amw::CachedToken& call) { addNewPair(call, "mid"); }, [&] {
            foreign(kind).deleteRecord(2);
            const Bytes foreignMap = fileOnCard(CMAPFILE_BLOCK);
            addNewPair(*beginCall(), "next");
            const Bytes map = fileOnCard(CMAPFILE_BLOCK);
            EXPECT_EQ(std::vector<std::size_t>{}, changedRecords(foreignMap, map));
            EXPECT_FALSE(map.size() >= 3 * cm::RECORD_SIZE && map[2 * cm::RECORD_SIZE] == 'B' &&
                         map[2 * cm::RECORD_SIZE + cm::FLAGS_OFFSET] != 0)
                << "the deleted container came back";
        });
    }
}

// Every map write of ours (and the certificate import that chooses a
// container from the map) cut at every command, then a reader of each kind,
// then another writer's change of each kind, then our next map write. The
// card holds two whole pairs P (the default) and Q, another writer's
// container F, and the private half of H.
class MapCutMatrix : public MapCuts {
protected:
    enum class Reader { LISTS, MAP, CERTIFICATE_IMPORT };
    enum class Foreign { ADDS, MOVES_DEFAULT, DELETES };

    struct Write {
        const char* name;
        std::function<void(amw::CachedToken&)> run;
    };

    void SetUp() override {
        MapCuts::SetUp();
        cardsim::Personalisation options;
        options.userPin = USER_PIN;
        options.keySlots = {{1024, 8}};
        startCard(cardsim::personalise(options));
        useLosingConnection();
        generate(*beginCall(), "P");
        generate(*beginCall(), "Q");
        cm::setDefaultCertificate(*beginCall(), 0);
        foreign(ForeignWriter::Kind::PLATFORM).addRecord("F");
        generate(*beginCall(), "H");
        {
            auto call = beginCall();
            const auto& modulus = call->findKeyPair(buf<128>("H"))->getPublicPart().modulus;
            hModulus.assign(modulus.data, modulus.data + modulus.size());
        }
        destroyPublicHalf(*beginCall(), "H");
        base = engine->state();
        ASSERT_EQ(4 * cm::RECORD_SIZE, fileOnCard(CMAPFILE_BLOCK).size());
    }

    static void generateWithContainer(amw::CachedToken& call, const std::string& id) {
        cm::addKeyPairWithContainer(call, [&](std::uint8_t index) -> amw::KeyPair& {
            amw::KeyPair* pair =
                call.generateKeyPair(buf<128>("pub"), buf<128>("priv"), 1024, index, amw::KeyPair::KEY_EXCHANGE_KEY,
                                     buf<128>(id), 0, StaticBuffer<256>(EXPONENT.data(), EXPONENT.size()));
            pair->commitCreationOrMetadataChanges();
            return *pair;
        });
    }

    void addPublicHalf(amw::CachedToken& call) const {
        const Bytes publicClass = ulongBytes(CKO_PUBLIC_KEY), rsa = ulongBytes(CKK_RSA), id = textBytes("H");
        std::vector<CK_ATTRIBUTE> key = {attribute(CKA_CLASS, publicClass), attribute(CKA_KEY_TYPE, rsa),
                                         attribute(CKA_ID, id), attribute(CKA_MODULUS, hModulus),
                                         attribute(CKA_PUBLIC_EXPONENT, EXPONENT)};
        P11RsaPublicKey::createObject(call, key.data(), static_cast<CK_ULONG>(key.size()));
    }

    void read(Reader reader) {
        auto call = beginCall(true, reader == Reader::CERTIFICATE_IMPORT);
        switch (reader) {
        case Reader::LISTS:
            call->getKeyPairs();
            call->getCertificates();
            call->getFiles();
            call->getDataObjects();
            break;
        case Reader::MAP:
            messageOf<VxException>([&] { cm::getDefaultCertificateContainerIndex(*call); });
            break;
        case Reader::CERTIFICATE_IMPORT:
            EXPECT_EQ("no exception", messageOf<VxException>([&] { importCertificate(*call, "r"); }));
            break;
        }
        call->refreshCache();
    }

    void writeForeign(Foreign kind) {
        ForeignWriter writer = foreign(ForeignWriter::Kind::PLATFORM);
        const int f = foreignIndex(fileOnCard(CMAPFILE_BLOCK));
        switch (kind) {
        case Foreign::ADDS: writer.addRecord("G2"); break;
        case Foreign::MOVES_DEFAULT: writer.moveDefault(static_cast<std::size_t>(f)); break;
        case Foreign::DELETES: writer.deleteRecord(static_cast<std::size_t>(f)); break;
        }
    }

    static int foreignIndex(const Bytes& map) {
        for (std::size_t i = 0; (i + 1) * cm::RECORD_SIZE <= map.size(); ++i) {
            if (map[i * cm::RECORD_SIZE] == 'F' && map[i * cm::RECORD_SIZE + 2] == 0 &&
                map[i * cm::RECORD_SIZE + cm::FLAGS_OFFSET] != 0)
                return static_cast<int>(i);
        }
        return -1;
    }

    // What must hold once our next write has run.
    void expectSound(const Bytes& foreignMap, const char* writeName, bool readerImported) {
        const Bytes map = fileOnCard(CMAPFILE_BLOCK);
        auto call = beginCall();
        // Our key pairs; "N" names the next write's record, which has no key.
        const std::vector<std::string> ours = {"P", "Q", "H", "G"};
        // Another writer's records, those of its own containers, are kept.
        for (std::size_t at = 0; at + cm::RECORD_SIZE <= foreignMap.size(); at += cm::RECORD_SIZE) {
            if (foreignMap[at + cm::FLAGS_OFFSET] == 0) continue;
            const bool named = std::any_of(ours.begin(), ours.end(), [&](const std::string& id) {
                return cm::recordNamedFor(foreignMap.data() + at, buf<128>(id));
            });
            if (named) continue;
            EXPECT_TRUE(at + cm::RECORD_SIZE <= map.size() &&
                        std::equal(foreignMap.begin() + at, foreignMap.begin() + at + cm::RECORD_SIZE, map.begin() + at))
                << "another writer's record " << at / cm::RECORD_SIZE << " was changed";
        }
        EXPECT_EQ(foreignIndex(foreignMap), foreignIndex(map)) << "another writer's container came back or went";
        // Every whole pair of ours has its record, with its size; no record
        // names a pair of ours that is not whole. A pair keeps its index (the
        // card holds it in the pair's header): when another writer wrote over
        // a map our cut left damaged and put a container of its own there,
        // the pair cannot get its record back.
        std::vector<std::uint8_t> claimed;
        for (const std::string& id : ours) {
            const amw::KeyPair* pair = call->findKeyPair(buf<128>(id));
            const int record = recordOf(map, id);
            if (pair == nullptr || !pair->isComplete()) {
                EXPECT_EQ(-1, record) << "a record names " << id << ", which is not a whole pair";
                continue;
            }
            const std::size_t at = std::size_t{pair->getContainerIndex()} * cm::RECORD_SIZE;
            const bool heldByOther = at + cm::RECORD_SIZE <= foreignMap.size() &&
                                     foreignMap[at + cm::FLAGS_OFFSET] != 0 &&
                                     !cm::recordNamedFor(foreignMap.data() + at, buf<128>(id));
            if (heldByOther) {
                ++pairsLostToOverwrittenMaps;
                continue;
            }
            EXPECT_EQ(static_cast<int>(pair->getContainerIndex()), record) << id << " has no record";
            if (record >= 0) {
                EXPECT_EQ(0x04, map[static_cast<std::size_t>(record) * cm::RECORD_SIZE + 85]) << id << " lost its size";
            }
            claimed.push_back(pair->getContainerIndex());
        }
        // A certificate without a pair claims no index another claims.
        for (const auto& certificate : call->getCertificates()) {
            if (call->findKeyPair(certificate->getPkcs11Id()) == nullptr) claimed.push_back(certificate->getContainerIndex());
        }
        std::vector<std::uint8_t> sorted = claimed;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted.end(), std::adjacent_find(sorted.begin(), sorted.end())) << "an index is claimed twice";
        // Calls that succeeded stay done.
        EXPECT_EQ(readerImported, call->findCertificate(buf<128>("r")) != nullptr);
        EXPECT_LE(0, recordOf(map, "N")) << "our next write is gone";
        // The default stays where the other writer's map has it (our cut
        // write's own move included, once it reached the card), unless it
        // marked P and P has lost a half since.
        const auto defaultOf = [](const Bytes& records) {
            for (std::size_t i = 0; (i + 1) * cm::RECORD_SIZE <= records.size(); ++i) {
                if ((records[i * cm::RECORD_SIZE + cm::FLAGS_OFFSET] & cm::FLAG_DEFAULT) != 0) return static_cast<int>(i);
            }
            return -1;
        };
        int expected = defaultOf(foreignMap);
        const amw::KeyPair* p = call->findKeyPair(buf<128>("P"));
        if (expected >= 0 && expected == p->getContainerIndex() && !p->isComplete()) expected = -1;
        EXPECT_EQ(expected, defaultOf(map)) << "the default mark is wrong (after " << writeName << ")";
    }

    std::size_t pairsLostToOverwrittenMaps = 0;
    cardsim::CardState base;
    Bytes hModulus;
};

TEST_F(MapCutMatrix, CutThenReaderThenForeignWriteThenOurWriteLosesNothing) {
    const Write writes[] = {
        {"key generation", [](amw::CachedToken& call) { generateWithContainer(call, "G"); }},
        {"public half added", [this](amw::CachedToken& call) { addPublicHalf(call); }},
        {"default moved", [](amw::CachedToken& call) { cm::setDefaultCertificate(call, 1); }},
        {"half destroyed", [](amw::CachedToken& call) { destroyPublicHalf(call, "P"); }},
        {"certificate imported", [](amw::CachedToken& call) { importCertificate(call, "ca"); }},
    };
    for (const Write& write : writes) {
        const std::size_t commands = commandsOf(base, write.run);
        for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
            for (const Reader reader : {Reader::LISTS, Reader::MAP, Reader::CERTIFICATE_IMPORT}) {
                for (const Foreign foreignKind : {Foreign::ADDS, Foreign::MOVES_DEFAULT, Foreign::DELETES}) {
                    SCOPED_TRACE(std::string(write.name) + ", card lost at command " + std::to_string(lostAt) +
                                 ", reader " + std::to_string(static_cast<int>(reader)) + ", foreign write " +
                                 std::to_string(static_cast<int>(foreignKind)));
                    restart(base);
                    cutOff(lostAt, write.run);
                    read(reader);
                    writeForeign(foreignKind);
                    const Bytes foreignMap = fileOnCard(CMAPFILE_BLOCK);
                    {
                        auto call = beginCall(true);
                        EXPECT_EQ("no exception", messageOf<VxException>([&] { addNewPair(*call, "N"); }));
                        call->refreshCache();
                    }
                    expectSound(foreignMap, write.name, reader == Reader::CERTIFICATE_IMPORT);
                    if (HasFailure()) return;
                }
            }
        }
    }
    std::cout << "pairs left without a record by another writer over a cut map: " << pairsLostToOverwrittenMaps
              << std::endl;
}

}  // namespace
