// Session::generateKeyPair over the simulated card, in process: the container
// record it reserves and completes, the key pair the card holds afterwards,
// and refusals that leave the card untouched.
#include <cstdio>
#include <set>

#include "internal/p11objects/p11classes.h"
#include "internal/session.h"
#include "keystestsupport.h"
#include "p11exceptions.h"

namespace keystest {
namespace {

class KeyGeneration : public KeysFixture {
protected:
    // Generates in one call, as C_GenerateKeyPair does.
    void generate(Template publicKey, Template privateKey) {
        auto call = beginCall();
        session.generateKeyPair(*call, publicKey.data(), publicKey.count(), privateKey.data(),
                                privateKey.count(), &hPublic, &hPrivate);
        call->refreshCache();
    }
    Session session{1, Session::RW_SESSION, nullptr, nullptr, nullptr};
    CK_OBJECT_HANDLE hPublic = 0;
    CK_OBJECT_HANDLE hPrivate = 0;
};

Template publicGeneration(CK_ULONG bits, const std::string& id) {
    Template t;
    t.addUlong(CKA_MODULUS_BITS, bits).addBool(CKA_VERIFY, true).add(CKA_LABEL, text("pub"));
    if (!id.empty()) t.add(CKA_ID, text(id));
    return t;
}

Template privateGeneration(bool sign, bool decrypt, bool unwrap) {
    Template t;
    t.add(CKA_LABEL, text("priv"));
    if (sign) t.addBool(CKA_SIGN, true);
    if (decrypt) t.addBool(CKA_DECRYPT, true);
    if (unwrap) t.addBool(CKA_UNWRAP, true);
    return t;
}

// The container name of an identifier, as UTF-16LE in an 80-byte field.
Bytes containerName(const std::string& id) {
    const Bytes digest = tokentest::sha256(text(id));
    Bytes name(80, 0);
    for (std::size_t i = 0; i < 10; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", digest[i]);
        name[4 * i] = static_cast<std::uint8_t>(pair[0]);
        name[4 * i + 2] = static_cast<std::uint8_t>(pair[1]);
    }
    return name;
}

struct KindCase {
    const char* name;
    CK_ULONG bits;
    bool sign, decrypt, unwrap;
    std::uint32_t keySpec;
    std::uint16_t usage;  // private flags OR public flags (verify 0x20)
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class GeneratedContainers : public KeyGeneration, public ::testing::WithParamInterface<KindCase> {};

TEST_P(GeneratedContainers, RecordCarriesTheNameAndTheKeySizeOfTheKeyKind) {
    const KindCase& c = GetParam();
    generate(publicGeneration(c.bits, "gen"), privateGeneration(c.sign, c.decrypt, c.unwrap));

    const Bytes map = containerMap();
    ASSERT_EQ(86u, map.size());
    const ContainerRecord record = KeysFixture::record(map, 0);
    EXPECT_EQ(0x01, record.flags);
    EXPECT_EQ(c.keySpec == amw::KeyPair::SIGNATURE_KEY ? c.bits : 0u, record.signatureBits);
    EXPECT_EQ(c.keySpec == amw::KeyPair::KEY_EXCHANGE_KEY ? c.bits : 0u, record.exchangeBits);
    EXPECT_EQ(containerName("gen"), Bytes(map.begin(), map.begin() + 80));

    amw::KeyPair* pair = keyPairOnCard("gen");
    ASSERT_NE(nullptr, pair);
    EXPECT_TRUE(pair->isComplete());
    EXPECT_TRUE(pair->isGeneratedOnCard());
    EXPECT_EQ(c.bits, pair->getKeySize());
    EXPECT_EQ(0, pair->getContainerIndex());
    EXPECT_EQ(c.keySpec, pair->getKeySpec());
    EXPECT_EQ(c.usage, pair->getKeyUsage());
    EXPECT_EQ((Bytes{1, 0, 1}), bytesOf(pair->getPublicPart().publicExponent));
    EXPECT_EQ(c.bits / 8, pair->getPublicPart().modulus.length);
    EXPECT_EQ(text("pub"), bytesOf(pair->getPublicPart().label));
    EXPECT_EQ(text("priv"), bytesOf(pair->getPrivatePart().label));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, GeneratedContainers,
    ::testing::Values(KindCase{"sign_only_1024", 1024, true, false, false, amw::KeyPair::SIGNATURE_KEY, 0x21},
                      KindCase{"sign_only_2048", 2048, true, false, false, amw::KeyPair::SIGNATURE_KEY, 0x21},
                      KindCase{"sign_and_decrypt", 1024, true, true, false, amw::KeyPair::KEY_EXCHANGE_KEY, 0x23},
                      KindCase{"sign_and_unwrap", 1024, true, false, true, amw::KeyPair::KEY_EXCHANGE_KEY, 0x31},
                      KindCase{"no_private_usage", 2048, false, false, false, amw::KeyPair::KEY_EXCHANGE_KEY, 0x20}),
    [](const ::testing::TestParamInfo<KindCase>& info) { return std::string(info.param.name); });

TEST_F(KeyGeneration, EachPairGetsTheNextFreeRecordAndItsOwnHandles) {
    generate(publicGeneration(1024, "first"), privateGeneration(true, true, false));
    const CK_OBJECT_HANDLE firstPublic = hPublic, firstPrivate = hPrivate;
    generate(publicGeneration(1024, "second"), privateGeneration(true, false, false));
    const Bytes map = containerMap();
    ASSERT_EQ(2u * 86, map.size());
    EXPECT_EQ(1024, KeysFixture::record(map, 0).exchangeBits);
    EXPECT_EQ(1024, KeysFixture::record(map, 1).signatureBits);
    EXPECT_EQ(containerName("second"), Bytes(map.begin() + 86, map.begin() + 86 + 80));
    EXPECT_EQ(1, keyPairOnCard("second")->getContainerIndex());
    const std::set<CK_OBJECT_HANDLE> handles{firstPublic, firstPrivate, hPublic, hPrivate};
    EXPECT_EQ(4u, handles.size());
    EXPECT_EQ(0u, handles.count(0));
}

TEST_F(KeyGeneration, RefusedTemplatesLeaveTheCardUntouched) {
    generate(publicGeneration(1024, "taken"), privateGeneration(true, false, false));
    const Bytes mapBefore = containerMap();
    Template otherId = privateGeneration(true, false, false);
    otherId.add(CKA_ID, text("other"));
    EXPECT_EQ("Template is inconsistent. Multiple occurence of attribute [type=258]",
              messageOf<TemplateInconsistentException>(
                  [&] { generate(publicGeneration(1024, "taken-too"), otherId); }));
    EXPECT_EQ("Invalid value of attribute [type=0x102]", messageOf<AttributValueInvalidException>([&] {
                  generate(publicGeneration(2048, "taken"), privateGeneration(false, true, false));
              }));
    EXPECT_EQ("Template is incomplete. Missing attribute type [type=0x121]",
              messageOf<TemplateIncompleteException>(
                  [&] { generate(Template().add(CKA_ID, text("x")), privateGeneration(true, false, false)); }));
    EXPECT_EQ(mapBefore, containerMap());
    EXPECT_EQ(nullptr, keyPairOnCard("taken-too"));
}

}  // namespace
}  // namespace keystest
