// Writes of certificates and data objects cut off by a lost card at every
// command of their sequence. Afterwards a fresh call must see the object
// whole or not at all (a creation), or with its old or its new value (a
// replacement), and the next write of the kind must leave nothing of the
// interrupted one on the card.
#include <algorithm>
#include <functional>

#include "amw/interruptedwrite.h"
#include "ctl/ctlexception.h"
#include "ctl/pcscapi.h"
#include "internal/cmapfile.h"
#include "internal/p11objects/p11classes.h"
#include "objectstestsupport.h"
#include "testcertificate.h"

namespace {

using namespace objectstest;

// The card is pulled out when the call sends its command number `lostAt`:
// that command and every later one fail as PC/SC reports a removed card.
class LosingConnection : public cardsim::EngineConnection {
public:
    using EngineConnection::EngineConnection;
    void loseAt(std::size_t command) {
        lostAt = command;
        sentSoFar = 0;
    }
    std::uint16_t transmit(const std::uint8_t* command, std::uint32_t commandLength,
                           std::uint8_t* response, std::uint32_t* responseLength,
                           std::uint32_t flags) override {
        if (lostAt != 0 && ++sentSoFar >= lostAt) throw ctl::CtlException(ctl::PcScResult::REMOVED_CARD);
        return EngineConnection::transmit(command, commandLength, response, responseLength, flags);
    }

private:
    std::size_t lostAt = 0;
    std::size_t sentSoFar = 0;
};

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

class LostCardFixture : public CardFixture {
protected:
    void SetUp() override {
        CardFixture::SetUp();
        useLosingConnection();
    }

    void useLosingConnection() {
        auto losing = std::make_unique<LosingConnection>(*engine);
        losingConnection = losing.get();
        connection = std::move(losing);
    }

    // The card after a power cycle: what it stored, nothing it had open.
    void powerCycle() {
        startCard(engine->state());
        useLosingConnection();
    }

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

    // Objects on the card whose metadata still carries a mark.
    std::size_t markedOnCard() const {
        // The mark's tag: what every state of the mark starts with.
        const StaticBuffer<128> mark =
            amw::interruptedwrite::marked(StaticBuffer<128>(), amw::interruptedwrite::Mark::CREATING);
        const Bytes tag(mark.data, mark.data + amw::interruptedwrite::MARK_SIZE - 1);
        std::size_t count = 0;
        for (const auto& object : engine->state().objects) {
            if (std::search(object.metadata.begin(), object.metadata.end(), tag.begin(), tag.end()) !=
                object.metadata.end())
                ++count;
        }
        return count;
    }

    // Runs `write` in a call that loses the card at command `lostAt`; the
    // card is then power-cycled.
    void cutOff(std::size_t lostAt, const std::function<void(amw::CachedToken&)>& write) {
        {
            auto call = beginCall();
            losingConnection->loseAt(lostAt);
            bool failed = false;
            try {
                write(*call);
            } catch (const VxException&) {
                failed = true;
            }
            EXPECT_TRUE(failed) << "the call did not see the card go";
            losingConnection->loseAt(0);
        }
        powerCycle();
    }

    LosingConnection* losingConnection = nullptr;
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
        {
            auto call = beginCall();
            if (write.kind == Kind::DATA_OBJECT) {
                create(*call, Kind::DATA_OBJECT, pattern(10, 1), textBytes("next"));
            } else {
                const Bytes id = textBytes("next"), value = pattern(10, 1);
                std::vector<CK_ATTRIBUTE> next = {attribute(CKA_ID, id), attribute(CKA_VALUE, value)};
                P11X509Certificate::createObject(*call, next.data(), static_cast<CK_ULONG>(next.size()));
            }
        }
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
        cm::prepareContainerInCmapfile(*call, buf<128>("first"));
    }
    const cardsim::CardState before = engine->state();
    const auto old = files();
    {
        auto call = beginCall();
        cm::prepareContainerInCmapfile(*call, buf<128>("second"));
    }
    const std::size_t commands = connection->sentCommands().size();
    const auto written = files();
    ASSERT_NE(old, written);
    for (std::size_t lostAt = 1; lostAt <= commands; ++lostAt) {
        SCOPED_TRACE("card lost at command " + std::to_string(lostAt));
        startCard(before);
        useLosingConnection();
        cutOff(lostAt, [](amw::CachedToken& call) { cm::prepareContainerInCmapfile(call, buf<128>("second")); });
        const auto seen = files();
        EXPECT_TRUE(seen == old || seen == written) << "the files are neither the old nor the new pair";
        {
            auto call = beginCall();
            cm::prepareContainerInCmapfile(*call, buf<128>("third"));
        }
        EXPECT_EQ(0u, markedOnCard()) << "a journal was left behind";
        EXPECT_EQ(seen.second.size() + cm::RECORD_SIZE, files().second.size());
    }
}

TEST(InterruptedWriteMarks, JournalRoundTripsAndAnyDamageIsSeen) {
    namespace cm = cmapfile;
    const Bytes cardcf = pattern(6, 1), map = pattern(2 * cm::RECORD_SIZE, 9);
    amw::DataStorage::Content journal, decodedCardcf, decodedMap;
    ASSERT_TRUE(cm::encodeJournal(cardcf.data(), cardcf.size(), map.data(), map.size(), journal));
    ASSERT_TRUE(cm::decodeJournal(journal.data, journal.size(), decodedCardcf, decodedMap));
    EXPECT_EQ(cardcf, bytesOf(decodedCardcf));
    EXPECT_EQ(map, bytesOf(decodedMap));
    for (std::size_t cut = 0; cut < journal.size(); ++cut) {
        EXPECT_FALSE(cm::decodeJournal(journal.data, cut, decodedCardcf, decodedMap)) << "cut at " << cut;
    }
    for (std::size_t flipped = 0; flipped < journal.size(); ++flipped) {
        amw::DataStorage::Content damaged = journal;
        damaged.data[flipped] ^= 0x01;
        EXPECT_FALSE(cm::decodeJournal(damaged.data, damaged.size(), decodedCardcf, decodedMap)) << "byte " << flipped;
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
