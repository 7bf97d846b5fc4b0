// The encodings around the card's raw RSA operation against published
// known answers: EMSA-PSS and EME-OAEP with the first examples of the RSA
// Laboratories PKCS #1 v2.1 test vectors (pss-vect.txt, oaep-vect.txt), the
// DigestInfo block with the DER prefixes PKCS #1 lists for each hash; and the
// mechanism parameters the module accepts or refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "internal/mechanisms.h"
#include "internal/rsaencoding.h"
#include "p11exceptions.h"
#include "smallbignum.h"
#include "vxexception.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using smallbignum::modPow;

Bytes hex(const std::string& text) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

Bytes digestOf(HashAlgorithm hash, const Bytes& message) {
    Bytes digest(MessageDigest::digestSize(hash));
    MessageDigest::digest(hash, message.data(), message.size(), digest.data());
    return digest;
}

const Bytes E = {0x01, 0x00, 0x01};

// pss-vect.txt, Example 1 (1024-bit key), SHA-1, MGF1-SHA-1, 20-byte salt.
// The encoding under test, raised to d by the card, must give the published
// signature S, so S^e mod n is exactly the expected encoded message.
struct PssVector {
    const char* name;
    const char* modulus;
    const char* message;
    const char* salt;
    const char* signature;
};

const PssVector PSS_VECTORS[] = {
    {"example 1.1",
     "a56e4a0e701017589a5187dc7ea841d156f2ec0e36ad52a44dfeb1e61f7ad991d8c51056ffedb162b4c0f283a12a88a394dff526ab72"
     "91cbb307ceabfce0b1dfd5cd9508096d5b2b8b6df5d671ef6377c0921cb23c270a70e2598e6ff89d19f105acc2d3f0cb35f29280e138"
     "6b6f64c4ef22e1e1f20d0ce8cffb2249bd9a2137",
     "cdc87da223d786df3b45e0bbbc721326d1ee2af806cc315475cc6f0d9c66e1b62371d45ce2392e1ac92844c310102f156a0d8d52c1f4"
     "c40ba3aa65095786cb769757a6563ba958fed0bcc984e8b517a3d5f515b23b8a41e74aa867693f90dfb061a6e86dfaaee64472c00e5f"
     "20945729cbebe77f06ce78e08f4098fba41f9d6193c0317e8b60d4b6084acb42d29e3808a3bc372d85e331170fcbf7cc72d0b71c2966"
     "48b3a4d10f416295d0807aa625cab2744fd9ea8fd223c42537029828bd16be02546f130fd2e33b936d2676e08aed1b73318b750a0167"
     "d0",
     "dee959c7e06411361420ff80185ed57f3e6776af",
     "9074308fb598e9701b2294388e52f971faac2b60a5145af185df5287b5ed2887e57ce7fd44dc8634e407c8e0e4360bc226f3ec227f9d"
     "9e54638e8d31f5051215df6ebb9c2f9579aa77598a38f914b5b9c1bd83c4e2f9f382a0d0aa3542ffee65984a601bc69eb28deb27dca1"
     "2c82c2d4c3f66cd500f1ff2b994d8a4e30cbb33c"},
    {"example 1.2",
     "a56e4a0e701017589a5187dc7ea841d156f2ec0e36ad52a44dfeb1e61f7ad991d8c51056ffedb162b4c0f283a12a88a394dff526ab72"
     "91cbb307ceabfce0b1dfd5cd9508096d5b2b8b6df5d671ef6377c0921cb23c270a70e2598e6ff89d19f105acc2d3f0cb35f29280e138"
     "6b6f64c4ef22e1e1f20d0ce8cffb2249bd9a2137",
     "851384cdfe819c22ed6c4ccb30daeb5cf059bc8e1166b7e3530c4c233e2b5f8f71a1cca582d43ecc72b1bca16dfc7013226b9e",
     "ef2869fa40c346cb183dab3d7bffc98fd56df42d",
     "3ef7f46e831bf92b32274142a585ffcefbdca7b32ae90d10fb0f0c729984f04ef29a9df0780775ce43739b97838390db0a5505e63de9"
     "27028d9d29b219ca2c4517832558a55d694a6d25b9dab66003c4cccd907802193be5170d26147d37b93590241be51c25055f47ef62752c"
     "fbe21418fafe98c22c4d4d47724fdb5669e843"},
};

void PrintTo(const PssVector& v, std::ostream* os) { *os << v.name; }

class PssKnownAnswers : public ::testing::TestWithParam<PssVector> {};

TEST_P(PssKnownAnswers, EncodingIsWhatThePublishedSignatureRecovers) {
    const PssVector& v = GetParam();
    const Bytes n = hex(v.modulus), salt = hex(v.salt);
    const Bytes mHash = digestOf(HashAlgorithm::SHA1, hex(v.message));
    Bytes block(n.size(), 0xAA);
    pssEncode(HashAlgorithm::SHA1, HashAlgorithm::SHA1, mHash.data(), salt.data(), salt.size(), 1024, block.data(),
              block.size());
    EXPECT_EQ(modPow(hex(v.signature), E, n), block);
}

INSTANTIATE_TEST_SUITE_P(Pkcs1v21, PssKnownAnswers, ::testing::ValuesIn(PSS_VECTORS));

TEST(PssEncoding, TheSaltMayFillTheBlockButNotMore) {
    // A 2048-bit key and SHA-256: emLen 256, so at most 256 - 32 - 2 salt bytes.
    const Bytes mHash(32, 0x11), salt(223, 0x22);
    Bytes block(256);
    EXPECT_NO_THROW(pssEncode(HashAlgorithm::SHA256, HashAlgorithm::SHA256, mHash.data(), salt.data(), 222, 2048,
                              block.data(), block.size()));
    EXPECT_EQ(0xBC, block.back());
    EXPECT_EQ(0, block[0] & 0x80) << "the leftmost bit is cleared";
    EXPECT_THROW(pssEncode(HashAlgorithm::SHA256, HashAlgorithm::SHA256, mHash.data(), salt.data(), 223, 2048,
                           block.data(), block.size()),
                 InvalidPlainTextDataLength);
}

// oaep-vect.txt, Example 1.1 (1024-bit key, SHA-1, MGF1-SHA-1, empty label).
// The encoded message is C^d mod n of the published ciphertext; the test
// first proves that by raising it to e.
const char OAEP_MODULUS[] =
    "a8b3b284af8eb50b387034a860f146c4919f318763cd6c5598c8ae4811a1e0abc4c7e0b082d693a5e7fced675cf4668512772c0cbc64"
    "a742c6c630f533c8cc72f62ae833c40bf25842e984bb78bdbf97c0107d55bdb662f5c4e0fab9845cb5148ef7392dd3aaff93ae1e6b66"
    "7bb3d4247616d4f5ba10d4cfd226de88d39f16fb";
const char OAEP_CIPHERTEXT[] =
    "354fe67b4a126d5d35fe36c777791a3f7ba13def484e2d3908aff722fad468fb21696de95d0be911c2d3174f8afcc201035f7b6d8e69"
    "402de5451618c21a535fa9d7bfc5b8dd9fc243f8cf927db31322d6e881eaa91a996170e657a05a266426d98c88003f8477c1227094a0"
    "d9fa1e8c4024309ce1ecccb5210035d47ac72e8a";
const char OAEP_ENCODED[] =
    "001016e93a98ac3af3a8c48fc01e87bd7000db8bdf691f90e4dbabb03f76003765f55b7ed7a202635ea92feda9465ec40f3e0f64b8b0"
    "e444956245c5d5d068cb0b1deca88b2f99ae0df4e80f017c595cdba4c92f2f46f25bdbf352beb93766d24554106f42d9326d59339ca2"
    "4f392e738c703dc876e402ee16542095b77a6994";
const char OAEP_MESSAGE[] = "6628194e12073db03ba94cda9ef9532397d50dba79b987004afefe34";

TEST(OaepKnownAnswer, DecodesThePublishedExample) {
    Bytes block = hex(OAEP_ENCODED);
    ASSERT_EQ(hex(OAEP_CIPHERTEXT), modPow(block, E, hex(OAEP_MODULUS)));
    const std::uint8_t* message = nullptr;
    std::size_t length = 0;
    oaepDecode(HashAlgorithm::SHA1, HashAlgorithm::SHA1, nullptr, 0, block.data(), block.size(), &message, &length);
    EXPECT_EQ(hex(OAEP_MESSAGE), Bytes(message, message + length));
}

// Every way a block can be wrong ends in the same exception with the same
// text: nothing tells a caller which check failed.
TEST(OaepKnownAnswer, EveryFaultGivesTheSameError) {
    const Bytes good = hex(OAEP_ENCODED);
    struct Case {
        const char* name;
        std::size_t flip;  // byte to change, or SIZE_MAX for none
        const char* label;
    } cases[] = {
        {"leading byte not zero", 0, ""},
        {"masked seed changed", 5, ""},
        {"label hash changed", 30, ""},
        {"padding or separator changed", 60, ""},
        {"another label", SIZE_MAX, "label"},
    };
    std::string firstText;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes block = good;
        if (c.flip != SIZE_MAX) block[c.flip] ^= 0x01;
        const std::string label = c.label;
        const std::uint8_t* message = nullptr;
        std::size_t length = 0;
        try {
            oaepDecode(HashAlgorithm::SHA1, HashAlgorithm::SHA1, reinterpret_cast<const std::uint8_t*>(label.data()),
                       label.size(), block.data(), block.size(), &message, &length);
            ADD_FAILURE() << "decoded";
        } catch (const InvalidEncryptedData& e) {
            if (firstText.empty()) firstText = e.what();
            EXPECT_EQ(firstText, e.what());
        }
    }
}

// EMSA-PKCS1-v1_5: 00 01 FF.. 00, the DER DigestInfo prefix PKCS #1 gives for
// the hash, the digest of "abc" (itself a FIPS 180-4 known answer).
struct DigestInfoCase {
    HashAlgorithm hash;
    const char* prefix;
};

const DigestInfoCase DIGEST_INFO_CASES[] = {
    {HashAlgorithm::SHA1, "3021300906052b0e03021a05000414"},
    {HashAlgorithm::SHA224, "302d300d06096086480165030402040500041c"},
    {HashAlgorithm::SHA256, "3031300d060960864801650304020105000420"},
    {HashAlgorithm::SHA384, "3041300d060960864801650304020205000430"},
    {HashAlgorithm::SHA512, "3051300d060960864801650304020305000440"},
};

TEST(DigestInfoEncoding, EachHashGetsItsPublishedPrefix) {
    const Bytes abc = {'a', 'b', 'c'};
    for (const DigestInfoCase& c : DIGEST_INFO_CASES) {
        SCOPED_TRACE(c.prefix);
        Bytes info = hex(c.prefix);
        const Bytes digest = digestOf(c.hash, abc);
        info.insert(info.end(), digest.begin(), digest.end());
        Bytes expected = {0x00, 0x01};
        expected.insert(expected.end(), 256 - info.size() - 3, 0xFF);
        expected.push_back(0x00);
        expected.insert(expected.end(), info.begin(), info.end());
        Bytes block(256);
        pkcs1DigestInfoEncode(c.hash, digest.data(), block.data(), block.size());
        EXPECT_EQ(expected, block);
    }
}

// --- Mechanism parameters. ---------------------------------------------------

CK_RV select(CK_MECHANISM_TYPE type, void* parameter, CK_ULONG length, CK_FLAGS operation, std::size_t bits,
             OperationMechanism* out = nullptr) {
    CK_MECHANISM mechanism{type, parameter, length};
    OperationMechanism selected;
    const CK_RV rv = selectMechanism(mechanism, operation, bits, selected);
    if (out != nullptr) *out = selected;
    return rv;
}

TEST(MechanismParameters, PssParametersAreCheckedAgainstTheMechanismAndTheKey) {
    CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256, CKG_MGF1_SHA256, 32};
    auto with = [](CK_MECHANISM_TYPE hash, CK_ULONG mgf, CK_ULONG salt) {
        return CK_RSA_PKCS_PSS_PARAMS{hash, mgf, salt};
    };
    CK_RSA_PKCS_PSS_PARAMS md5 = with(0x210, CKG_MGF1_SHA256, 32), noMgf = with(CKM_SHA256, 0, 32),
                           longest = with(CKM_SHA256, CKG_MGF1_SHA1, 94), tooLong = with(CKM_SHA256, CKG_MGF1_SHA1, 95),
                           sha1 = with(CKM_SHA_1, CKG_MGF1_SHA1, 20);
    struct Case {
        const char* name;
        CK_MECHANISM_TYPE type;
        CK_RSA_PKCS_PSS_PARAMS* parameters;
        CK_ULONG length;
        CK_RV expected;
    } cases[] = {
        {"valid", CKM_RSA_PKCS_PSS, &pss, sizeof pss, CKR_OK},
        {"no parameters", CKM_RSA_PKCS_PSS, nullptr, 0, CKR_MECHANISM_PARAM_INVALID},
        {"short structure", CKM_RSA_PKCS_PSS, &pss, sizeof pss - 1, CKR_MECHANISM_PARAM_INVALID},
        {"unknown hash", CKM_RSA_PKCS_PSS, &md5, sizeof md5, CKR_MECHANISM_PARAM_INVALID},
        {"no MGF", CKM_RSA_PKCS_PSS, &noMgf, sizeof noMgf, CKR_MECHANISM_PARAM_INVALID},
        {"longest salt of a 1024-bit key", CKM_RSA_PKCS_PSS, &longest, sizeof longest, CKR_OK},
        {"one byte more", CKM_RSA_PKCS_PSS, &tooLong, sizeof tooLong, CKR_MECHANISM_PARAM_INVALID},
        {"hash-and-sign with its own hash", CKM_SHA256_RSA_PKCS_PSS, &pss, sizeof pss, CKR_OK},
        {"hash-and-sign with another hash", CKM_SHA256_RSA_PKCS_PSS, &sha1, sizeof sha1, CKR_MECHANISM_PARAM_INVALID},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, select(c.type, c.parameters, c.length, CKF_SIGN, 1024)) << c.name;
    }
    OperationMechanism chosen;
    ASSERT_EQ(CKR_OK, select(CKM_RSA_PKCS_PSS, &longest, sizeof longest, CKF_SIGN, 1024, &chosen));
    EXPECT_EQ(HashAlgorithm::SHA256, chosen.hash);
    EXPECT_EQ(HashAlgorithm::SHA1, chosen.mgfHash);
    EXPECT_EQ(94u, chosen.saltLength);
}

TEST(MechanismParameters, OaepParametersNeedAKnownHashALabelAndRoomInTheKey) {
    char label[] = "label";
    auto with = [&](CK_MECHANISM_TYPE hash, CK_ULONG source, void* data, CK_ULONG length) {
        return CK_RSA_PKCS_OAEP_PARAMS{hash, CKG_MGF1_SHA1, source, data, length};
    };
    CK_RSA_PKCS_OAEP_PARAMS plain = with(CKM_SHA_1, CKZ_DATA_SPECIFIED, nullptr, 0),
                            labelled = with(CKM_SHA256, CKZ_DATA_SPECIFIED, label, 5),
                            noSource = with(CKM_SHA256, 0, nullptr, 0), badSource = with(CKM_SHA256, 2, nullptr, 0),
                            nullLabel = with(CKM_SHA256, CKZ_DATA_SPECIFIED, nullptr, 5),
                            sha512 = with(CKM_SHA512, CKZ_DATA_SPECIFIED, nullptr, 0);
    struct Case {
        const char* name;
        CK_RSA_PKCS_OAEP_PARAMS* parameters;
        std::size_t bits;
        CK_RV expected;
    } cases[] = {
        {"SHA-1 without label", &plain, 1024, CKR_OK},
        {"SHA-256 with label", &labelled, 1024, CKR_OK},
        {"no source, no label", &noSource, 1024, CKR_OK},
        {"unknown source", &badSource, 1024, CKR_MECHANISM_PARAM_INVALID},
        {"label length without data", &nullLabel, 1024, CKR_MECHANISM_PARAM_INVALID},
        {"SHA-512 needs more than 1024 bits", &sha512, 1024, CKR_MECHANISM_PARAM_INVALID},
        {"SHA-512 fits 2048 bits", &sha512, 2048, CKR_OK},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, select(CKM_RSA_PKCS_OAEP, c.parameters, sizeof *c.parameters, CKF_DECRYPT, c.bits))
            << c.name;
    }
    OperationMechanism chosen;
    ASSERT_EQ(CKR_OK, select(CKM_RSA_PKCS_OAEP, &labelled, sizeof labelled, CKF_DECRYPT, 1024, &chosen));
    EXPECT_EQ(Bytes({'l', 'a', 'b', 'e', 'l'}), chosen.label);
}

TEST(MechanismTable, EachMechanismServesOnlyItsOwnOperations) {
    struct Case {
        CK_MECHANISM_TYPE type;
        CK_FLAGS operation;
        CK_RV expected;
    } cases[] = {
        {CKM_RSA_PKCS, CKF_SIGN, CKR_OK},
        {CKM_RSA_PKCS, CKF_DECRYPT, CKR_OK},
        {CKM_SHA384_RSA_PKCS, CKF_SIGN, CKR_OK},
        {CKM_SHA384_RSA_PKCS, CKF_DECRYPT, CKR_MECHANISM_INVALID},
        {CKM_RSA_PKCS_OAEP, CKF_SIGN, CKR_MECHANISM_INVALID},
        {CKM_RSA_PKCS_PSS, CKF_DECRYPT, CKR_MECHANISM_INVALID},
        {CKM_RSA_PKCS_KEY_PAIR_GEN, CKF_SIGN, CKR_MECHANISM_INVALID},
        {CKM_RSA_X_509, CKF_SIGN, CKR_MECHANISM_INVALID},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, select(c.type, nullptr, 0, c.operation, 2048)) << "mechanism 0x" << std::hex << c.type;
    }
    // CKA_ALLOWED_MECHANISMS: every row but key generation.
    EXPECT_EQ(mechanismTable().size() - 1, keyMechanisms().size());
}

}  // namespace
