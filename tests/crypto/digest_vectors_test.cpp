// The published test suites of the three digests, computed in one call and through the
// streaming state fed in pieces that land just before, on and after the block boundaries
// (and the 55/56-byte point where MD5 and SHA-1 padding spills into a second block).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "crypto/md2.h"
#include "crypto/md5.h"
#include "crypto/sha1.h"
#include "hex_bytes.h"

namespace crypto_test {
namespace {

using tokenapi::crypto::Md2State;
using tokenapi::crypto::Md5State;
using tokenapi::crypto::Sha1State;

enum class Algorithm { md5, sha1, md2 };

const char* nameOf(Algorithm a) {
    switch (a) {
        case Algorithm::md5:
            return "MD5";
        case Algorithm::sha1:
            return "SHA1";
        case Algorithm::md2:
            return "MD2";
    }
    return "?";
}

struct Vector {
    Algorithm algorithm;
    std::string label;  // for the test name
    std::string message;
    std::string expectedHex;
};

const std::string kAlphabet = "abcdefghijklmnopqrstuvwxyz";
const std::string kAlphanumeric = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const std::string kDigits80 =
    "12345678901234567890123456789012345678901234567890123456789012345678901234567890";

std::vector<Vector> vectors() {
    return {
        // RFC 1321, appendix A.5
        {Algorithm::md5, "empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {Algorithm::md5, "a", "a", "0cc175b9c0f1b6a831c399e269772661"},
        {Algorithm::md5, "abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {Algorithm::md5, "message_digest", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {Algorithm::md5, "alphabet", kAlphabet, "c3fcd3d76192e4007dfb496cca67e13b"},
        {Algorithm::md5, "alphanumeric", kAlphanumeric, "d174ab98d277d9f5a5611c2c9f419d9f"},
        {Algorithm::md5, "digits80", kDigits80, "57edf4a22be3c955ac49da2e2107b67a"},
        // FIPS 180-1, appendices A to C
        {Algorithm::sha1, "abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {Algorithm::sha1, "448bit", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {Algorithm::sha1, "million_a", std::string(1000000, 'a'),
         "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // RFC 1319, appendix A.5
        {Algorithm::md2, "empty", "", "8350e5a3e24c153df2275c9f80692773"},
        {Algorithm::md2, "a", "a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
        {Algorithm::md2, "abc", "abc", "da853b0d3f88d99b30283a69e6ded6bb"},
        {Algorithm::md2, "message_digest", "message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
        {Algorithm::md2, "alphabet", kAlphabet, "4e8ddff3650292ab5a4108c3aa47940b"},
        {Algorithm::md2, "alphanumeric", kAlphanumeric, "da33def2a42df13975352846c30338cd"},
        {Algorithm::md2, "digits80", kDigits80, "d5976f79d83d3a0dc9806c3c66f3efd8"},
    };
}

// 0 stands for the one-shot function; anything else is the size of the pieces handed to
// update.
constexpr std::size_t kOneShot = 0;

template <class State>
Bytes inPieces(std::span<const std::uint8_t> data, std::size_t piece) {
    State state;
    while (!data.empty()) {
        const std::size_t n = std::min(piece, data.size());
        state.update(data.first(n));
        data = data.subspan(n);
    }
    const auto value = state.final();
    return Bytes(value.begin(), value.end());
}

Bytes digest(Algorithm a, std::span<const std::uint8_t> data, std::size_t piece) {
    if (piece == kOneShot) {
        switch (a) {
            case Algorithm::md5: {
                const auto v = tokenapi::crypto::md5(data);
                return Bytes(v.begin(), v.end());
            }
            case Algorithm::sha1: {
                const auto v = tokenapi::crypto::sha1(data);
                return Bytes(v.begin(), v.end());
            }
            case Algorithm::md2: {
                const auto v = tokenapi::crypto::md2(data);
                return Bytes(v.begin(), v.end());
            }
        }
    }
    switch (a) {
        case Algorithm::md5:
            return inPieces<Md5State>(data, piece);
        case Algorithm::sha1:
            return inPieces<Sha1State>(data, piece);
        case Algorithm::md2:
            return inPieces<Md2State>(data, piece);
    }
    return {};
}

class DigestVectors : public testing::TestWithParam<std::tuple<Vector, std::size_t>> {};

TEST_P(DigestVectors, ReproducesThePublishedValue) {
    const auto& [vector, piece] = GetParam();
    EXPECT_EQ(toHex(digest(vector.algorithm, asBytes(vector.message), piece)), vector.expectedHex);
}

std::string caseName(const testing::TestParamInfo<DigestVectors::ParamType>& param) {
    const Vector& vector = std::get<0>(param.param);
    const std::size_t piece = std::get<1>(param.param);
    return std::string(nameOf(vector.algorithm)) + "_" + vector.label + "_" +
           (piece == kOneShot ? std::string("oneshot") : "pieces" + std::to_string(piece));
}

INSTANTIATE_TEST_SUITE_P(PublishedSuites, DigestVectors,
                         testing::Combine(testing::ValuesIn(vectors()),
                                          testing::Values(kOneShot, 1, 55, 56, 63, 64, 65)),
                         caseName);

// The one-shot forms that write into the caller's buffer (used for key material) agree.
TEST(DigestIntoBuffer, WritesTheSameValueAsTheReturningForm) {
    const auto data = asBytes("abc");
    std::array<std::uint8_t, 16> md5Out{};
    std::array<std::uint8_t, 20> sha1Out{};
    std::array<std::uint8_t, 16> md2Out{};
    tokenapi::crypto::md5(data, md5Out);
    tokenapi::crypto::sha1(data, sha1Out);
    tokenapi::crypto::md2(data, md2Out);
    EXPECT_EQ(toHex(md5Out), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(toHex(sha1Out), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(toHex(md2Out), "da853b0d3f88d99b30283a69e6ded6bb");
}

}  // namespace
}  // namespace crypto_test
