// A card shared with other writers of the container map and the card cache
// file: their changes survive our writes, a full card takes every write that
// fits in place, and identifiers carrying the write mark are refused.
#include <algorithm>
#include <functional>
#include <set>

#include "amw/exceptions.h"
#include "amw/interruptedwrite.h"
#include "foreignwriter.h"
#include "internal/p11objects/p11classes.h"
#include "mapwriter.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

using namespace objectstest;
namespace cm = cmapfile;

std::size_t recordsNamed(const Bytes& map, const std::string& name) {
    std::size_t count = 0;
    for (std::size_t at = 0; at + cm::RECORD_SIZE <= map.size(); at += cm::RECORD_SIZE) {
        bool same = map[at + 2 * name.size()] == 0;
        for (std::size_t i = 0; i < name.size(); ++i) same = same && map[at + 2 * i] == name[i];
        if (same && map[at + 80] != 0) ++count;
    }
    return count;
}

class SharedCard : public CardFixture {
protected:
    ForeignWriter foreign(ForeignWriter::Kind kind) {
        return ForeignWriter([this] { return beginCall(); }, kind);
    }
};

// Our cache files say the map is current (the platform never touches the
// freshness block); the card cache file on the card says otherwise.
TEST_F(SharedCard, MapWriteAfterThePlatformsChangeKeepsItsRecordAndDefault) {
    {
        auto call = beginCall(true);
        addNewPair(*call, "ours");
        call->refreshCache();
    }
    foreign(ForeignWriter::Kind::PLATFORM).addRecord("PLATFORM");
    foreign(ForeignWriter::Kind::PLATFORM).moveDefault(1);
    const Bytes platformCardcf = fileOnCard(CARDCF_BLOCK);
    {
        auto call = beginCall(true);
        EXPECT_EQ(2, addNewPair(*call, "second"));
        call->refreshCache();
    }
    const Bytes map = fileOnCard(CMAPFILE_BLOCK);
    ASSERT_EQ(3 * cm::RECORD_SIZE, map.size());
    EXPECT_EQ(1u, recordsNamed(map, "PLATFORM"));
    EXPECT_EQ(cm::FLAG_VALID | cm::FLAG_DEFAULT, map[cm::RECORD_SIZE + 80]);
    expectRaisedByWrites(1, platformCardcf, fileOnCard(CARDCF_BLOCK));
    auto call = beginCall(true);
    EXPECT_EQ(1, cm::getDefaultCertificateContainerIndex(*call));
}

TEST_F(SharedCard, CertificateIndexIsChosenFromTheCardsMap) {
    {
        auto call = beginCall(true);
        addNewPair(*call, "ours");
        call->refreshCache();
    }
    foreign(ForeignWriter::Kind::PLATFORM).addRecord("PLATFORM");
    auto call = beginCall(true);
    std::uint8_t index = 0;
    std::uint32_t keySpec = 0;
    P11X509Certificate::getKeySpecContainerIndexForNewCertificate(*call, buf<128>("c"), &index, &keySpec);
    // Both records are taken: one past the next record to be appended.
    EXPECT_EQ(3, index);
}

// Rebuilt without a whole copy, the counters start from random values, not
// zero: values used long ago must not stand for this map.
TEST_F(SharedCard, ShortCardCacheFileWithoutJournalIsRebuiltWithRandomCounters) {
    std::set<Bytes> counters;
    for (int rebuild = 0; rebuild < 4; ++rebuild) {
        setFileOnCard(CARDCF_BLOCK, Bytes{7, 9});
        auto call = beginCall();
        addNewPair(*call, ("k" + std::to_string(rebuild)).c_str());
        const Bytes cardcf = fileOnCard(CARDCF_BLOCK);
        ASSERT_EQ(6u, cardcf.size());
        EXPECT_EQ(7, cardcf[0]) << "the version was not kept";
        counters.insert(Bytes(cardcf.begin() + 2, cardcf.end()));
    }
    EXPECT_EQ(4u, counters.size()) << "rebuilt counters repeat";
    EXPECT_EQ(0u, counters.count(Bytes{1, 0, 1, 0})) << "counters restarted at zero";
}

TEST_F(SharedCard, MapTooBigForItsJournalIsWrittenInPlace) {
    // Record 0 free, every other record valid: the map and a journal of it
    // would not fit in one object.
    const std::size_t records = 760;
    Bytes map(records * cm::RECORD_SIZE, 0);
    for (std::size_t i = 1; i < records; ++i) {
        map[i * cm::RECORD_SIZE] = 'X';
        map[i * cm::RECORD_SIZE + 80] = cm::FLAG_VALID;
    }
    setFileOnCard(CMAPFILE_BLOCK, map);
    const std::size_t objectsBefore = engine->state().objects.size();
    auto call = beginCall();
    EXPECT_EQ(0, addNewPair(*call, "abc"));
    EXPECT_EQ(cm::FLAG_VALID, fileOnCard(CMAPFILE_BLOCK)[80]);
    EXPECT_EQ(objectsBefore, engine->state().objects.size()) << "a journal was left";
}

// A full card on the simulated card's own memory accounting: filled with
// data objects until its free blocks are exactly what the write needs when
// made in place (the card's memory after the write, less before). Each write
// must succeed and leave the card as it would with room to spare; nothing
// may be left half done. The writes run one after the other on one card: a
// data object's value grows, the default container moves, a key pair's
// public half is destroyed and imported again.
class FullCard : public SharedCard {
protected:
    static constexpr std::uint8_t FILLER = 0xF1;

    // The filler: a data object of our own making whose value is then grown
    // on the card image to take the blocks the test does not want free.
    void addFiller() {
        auto call = beginCall();
        const Bytes one{FILLER};
        const Bytes label = textBytes("filler");
        std::vector<CK_ATTRIBUTE> attributes = {attribute(CKA_LABEL, label), attribute(CKA_VALUE, one)};
        P11DataObject::createObject(*call, attributes.data(), static_cast<CK_ULONG>(attributes.size()));
        for (const auto& object : engine->state().objects) {
            if (object.content && *object.content == one) fillerBlock = object.blockId;
        }
        ASSERT_NE(cardsim::BLOCK_ID_NONE, fillerBlock);
    }

    static std::uint32_t freeBlocks(const cardsim::CardState& state) {
        return state.blockCount - state.usedBlocks();
    }

    // Starts `state` with the filler grown so that `free` blocks stay free.
    void startFilled(cardsim::CardState state, std::uint32_t free) {
        cardsim::CardObject* filler = state.findObject(fillerBlock);
        const std::uint32_t grow = freeBlocks(state) - free;
        filler->content->resize(filler->content->size() + std::size_t{grow} * state.blockSize, FILLER);
        // The value's last block was partly filled: the growth above may have
        // taken one block fewer.
        while (freeBlocks(state) > free) filler->content->resize(filler->content->size() + state.blockSize, FILLER);
        ASSERT_EQ(free, freeBlocks(state));
        startCard(state);
    }

    // What the module's objects hold, whatever blocks they were written to,
    // without the filler.
    std::vector<Bytes> objectsOnCard() const {
        std::vector<Bytes> found;
        for (const auto& object : engine->state().objects) {
            if (object.blockId == fillerBlock) continue;
            Bytes record{static_cast<std::uint8_t>(object.kind)};
            record.insert(record.end(), object.metadata.begin(), object.metadata.end());
            if (object.content) record.insert(record.end(), object.content->begin(), object.content->end());
            // Each write raises the card cache file's counters by a step of its own.
            if (object.blockId == CARDCF_BLOCK) std::fill(record.end() - 4, record.end(), 0);
            record.insert(record.end(), object.key.n.begin(), object.key.n.end());
            record.push_back(object.key.hasPrivate() ? 1 : 0);
            found.push_back(record);
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    std::uint16_t fillerBlock = cardsim::BLOCK_ID_NONE;
};

TEST_F(FullCard, EveryWriteThatFitsInPlaceSucceedsOnACardFilledToItsNeed) {
    namespace cm = cmapfile;
    const Bytes pairId = textBytes("pair");
    {
        auto call = beginCall();
        const Bytes value = pattern(300, 1);
        std::vector<CK_ATTRIBUTE> data = {attribute(CKA_VALUE, value)};
        P11DataObject::createObject(*call, data.data(), static_cast<CK_ULONG>(data.size()));
        call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
        const std::uint8_t index = cm::chooseContainerIndex(*call);
        call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, false);
        call->generateKeyPair(buf<128>("pub"), buf<128>("priv"), 1024, index, amw::KeyPair::KEY_EXCHANGE_KEY,
                              StaticBuffer<128>(pairId.data(), pairId.size()), 0,
                              StaticBuffer<256>(Bytes{1, 0, 1}.data(), 3))
            ->commitCreationOrMetadataChanges();
        cm::addContainerInCmapfile(*call, index, StaticBuffer<128>(pairId.data(), pairId.size()),
                                   amw::KeyPair::KEY_EXCHANGE_KEY, 1024);
    }
    addFiller();
    Bytes modulus;
    for (const auto& object : engine->state().objects) {
        if (object.kind == cardsim::ObjectKind::KEY_PAIR) modulus = object.key.n;
    }
    ASSERT_EQ(128u, modulus.size());
    const Bytes exponent{1, 0, 1};

    struct Step {
        const char* name;
        std::function<void(amw::CachedToken&)> write;
        std::function<void()> check;
    };
    const StaticBuffer<128> pair(pairId.data(), pairId.size());
    const auto record = [this] { return fileOnCard(CMAPFILE_BLOCK); };
    const Step steps[] = {
        {"value of a data object grows",
         [](amw::CachedToken& call) {
             const Bytes value = pattern(700, 5);
             P11DataObject view(call.getDataObjects().front().get());
             view.setAttributeValue(CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size()));
             view.commitChanges(call);
         },
         [this] {
             auto call = beginCall();
             EXPECT_EQ(pattern(700, 5), bytesOf(call->getDataObjects().front()->getContent()));
         }},
        {"default container", [](amw::CachedToken& call) { cm::setDefaultCertificate(call, 0); },
         [&] { EXPECT_EQ(cm::FLAG_VALID | cm::FLAG_DEFAULT, record()[80]); }},
        {"public half destroyed",
         [&](amw::CachedToken& call) {
             P11RsaPublicKey view(call.findKeyPair(StaticBuffer<128>(pairId.data(), pairId.size())));
             view.destroyObjectFromCard(&call);
         },
         // The half and its record are gone together (no key size is left).
         [&] {
             EXPECT_FALSE(beginCall()->findKeyPair(pair)->hasPublicKey());
             EXPECT_EQ(Bytes(cm::RECORD_SIZE, 0), record());
         }},
        {"public half imported",
         [&](amw::CachedToken& call) {
             const Bytes publicClass = ulongBytes(CKO_PUBLIC_KEY), rsa = ulongBytes(CKK_RSA);
             std::vector<CK_ATTRIBUTE> key = {attribute(CKA_CLASS, publicClass), attribute(CKA_KEY_TYPE, rsa),
                                              attribute(CKA_ID, pairId), attribute(CKA_MODULUS, modulus),
                                              attribute(CKA_PUBLIC_EXPONENT, exponent)};
             P11RsaPublicKey::createObject(call, key.data(), static_cast<CK_ULONG>(key.size()));
         },
         [&] {
             EXPECT_TRUE(beginCall()->findKeyPair(pair)->isComplete());
             EXPECT_EQ(cm::FLAG_VALID, record()[80]);
             EXPECT_EQ(0x04, record()[85]) << "the key size is back in the record";
         }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        const cardsim::CardState before = engine->state();
        // With room to spare: what the write leaves and what it costs in place.
        step.write(*beginCall());
        const std::vector<Bytes> written = objectsOnCard();
        const cardsim::CardState roomy = engine->state();
        const std::uint32_t need =
            roomy.usedBlocks() > before.usedBlocks() ? roomy.usedBlocks() - before.usedBlocks() : 0;
        // Filled to exactly that.
        startFilled(before, need);
        EXPECT_EQ("no exception", messageOf<VxException>([&] { step.write(*beginCall()); }));
        EXPECT_EQ(written, objectsOnCard()) << "the full card was left otherwise than a roomy one";
        step.check();
        // The next step starts from this card with room again.
        cardsim::CardState next = engine->state();
        next.findObject(fillerBlock)->content = Bytes{FILLER};
        startCard(next);
    }
    EXPECT_EQ(cm::RECORD_SIZE, record().size());
}

// Objects made by other software with conditions of their own keep them
// when a value is replaced, whether the object was listed from the card or
// read from a cache file.
TEST_F(SharedCard, ReplacedValueKeepsTheOriginalsAccessConditions) {
    using cardsim::AC_EVERYONE;
    using cardsim::AC_USER;
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "lists from the cache files" : "lists from the card");
        {
            auto call = beginCall();
            call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
            call->createCertificate(buf<128>("c"), buf<128>("cert"), 0, 1, false, AC_EVERYONE, AC_USER, AC_USER)
                ->commitCreationOrMetadataChanges();
            call->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
            call->createDataObject(buf<128>("d"), buf<128>("data"), buf<128>(""), buf<128>(""), AC_USER, AC_EVERYONE,
                                   AC_USER, AC_USER)
                ->commitCreationOrMetadataChanges();
            call->refreshCache();
        }
        const auto accessOf = [this](cardsim::ObjectKind kind) {
            for (const auto& object : engine->state().objects) {
                if (object.kind == kind) return object.ac;
            }
            return std::array<std::uint16_t, 4>{};
        };
        const auto certificateBefore = accessOf(cardsim::ObjectKind::CERTIFICATE);
        const auto dataBefore = accessOf(cardsim::ObjectKind::DATA_OBJECT);
        if (cached) beginCall(true)->refreshCache();
        {
            auto call = beginCall(cached);
            const Bytes value = pattern(40, 3);
            P11X509Certificate certificate(call->findCertificate(buf<128>("cert")));
            certificate.setAttributeValue(CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size()));
            certificate.commitChanges(*call);
            P11DataObject data(call->findDataObject(buf<128>("data")));
            data.setAttributeValue(CKA_VALUE, value.data(), static_cast<CK_ULONG>(value.size()));
            data.commitChanges(*call);
            call->refreshCache();
        }
        EXPECT_EQ(certificateBefore, accessOf(cardsim::ObjectKind::CERTIFICATE));
        EXPECT_EQ(dataBefore, accessOf(cardsim::ObjectKind::DATA_OBJECT));
        EXPECT_EQ(AC_EVERYONE, accessOf(cardsim::ObjectKind::CERTIFICATE)[0]);
        cardsim::Personalisation options;
        options.userPin = USER_PIN;
        startCard(cardsim::personalise(options));
    }
}

TEST_F(SharedCard, IdentifierCarryingTheMarkIsRefusedBeforeTheCard) {
    const StaticBuffer<128> markedId =
        amw::interruptedwrite::marked(buf<128>("x"), amw::interruptedwrite::Mark::CREATING);
    Bytes id(markedId.data, markedId.data + markedId.size());
    // Any byte after the tag, not only a known state.
    id[amw::interruptedwrite::MARK_SIZE - 1] = '?';
    const CardSnapshot before = snapshot();
    auto call = beginCall();
    const Bytes value = pattern(20, 1);
    std::vector<CK_ATTRIBUTE> certificate = {attribute(CKA_ID, id), attribute(CKA_VALUE, value)};
    EXPECT_THROW(P11X509Certificate::createObject(*call, certificate.data(), static_cast<CK_ULONG>(certificate.size())),
                 AttributValueInvalidException);
    const Bytes bits = ulongBytes(1024);
    std::vector<CK_ATTRIBUTE> publicKey = {attribute(CKA_ID, id), attribute(CKA_MODULUS_BITS, bits)};
    EXPECT_THROW(P11RsaPublicKey::parseTemplate(publicKey.data(), static_cast<CK_ULONG>(publicKey.size()),
                                                P11RsaPublicKey::GENERATION_REQUIRED),
                 AttributValueInvalidException);
    EXPECT_EQ(before, snapshot());
}

}  // namespace
