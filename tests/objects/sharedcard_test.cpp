// A card shared with other writers of the container map and the card cache
// file: their changes survive our writes, a full card takes every write that
// fits in place, and identifiers carrying the write mark are refused.
#include "amw/exceptions.h"
#include "amw/interruptedwrite.h"
#include "foreignwriter.h"
#include "internal/p11objects/p11classes.h"
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

std::uint16_t containerCounter(const Bytes& cardcf) { return static_cast<std::uint16_t>(cardcf[2] | (cardcf[3] << 8)); }

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
        cm::prepareContainerInCmapfile(*call, buf<128>("ours"));
        call->refreshCache();
    }
    foreign(ForeignWriter::Kind::PLATFORM).addRecord("PLATFORM");
    foreign(ForeignWriter::Kind::PLATFORM).moveDefault(1);
    const std::uint16_t platformCounter = containerCounter(fileOnCard(CARDCF_BLOCK));
    {
        auto call = beginCall(true);
        EXPECT_EQ(2, cm::prepareContainerInCmapfile(*call, buf<128>("second")));
        call->refreshCache();
    }
    const Bytes map = fileOnCard(CMAPFILE_BLOCK);
    ASSERT_EQ(3 * cm::RECORD_SIZE, map.size());
    EXPECT_EQ(1u, recordsNamed(map, "PLATFORM"));
    EXPECT_EQ(cm::FLAG_VALID | cm::FLAG_DEFAULT, map[cm::RECORD_SIZE + 80]);
    EXPECT_EQ(platformCounter + 1, containerCounter(fileOnCard(CARDCF_BLOCK)));
    auto call = beginCall(true);
    EXPECT_EQ(1, cm::getDefaultCertificateContainerIndex(*call));
}

TEST_F(SharedCard, CertificateIndexIsChosenFromTheCardsMap) {
    {
        auto call = beginCall(true);
        cm::prepareContainerInCmapfile(*call, buf<128>("ours"));
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

TEST_F(SharedCard, ShortCardCacheFileWithoutJournalIsRebuiltWithRaisedCounters) {
    setFileOnCard(CARDCF_BLOCK, Bytes{7, 9});
    auto call = beginCall();
    EXPECT_EQ(0, cm::prepareContainerInCmapfile(*call, buf<128>("abc")));
    EXPECT_EQ((Bytes{7, 0, 1, 0, 1, 0}), fileOnCard(CARDCF_BLOCK));
    EXPECT_EQ(cm::RECORD_SIZE, fileOnCard(CMAPFILE_BLOCK).size());
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
    EXPECT_EQ(0, cm::prepareContainerInCmapfile(*call, buf<128>("abc")));
    EXPECT_EQ(cm::FLAG_VALID, fileOnCard(CMAPFILE_BLOCK)[80]);
    EXPECT_EQ(objectsBefore, engine->state().objects.size()) << "a journal was left";
}

// The card answers "out of memory" to every object creation: no room for a
// second object, while a write in place still fits.
class NoRoomForASecondObject : public cardsim::EngineConnection {
public:
    using EngineConnection::EngineConnection;
    bool full = false;
    std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength, std::uint8_t* response,
                           std::uint32_t* responseLength, std::uint32_t flags) override {
        if (full && commandLength > 1 && command[1] == 0x3E) {
            *responseLength = 0;
            return 0x6F03;
        }
        return EngineConnection::transmit(command, commandLength, response, responseLength, flags);
    }
};

class FullCard : public SharedCard {
protected:
    void SetUp() override {
        SharedCard::SetUp();
        auto limited = std::make_unique<NoRoomForASecondObject>(*engine);
        card = limited.get();
        connection = std::move(limited);
    }
    NoRoomForASecondObject* card = nullptr;
};

TEST_F(FullCard, ValueChangeIsWrittenInPlace) {
    {
        auto call = beginCall();
        const Bytes value = pattern(300, 1);
        std::vector<CK_ATTRIBUTE> attributes = {attribute(CKA_VALUE, value)};
        P11DataObject::createObject(*call, attributes.data(), static_cast<CK_ULONG>(attributes.size()));
    }
    card->full = true;
    const Bytes newValue = pattern(300, 5);
    {
        auto call = beginCall();
        P11DataObject view(call->getDataObjects().front().get());
        view.setAttributeValue(CKA_VALUE, newValue.data(), static_cast<CK_ULONG>(newValue.size()));
        EXPECT_EQ("no exception", messageOf<VxException>([&] { view.commitChanges(*call); }));
    }
    auto call = beginCall();
    ASSERT_EQ(1u, call->getDataObjects().size());
    EXPECT_EQ(newValue, bytesOf(call->getDataObjects().front()->getContent()));
}

TEST_F(FullCard, MapWritesAreMadeInPlaceAndAHalfsDestroyIsWhole) {
    {
        auto call = beginCall();
        const std::uint8_t index = cm::prepareContainerInCmapfile(*call, buf<128>("ours"));
        cm::commitContainerInCmapfile(*call, index, amw::KeyPair::SIGNATURE_KEY, 2048);
    }
    card->full = true;
    const std::size_t objectsBefore = engine->state().objects.size();
    {
        auto call = beginCall();
        EXPECT_NO_THROW(cm::setDefaultCertificate(*call, 0));
        EXPECT_NO_THROW(cm::deleteContainerInCmapfile(*call, 0, amw::KeyPair::SIGNATURE_KEY));
    }
    EXPECT_EQ(objectsBefore, engine->state().objects.size());
    EXPECT_EQ(0, fileOnCard(CMAPFILE_BLOCK)[80]);
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
