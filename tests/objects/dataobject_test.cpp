// Data objects created through their template parser and read and changed
// through their view, on the simulated card.
#include <fstream>
#include <iterator>

#include "internal/p11objects/p11classes.h"
#include "logger.h"
#include "objectstestsupport.h"
#include "p11exceptions.h"
#include "vxexception.h"

namespace {

using namespace objectstest;

constexpr CK_ULONG MAX_CONTENT = 65535;

class DataObjects : public CardFixture {
protected:
    StaticBuffer<128> create(std::vector<CK_ATTRIBUTE> attributes) {
        auto call = beginCall();
        return P11DataObject::createObject(*call, attributes.data(),
                                           static_cast<CK_ULONG>(attributes.size()));
    }

    // The view over the object in a fresh call; the call must outlive it.
    std::unique_ptr<P11DataObject> view(amw::CachedToken& call, const StaticBuffer<128>& id) {
        amw::DataObject* object = call.findDataObject(id);
        EXPECT_NE(nullptr, object);
        return std::make_unique<P11DataObject>(object);
    }

    // The one data object on the card.
    const cardsim::CardObject* onCard(cardsim::CardState& state) {
        const cardsim::CardObject* found = nullptr;
        for (const auto& object : state.objects) {
            if (object.kind == cardsim::ObjectKind::DATA_OBJECT) found = &object;
        }
        return found;
    }
};

Bytes read(P11Object& object, CK_ATTRIBUTE_TYPE type) {
    CK_ULONG length = 0;
    object.getAttributeValue(type, nullptr, &length);
    Bytes value(length);
    object.getAttributeValue(type, value.data(), &length);
    value.resize(length);
    return value;
}

TEST_F(DataObjects, EveryAttributeReadsItsValueAnswersSizeQueriesAndRefusesAShortBuffer) {
    const Bytes label = textBytes("notes"), application = textBytes("zentrik-app"),
                oid = {0x06, 0x03, 0x2A, 0x03, 0x04}, value = pattern(300, 5);
    const StaticBuffer<128> id =
        create({attribute(CKA_LABEL, label), attribute(CKA_APPLICATION, application),
                attribute(CKA_OBJECT_ID, oid), attribute(CKA_VALUE, value)});
    struct Row {
        CK_ATTRIBUTE_TYPE type;
        Bytes expected;
    };
    const Row rows[] = {
        {CKA_CLASS, ulongBytes(CKO_DATA)},
        {CKA_TOKEN, {1}},
        {CKA_MODIFIABLE, {1}},
        {CKA_PRIVATE, {0}},
        {CKA_LABEL, label},
        {CKA_APPLICATION, application},
        {CKA_OBJECT_ID, oid},
        {CKA_VALUE, value},
    };
    auto call = beginCall();
    auto object = view(*call, id);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        EXPECT_TRUE(P11DataObject::supportsAttributeType(row.type));
        CK_ULONG length = 12345;
        object->getAttributeValue(row.type, nullptr, &length);
        EXPECT_EQ(row.expected.size(), length);
        EXPECT_EQ(row.expected, read(*object, row.type));

        Bytes shortBuffer(row.expected.size());
        length = static_cast<CK_ULONG>(row.expected.size() - 1);
        const std::string expectedMessage =
            AttributeBufferTooSmallException(length, length + 1).what();
        ASSERT_NE(std::string::npos,
                  expectedMessage.find("expected=" + std::to_string(row.expected.size())));
        EXPECT_EQ(expectedMessage, messageOf<AttributeBufferTooSmallException>([&] {
                      object->getAttributeValue(row.type, shortBuffer.data(), &length);
                  }));
        EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, length);
    }
}

// Listing reads public content for the cache anyway; private content is read
// only when asked for.
TEST_F(DataObjects, SizeQueryOfAPrivateValueSendsNoContentRead) {
    const Bytes value = pattern(1000, 1), yes = {CK_TRUE};
    const StaticBuffer<128> id = create({attribute(CKA_VALUE, value), attribute(CKA_PRIVATE, yes)});
    auto call = beginCall();
    auto object = view(*call, id);
    connection->clearSentCommands();
    CK_ULONG length = 0;
    object->getAttributeValue(CKA_VALUE, nullptr, &length);
    EXPECT_EQ(1000u, length);
    EXPECT_EQ(0u, sentWithIns(INS_READ_CONTENT));
    EXPECT_EQ(value, read(*object, CKA_VALUE));
    EXPECT_EQ(1u, sentWithIns(INS_READ_CONTENT));
}

// The view's own "[OUT]" trace of returned values; the card driver's traces
// of commands are not this layer's.
TEST_F(DataObjects, PrivateValueIsNotTracedAsAReturnedValueWhilePublicOneIs) {
    const Bytes secret = {0xC0, 0xDE, 0x5E, 0xC2, 0xE7, 0x91},
                open = {0x0B, 0xE7, 0x0B, 0xE7, 0x42, 0x17};
    const Bytes yes = {CK_TRUE};
    const StaticBuffer<128> hidden =
        create({attribute(CKA_VALUE, secret), attribute(CKA_PRIVATE, yes)});
    const StaticBuffer<128> shown = create({attribute(CKA_VALUE, open)});
    auto call = beginCall();
    EXPECT_EQ(secret, read(*view(*call, hidden), CKA_VALUE));
    EXPECT_EQ(open, read(*view(*call, shown), CKA_VALUE));
    std::ifstream in(Logger::instance().getFileName(), std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, log.find("[OUT]  0B E7 0B E7 42 17"));
    EXPECT_EQ(std::string::npos, log.find("[OUT]  C0 DE 5E C2 E7 91"));
}

TEST_F(DataObjects, TypesOutsideTheListAreInvalidForReadsAndWrites) {
    const StaticBuffer<128> id = create({});
    auto call = beginCall();
    auto object = view(*call, id);
    const Bytes some = {1, 2, 3};
    for (CK_ATTRIBUTE_TYPE type :
         {CKA_ID, CKA_KEY_TYPE, CKA_SUBJECT, CKA_TRUSTED, CKA_VENDOR_DEFINED}) {
        SCOPED_TRACE(type);
        EXPECT_FALSE(P11DataObject::supportsAttributeType(type));
        const std::string expected = AttributeTypeInvalidException(type).what();
        CK_ULONG length = 99;
        EXPECT_EQ(expected, messageOf<AttributeTypeInvalidException>(
                                [&] { object->getAttributeValue(type, nullptr, &length); }));
        EXPECT_EQ(CK_UNAVAILABLE_INFORMATION, length);
        EXPECT_EQ(expected, messageOf<AttributeTypeInvalidException>(
                                [&] { object->setAttributeValue(type, some.data(), 3); }));
    }
    EXPECT_EQ(std::string("Invalid attribute type [type=258, CKA_ID]"),
              AttributeTypeInvalidException(CKA_ID).what());
}

TEST_F(DataObjects, WritesFollowTheTableAndReachTheCardOnlyOnCommit) {
    const StaticBuffer<128> id = create({attribute(CKA_LABEL, textBytes("old"))});
    struct Row {
        CK_ATTRIBUTE_TYPE type;
        CK_ULONG maximum;  // 0: read-only
    };
    const Row rows[] = {{CKA_CLASS, 0},       {CKA_TOKEN, 0},          {CKA_PRIVATE, 0},
                        {CKA_MODIFIABLE, 0},  {CKA_LABEL, 128},        {CKA_APPLICATION, 128},
                        {CKA_OBJECT_ID, 128}, {CKA_VALUE, MAX_CONTENT}};
    const CardSnapshot before = snapshot();
    auto call = beginCall();
    auto object = view(*call, id);
    const Bytes tooLong(MAX_CONTENT + 1, 0x41);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        if (row.maximum == 0) {
            EXPECT_EQ(AttributeReadOnlyException(row.type).what(),
                      messageOf<AttributeReadOnlyException>(
                          [&] { object->setAttributeValue(row.type, tooLong.data(), 1); }));
            continue;
        }
        EXPECT_EQ(
            AttributValueInvalidException::tooBig(row.type, row.maximum + 1, row.maximum).what(),
            messageOf<AttributValueInvalidException>(
                [&] { object->setAttributeValue(row.type, tooLong.data(), row.maximum + 1); }));
        const Bytes longest(row.maximum, static_cast<std::uint8_t>(row.type + 0x30));
        object->setAttributeValue(row.type, longest.data(), row.maximum);
        EXPECT_EQ(longest, read(*object, row.type));
    }
    EXPECT_EQ("Invalid value of attribute [type=0x3]",
              messageOf<AttributValueInvalidException>(
                  [&] { object->setAttributeValue(CKA_LABEL, nullptr, 0); }));
    EXPECT_EQ(before, snapshot());

    object->commitChanges(*call);
    auto later = beginCall();
    auto again = view(*later, id);
    EXPECT_EQ(Bytes(128, CKA_LABEL + 0x30), read(*again, CKA_LABEL));
    EXPECT_EQ(Bytes(128, CKA_OBJECT_ID + 0x30), read(*again, CKA_OBJECT_ID));
    EXPECT_EQ(Bytes(MAX_CONTENT, static_cast<std::uint8_t>(CKA_VALUE + 0x30)),
              read(*again, CKA_VALUE));
}

TEST_F(DataObjects, EmptyLabelReadsAsTheHexOfTheGeneratedIdentifier) {
    const Bytes ignoredId = textBytes("mine");
    const StaticBuffer<128> id = create({attribute(CKA_ID, ignoredId)});
    EXPECT_EQ(16u, id.size());
    auto call = beginCall();
    auto object = view(*call, id);
    EXPECT_EQ(textBytes(hexText(id.data, id.size())), read(*object, CKA_LABEL));
    EXPECT_EQ(32u, read(*object, CKA_LABEL).size());
    EXPECT_EQ(nullptr, call->findDataObject(buf<128>("mine")));
}

TEST_F(DataObjects, PrivacyIsChosenAtCreationAndSetsTheCardsReadCondition) {
    struct Case {
        Bytes privateValue;  // empty: attribute absent
        bool isPrivate;
    };
    const Case cases[] = {{{}, false}, {{0}, false}, {{1}, true}, {{2}, false}};
    for (const Case& c : cases) {
        SetUp();
        std::vector<CK_ATTRIBUTE> attributes;
        if (!c.privateValue.empty()) attributes.push_back(attribute(CKA_PRIVATE, c.privateValue));
        const StaticBuffer<128> id = create(attributes);
        auto call = beginCall();
        auto object = view(*call, id);
        EXPECT_EQ(Bytes{c.isPrivate ? std::uint8_t(1) : std::uint8_t(0)},
                  read(*object, CKA_PRIVATE));
        cardsim::CardState state = engine->state();
        ASSERT_NE(nullptr, onCard(state));
        EXPECT_EQ(c.isPrivate, onCard(state)->ac[1] != cardsim::AC_EVERYONE);
    }
}

TEST_F(DataObjects, CreationWritesContentOnlyWhenAValueIsGiven) {
    create({attribute(CKA_LABEL, textBytes("empty"))});
    cardsim::CardState state = engine->state();
    ASSERT_NE(nullptr, onCard(state));
    EXPECT_TRUE(!onCard(state)->content || onCard(state)->content->empty());

    SetUp();
    const Bytes value = pattern(MAX_CONTENT, 9);
    const StaticBuffer<128> id = create({attribute(CKA_VALUE, value)});
    state = engine->state();
    ASSERT_TRUE(onCard(state)->content);
    EXPECT_EQ(value, *onCard(state)->content);
    auto call = beginCall();
    EXPECT_EQ(value, read(*view(*call, id), CKA_VALUE));
}

TEST_F(DataObjects, BadTemplatesAreRefusedBeforeTheCardIsTouched) {
    const Bytes text = textBytes("x"), twoBytes = {1, 0};
    const Bytes tooLong(MAX_CONTENT + 1, 0), longText(129, 'a');
    struct Case {
        const char* name;
        std::vector<CK_ATTRIBUTE> attributes;
        std::string message;
    };
    const Case cases[] = {
        {"repeated label",
         {attribute(CKA_LABEL, text), attribute(CKA_VALUE, text), attribute(CKA_LABEL, text)},
         "Template is inconsistent. Multiple occurence of attribute [type=3]"},
        {"value too big",
         {attribute(CKA_VALUE, tooLong)},
         "Size of attribute value is too big [type=17, actual=65536, maximum=65535]"},
        {"label too big",
         {attribute(CKA_LABEL, longText)},
         "Size of attribute value is too big [type=3, actual=129, maximum=128]"},
        {"application too big",
         {attribute(CKA_APPLICATION, longText)},
         "Size of attribute value is too big [type=16, actual=129, maximum=128]"},
        {"private of two bytes",
         {attribute(CKA_PRIVATE, twoBytes)},
         "Size of attribute value is too big [type=2, actual=2, maximum=1]"},
        {"private empty",
         {attribute(CKA_PRIVATE, Bytes())},
         "Size of attribute value is too small [type=2, actual=0, minimum=1]"},
        {"value without bytes",
         {CK_ATTRIBUTE{CKA_VALUE, nullptr, 4}},
         "Invalid value of attribute [type=0x11]"},
    };
    const CardSnapshot before = snapshot();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto call = beginCall();
        EXPECT_EQ(c.message, messageOf<VxException>([&] {
                      P11DataObject::createObject(*call, c.attributes.data(),
                                                  static_cast<CK_ULONG>(c.attributes.size()));
                  }));
        EXPECT_EQ(0u, connection->sentCommands().size());
    }
    auto call = beginCall();
    EXPECT_EQ(0u, messageOf<InvalidArgumentException>([&] {
                      P11DataObject::createObject(*call, nullptr, 1);
                  }).find("Null pointer exception <attributes>"));
    EXPECT_EQ(before, snapshot());
}

TEST_F(DataObjects, DestroyRemovesTheObjectAndNeedsAToken) {
    const StaticBuffer<128> id = create({attribute(CKA_VALUE, pattern(10, 1))});
    auto call = beginCall();
    auto object = view(*call, id);
    EXPECT_EQ(0u, messageOf<InvalidArgumentException>([&] {
                      object->destroyObjectFromCard(nullptr);
                  }).find("Null pointer exception <token>"));
    object->destroyObjectFromCard(call.get());
    cardsim::CardState state = engine->state();
    EXPECT_EQ(nullptr, onCard(state));
    EXPECT_EQ(nullptr, beginCall()->findDataObject(id));
}

}  // namespace
