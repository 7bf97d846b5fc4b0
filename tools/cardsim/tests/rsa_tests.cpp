// Key pairs: generation, import, read-back of the public part, the raw
// private-key operation checked with OpenSSL, key slots and amends.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "cardtest.h"

namespace cardsim::test {
namespace {

// Public operation done by the test itself: input^e mod n.
Bytes rsaPublic(const Bytes& n, const Bytes& e, const Bytes& input) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
    BIGNUM* bc = BN_bin2bn(input.data(), static_cast<int>(input.size()), nullptr);
    BIGNUM* bm = BN_new();
    BN_mod_exp(bm, bc, be, bn, ctx);
    Bytes out(n.size());
    BN_bn2binpad(bm, out.data(), static_cast<int>(out.size()));
    BN_free(bn);
    BN_free(be);
    BN_free(bc);
    BN_free(bm);
    BN_CTX_free(ctx);
    return out;
}

// A PKCS #1 type 1 block of `length` bytes around a short digest-like text.
Bytes signatureBlock(std::size_t length) {
    Bytes block(length, 0xFF);
    block[0] = 0x00;
    block[1] = 0x01;
    const Bytes payload = hex("3021300906052B0E03021A05000414 00112233445566778899AABBCCDDEEFF00112233");
    block[length - payload.size() - 1] = 0x00;
    std::copy(payload.begin(), payload.end(), block.end() - static_cast<std::ptrdiff_t>(payload.size()));
    return block;
}

struct TestKey {
    Bytes n, e, p, q, dp, dq, qinv;
};

Bytes param(EVP_PKEY* pkey, const char* name) {
    BIGNUM* bn = nullptr;
    EVP_PKEY_get_bn_param(pkey, name, &bn);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    BN_free(bn);
    return out;
}

TestKey makeKey(int bits) {
    EVP_PKEY* pkey = EVP_RSA_gen(static_cast<unsigned>(bits));
    TestKey key{param(pkey, OSSL_PKEY_PARAM_RSA_N), param(pkey, OSSL_PKEY_PARAM_RSA_E),
                param(pkey, OSSL_PKEY_PARAM_RSA_FACTOR1), param(pkey, OSSL_PKEY_PARAM_RSA_FACTOR2),
                param(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT1), param(pkey, OSSL_PKEY_PARAM_RSA_EXPONENT2),
                param(pkey, OSSL_PKEY_PARAM_RSA_COEFFICIENT1)};
    EVP_PKEY_free(pkey);
    return key;
}

Bytes lv(std::uint8_t p1, std::uint8_t p2, const Bytes& data) {
    Bytes command = {0x80, 0x42, p1, p2, static_cast<std::uint8_t>(data.size())};
    command.insert(command.end(), data.begin(), data.end());
    return command;
}

class RsaTest : public CardTest {
protected:
    void SetUp() override {
        CardTest::SetUp();
        select();
        loginUser();
    }

    // Metadata: id "K1", public label "P", private label "S".
    std::string commitKeyPairMetadata() {
        EXPECT_EQ("9000", sw("80 3C 00 00 02 00 07"));
        EXPECT_EQ("9000", sw("80 12 00 00 07 02 4B 31 01 50 01 53"));
        auto answer = send("80 3A 00 00 02");
        EXPECT_EQ("9000", swOf(answer));
        return toHex(dataOf(answer));
    }

    Bytes sign2048(const std::string& id, const Bytes& block) {
        EXPECT_EQ("9000", sw("80 46 " + id.substr(0, 2) + " " + id.substr(2) + " 00"));
        EXPECT_EQ("9000", sw(concat({hex("80 48 00 00 80"), Bytes(block.begin(), block.begin() + 128), hex("00")})));
        auto answer = send(concat({hex("80 4A 00 00 80"), Bytes(block.begin() + 128, block.end()), hex("00")}));
        EXPECT_EQ("9000", swOf(answer));
        return dataOf(answer);
    }
};

TEST_F(RsaTest, GeneratedKeyPairSignsAndVerifiesWithItsModulus) {
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 07 0800 0003 00 00 FFFF FFFF FFFF"));
    // Sent without Le, as the driver does: the modulus waits for GET RESPONSE.
    EXPECT_EQ("6100", sw("80 40 00 00 03 01 00 01"));
    auto modulusAnswer = send("00 C0 00 00 00");
    ASSERT_EQ("9000", swOf(modulusAnswer));
    const Bytes modulus = dataOf(modulusAnswer);
    ASSERT_EQ(256u, modulus.size());
    const std::string id = commitKeyPairMetadata();
    EXPECT_EQ("0005", id);

    auto header = send("80 18 00 05 1B");
    ASSERT_EQ("9000", swOf(header));
    // slot 01 (the 2048-bit slot), usage 0003, origin 07, container 00, key kind 00, size 0800
    EXPECT_EQ(toHex(hex("03 8000 0007 0000 0005 0000 0202 0202 0202 01 0000 0003 07 00 00 0800")),
              toHex(dataOf(header)));
    EXPECT_EQ("024B3101500153", toHex(dataOf(send("80 1A 00 00 07"))));
    auto n = send("80 44 06 00 00");
    EXPECT_EQ("9000", swOf(n));
    EXPECT_EQ(toHex(modulus), toHex(dataOf(n)));
    auto e = send("80 44 07 00 03");
    EXPECT_EQ("010001", toHex(dataOf(e)));

    const Bytes block = signatureBlock(256);
    const Bytes signature = sign2048(id, block);
    ASSERT_EQ(256u, signature.size());
    EXPECT_EQ(toHex(block), toHex(rsaPublic(modulus, hex("010001"), signature)));
    // key slot 1 is now used
    EXPECT_EQ("000400010800", toHex(dataOf(send("80 06 03 00 06"))));
}

TEST_F(RsaTest, ImportedKeyPairSignsWithOneFinalCommand) {
    const TestKey key = makeKey(1024);
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 06 0400 0001 01 01 FFFF FFFF FFFF"));
    for (auto [component, value] : {std::pair{6, key.n}, {7, key.e}, {1, key.p}, {2, key.q},
                                    {3, key.dp}, {4, key.dq}, {5, key.qinv}}) {
        ASSERT_EQ("9000", sw(lv(static_cast<std::uint8_t>(component), 0, value))) << component;
    }
    const std::string id = commitKeyPairMetadata();
    ASSERT_EQ("9000", swOf(send("80 18 " + id.substr(0, 2) + " " + id.substr(2) + " 1B")));
    EXPECT_EQ("6C80", sw("80 44 06 00 00"));
    EXPECT_EQ(toHex(key.n), toHex(dataOf(send("80 44 06 00 80"))));

    const Bytes block = signatureBlock(128);
    ASSERT_EQ("9000", sw("80 46 00 05 00"));
    EXPECT_EQ("6985", sw(concat({hex("80 48 00 00 80"), block, hex("00")})));
    ASSERT_EQ("9000", sw("80 46 00 05 00"));
    auto answer = send(concat({hex("80 4A 00 00 80"), block, hex("80")}));
    ASSERT_EQ("9000", swOf(answer));
    EXPECT_EQ(toHex(block), toHex(rsaPublic(key.n, key.e, dataOf(answer))));
}

TEST_F(RsaTest, ImportedModulusOf256BytesComesInTwoParts) {
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 02 0800 0004 FF 00 FFFF FFFF FFFF"));
    Bytes modulus(256, 0xC5);
    ASSERT_EQ("9000", sw(lv(6, 0, Bytes(modulus.begin(), modulus.begin() + 128))));
    ASSERT_EQ("9000", sw(lv(6, 1, Bytes(modulus.begin() + 128, modulus.end()))));
    ASSERT_EQ("9000", sw(lv(7, 0, hex("03"))));
    EXPECT_EQ("6985", sw(lv(1, 0, hex("0B"))));  // a public key has no private part
    const std::string id = commitKeyPairMetadata();
    ASSERT_EQ("9000", swOf(send("80 18 " + id.substr(0, 2) + " " + id.substr(2) + " 1B")));
    EXPECT_EQ(toHex(modulus), toHex(dataOf(send("80 44 06 00 00"))));
    EXPECT_EQ("6C01", sw("80 44 07 00 03"));
    EXPECT_EQ("6985", sw("80 46 " + id.substr(0, 2) + " " + id.substr(2) + " 00"));
}

TEST_F(RsaTest, IncompleteKeyMaterialCannotBeCommitted) {
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 06 0400 0001 01 01 FFFF FFFF FFFF"));
    ASSERT_EQ("9000", sw(lv(6, 0, Bytes(128, 0xC5))));
    EXPECT_EQ("6985", sw("80 3C 00 00 02 00 07"));
}

TEST_F(RsaTest, SecondKeyOfASizeWithoutFreeSlotAnswers6F03) {
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 07 0400 0003 00 00 FFFF FFFF FFFF"));
    ASSERT_EQ("6180", sw("80 40 00 00 03 01 00 01"));
    ASSERT_EQ("9000", sw("00 C0 00 00 80"));
    commitKeyPairMetadata();
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 07 0400 0003 01 00 FFFF FFFF FFFF"));
    EXPECT_EQ("6F03", sw("80 40 00 00 03 01 00 01"));
    const TestKey key = makeKey(1024);
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 04 0400 0002 FF 00 FFFF FFFF FFFF"));
    EXPECT_EQ("6F03", sw(lv(1, 0, key.p)));
}

TEST_F(RsaTest, PrivateKeyOperationNeedsTheUser) {
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 07 0400 0003 00 00 FFFF FFFF FFFF"));
    ASSERT_EQ("9000", swOf(send("80 40 00 00 03 01 00 01 80")));
    const std::string id = commitKeyPairMetadata();
    ASSERT_EQ("9000", sw("80 22 01 00 00"));
    EXPECT_EQ("6982", sw("80 46 00 05 00"));
    EXPECT_EQ("6985", sw(concat({hex("80 4A 00 00 80"), signatureBlock(128), hex("80")})));
}

TEST_F(RsaTest, InputNotBelowTheModulusAnswers6A80) {
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 07 0400 0003 00 00 FFFF FFFF FFFF"));
    ASSERT_EQ("9000", swOf(send("80 40 00 00 03 01 00 01 80")));
    commitKeyPairMetadata();
    ASSERT_EQ("9000", sw("80 46 00 05 00"));
    EXPECT_EQ("6A80", sw(concat({hex("80 4A 00 00 80"), Bytes(128, 0xFF), hex("80")})));
}

TEST_F(RsaTest, RemovingThePrivateKeyFreesItsSlot) {
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 07 0400 0003 00 00 FFFF FFFF FFFF"));
    ASSERT_EQ("9000", swOf(send("80 40 00 00 03 01 00 01 80")));
    commitKeyPairMetadata();
    EXPECT_EQ("010400000800", toHex(dataOf(send("80 06 03 00 06"))));
    EXPECT_EQ("6A80", sw("80 4C 00 05 01 06"));  // already complete
    ASSERT_EQ("9000", sw("80 4C 00 05 01 03"));
    ASSERT_EQ("9000", sw("80 4E 02 01 04 0002 0005"));
    ASSERT_EQ("9000", sw("80 12 00 00 05 02 4B 31 01 50"));
    EXPECT_EQ("0005", toHex(dataOf(send("80 3A 00 00 02"))));
    auto header = dataOf(send("80 18 00 05 1B"));
    ASSERT_EQ(27u, header.size());
    // slot FF, usage 0002, origin 03, container 02, key kind 01
    EXPECT_EQ(toHex(hex("FF 0000 0002 03 02 01 0400")), toHex(Bytes(header.begin() + 17, header.end())));
    EXPECT_EQ("000400000800", toHex(dataOf(send("80 06 03 00 06"))));
    EXPECT_EQ("6985", sw("80 46 00 05 00"));
}

TEST_F(RsaTest, AddingThePrivateKeyCompletesAPublicKey) {
    const TestKey key = makeKey(1024);
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 02 0400 0004 FF 00 FFFF FFFF FFFF"));
    ASSERT_EQ("9000", sw(lv(6, 0, key.n)));
    ASSERT_EQ("9000", sw(lv(7, 0, key.e)));
    ASSERT_EQ("9000", sw("80 3C 00 00 02 00 05"));
    ASSERT_EQ("9000", sw("80 12 00 00 05 02 4B 31 01 50"));
    ASSERT_EQ("0005", toHex(dataOf(send("80 3A 00 00 02"))));

    ASSERT_EQ("9000", sw("80 4C 00 05 01 06"));
    EXPECT_EQ("6985", sw(lv(6, 0, key.n)));
    for (auto [component, value] : {std::pair{1, key.p}, {2, key.q}, {3, key.dp}, {4, key.dq}, {5, key.qinv}}) {
        ASSERT_EQ("9000", sw(lv(static_cast<std::uint8_t>(component), 0, value)));
    }
    ASSERT_EQ("9000", sw("80 4E 00 00 04 0005 0007"));
    ASSERT_EQ("9000", sw("80 12 00 00 07 02 4B 31 01 50 01 53"));
    ASSERT_EQ("0005", toHex(dataOf(send("80 3A 00 00 02"))));
    ASSERT_EQ("9000", sw("80 46 00 05 00"));
    const Bytes block = signatureBlock(128);
    auto answer = send(concat({hex("80 4A 00 00 80"), block, hex("80")}));
    ASSERT_EQ("9000", swOf(answer));
    EXPECT_EQ(toHex(block), toHex(rsaPublic(key.n, key.e, dataOf(answer))));
}

TEST_F(RsaTest, MismatchedPrivateComponentsAreRefusedAtCommit) {
    const TestKey key = makeKey(1024);
    const TestKey other = makeKey(1024);
    ASSERT_EQ("9000", sw("80 3E 00 01 0D 06 0400 0001 01 01 FFFF FFFF FFFF"));
    for (auto [component, value] : {std::pair{6, key.n}, {7, key.e}, {1, other.p}, {2, other.q},
                                    {3, other.dp}, {4, other.dq}, {5, other.qinv}}) {
        ASSERT_EQ("9000", sw(lv(static_cast<std::uint8_t>(component), 0, value)));
    }
    ASSERT_EQ("9000", sw("80 3C 00 00 02 00 03"));
    ASSERT_EQ("9000", sw("80 12 00 00 03 02 4B 31"));
    EXPECT_EQ("6A80", sw("80 3A 00 00 02"));
    EXPECT_EQ("8000", toHex(dataOf(send("80 0A 00 00 0A"))).substr(4, 4));
    EXPECT_EQ("000400000800", toHex(dataOf(send("80 06 03 00 06"))));
}

}  // namespace
}  // namespace cardsim::test
