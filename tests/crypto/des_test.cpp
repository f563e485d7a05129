// Single DES and two-key triple DES on one block: published known answers, the relation
// between the two, and the key lengths that must be refused.
#include "crypto/des.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "crypto/md5.h"
#include "hex_bytes.h"

namespace crypto_test {
namespace {

using tokenapi::crypto::desDecryptBlock;
using tokenapi::crypto::desEncryptBlock;

using Block = std::array<std::uint8_t, 8>;

Block block(std::string_view hex) {
    const Bytes b = fromHex(hex);
    Block out{};
    std::copy(b.begin(), b.end(), out.begin());
    return out;
}

Block encrypt(const Bytes& key, const Block& in) {
    Block out{};
    EXPECT_TRUE(desEncryptBlock(key, in, out)) << "key " << toHex(key);
    return out;
}

Block decrypt(const Bytes& key, const Block& in) {
    Block out{};
    EXPECT_TRUE(desDecryptBlock(key, in, out)) << "key " << toHex(key);
    return out;
}

struct KnownAnswer {
    const char* name;  // the case's name in test listings
    const char* source;
    const char* key;
    const char* plain;
    const char* cipher;
};

const KnownAnswer kSingleDes[] = {
    {"Fips81NowIsT", "FIPS 81 example, \"Now is t\"", "0123456789ABCDEF", "4E6F772069732074",
     "3FA40E8A984D4815"},
    {"TextbookKeySchedule", "textbook key schedule example", "133457799BBCDFF1", "0123456789ABCDEF",
     "85E813540F0AB405"},
    {"AllZero", "all-zero key and block", "0000000000000000", "0000000000000000",
     "8CA64DE9C1B123A7"},
    {"NbsVariablePlaintextBit1", "NBS variable-plaintext test, bit 1", "0101010101010101",
     "8000000000000000", "95F8A5E5DD31D900"},
};

// The DES-EDE ECB test of the libdes suite, two blocks under K1 = 0123456789ABCDEF and
// K2 = FEDCBA9876543210.
const KnownAnswer kTwoKeyTripleDes[] = {
    {"LibdesEdeBlock1", "libdes EDE block 1", "0123456789ABCDEFFEDCBA9876543210",
     "3736353433323120", "4D1332E49F380E23"},
    {"LibdesEdeBlock2", "libdes EDE block 2", "0123456789ABCDEFFEDCBA9876543210",
     "4E6F772069732074", "D80A0D8B2BAE5E4E"},
};

class DesKnownAnswer : public testing::TestWithParam<KnownAnswer> {};

TEST_P(DesKnownAnswer, EncryptsAndDecrypts) {
    const KnownAnswer& v = GetParam();
    SCOPED_TRACE(v.source);
    const Bytes key = fromHex(v.key);
    EXPECT_EQ(encrypt(key, block(v.plain)), block(v.cipher));
    EXPECT_EQ(decrypt(key, block(v.cipher)), block(v.plain));
}

TEST_P(DesKnownAnswer, WorksInPlace) {
    const KnownAnswer& v = GetParam();
    const Bytes key = fromHex(v.key);
    Block b = block(v.plain);
    ASSERT_TRUE(desEncryptBlock(key, b, b));
    EXPECT_EQ(b, block(v.cipher));
    ASSERT_TRUE(desDecryptBlock(key, b, b));
    EXPECT_EQ(b, block(v.plain));
}

// The PIN key is an MD5 value, so its parity bits are arbitrary: they must not matter and
// must not make the key be refused.
TEST_P(DesKnownAnswer, IgnoresParityBits) {
    const KnownAnswer& v = GetParam();
    Bytes key = fromHex(v.key);
    for (std::uint8_t& b : key) b ^= 0x01;
    EXPECT_EQ(encrypt(key, block(v.plain)), block(v.cipher));
}

std::string caseName(const testing::TestParamInfo<KnownAnswer>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(SingleDes, DesKnownAnswer, testing::ValuesIn(kSingleDes), caseName);
INSTANTIATE_TEST_SUITE_P(TwoKeyTripleDes, DesKnownAnswer, testing::ValuesIn(kTwoKeyTripleDes),
                         caseName);

// With K1 = K2 the E-D-E sequence collapses to one encryption under K1.
TEST(TripleDes, EqualHalvesActAsSingleDes) {
    for (const KnownAnswer& v : kSingleDes) {
        SCOPED_TRACE(v.source);
        Bytes doubled = fromHex(v.key);
        const Bytes single = doubled;
        doubled.insert(doubled.end(), single.begin(), single.end());
        EXPECT_EQ(encrypt(doubled, block(v.plain)), encrypt(single, block(v.plain)));
        EXPECT_EQ(decrypt(doubled, block(v.cipher)), block(v.plain));
    }
}

// The first eight key bytes are K1 (outer encryptions), the last eight K2 (the middle
// decryption): the order the token expects for the PIN proof.
TEST(TripleDes, IsEncryptK1DecryptK2EncryptK1) {
    const auto pinKey = tokenapi::crypto::md5(asBytes("12345678"));
    const Bytes key(pinKey.begin(), pinKey.end());
    const Bytes k1(key.begin(), key.begin() + 8);
    const Bytes k2(key.begin() + 8, key.end());
    const Block challenge = block("0011223344556677");
    EXPECT_EQ(encrypt(key, challenge), encrypt(k1, decrypt(k2, encrypt(k1, challenge))));
}

TEST(DesKeyLength, OtherLengthsAreRefusedAndLeaveTheOutputAlone) {
    for (std::size_t length : {0u, 1u, 7u, 9u, 15u, 17u, 24u, 32u}) {
        SCOPED_TRACE("key length " + std::to_string(length));
        const Bytes key(length, 0x5A);
        const Block in = block("0123456789ABCDEF");
        Block out;
        out.fill(0xEE);
        EXPECT_FALSE(desEncryptBlock(key, in, out));
        EXPECT_FALSE(desDecryptBlock(key, in, out));
        EXPECT_EQ(out, block("EEEEEEEEEEEEEEEE"));
    }
}

}  // namespace
}  // namespace crypto_test
