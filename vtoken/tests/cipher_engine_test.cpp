// The token's block ciphers against the published test values of each cipher, and CBC as the
// chain of single-block encryptions it must be.
#include "vtoken/cipher_engine.h"

#include <gtest/gtest.h>

#include "vtoken/bytes.h"

namespace vtoken::cipher {
namespace {

Bytes hex(std::string_view text) {
    return *fromHex(text);
}

Bytes run(std::uint8_t code, const Bytes& key, const std::optional<InitialValue>& iv,
          Direction direction, const Bytes& in) {
    Bytes out(in.size());
    apply(*algorithmFor(code), key, iv, direction, in, out);
    return out;
}

TEST(CipherEngine, EachCodeGivesItsCiphersPublishedValue) {
    struct Case {
        const char* name;
        std::uint8_t code;
        const char* key;
        const char* plain;
        const char* cipher;
    };
    const Case cases[] = {
        // GB/T 32907-2016, example 1
        {"SM4", 0x00, "0123456789ABCDEFFEDCBA9876543210", "0123456789ABCDEFFEDCBA9876543210",
         "681EDF34D206965E86B3E94F536E4246"},
        // FIPS 46 worked example
        {"DES", 0x01, "133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
        // FIPS 197, appendix C.1
        {"AES-128", 0x02, "000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF",
         "69C4E0D86A7B0430D8CDB78070B4C55A"},
        // RFC 3713, appendix A
        {"Camellia-128", 0x03, "0123456789ABCDEFFEDCBA9876543210",
         "0123456789ABCDEFFEDCBA9876543210", "67673138549669730857065648EABE43"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run(c.code, hex(c.key), std::nullopt, Direction::Encrypt, hex(c.plain)),
                  hex(c.cipher));
        EXPECT_EQ(run(c.code, hex(c.key), std::nullopt, Direction::Decrypt, hex(c.cipher)),
                  hex(c.plain));
    }
}

TEST(CipherEngine, CbcChainsEveryBlockFromTheInitialValue) {
    InitialValue iv{};
    for (std::size_t i = 0; i < iv.size(); ++i) iv[i] = static_cast<std::uint8_t>(0xA0 + i);
    for (std::uint8_t code = 0; code < 4; ++code) {
        SCOPED_TRACE(static_cast<int>(code));
        const Algorithm& a = *algorithmFor(code);
        const Bytes key(a.keyLength, 0x5B);
        Bytes plain(a.blockLength * 3);
        for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 7);

        // C[i] = E(P[i] xor C[i-1]), C[-1] = the initial value (its first block-length bytes).
        Bytes expected;
        Bytes previous(iv.begin(), iv.begin() + static_cast<std::ptrdiff_t>(a.blockLength));
        for (std::size_t at = 0; at < plain.size(); at += a.blockLength) {
            Bytes block(plain.begin() + static_cast<std::ptrdiff_t>(at),
                        plain.begin() + static_cast<std::ptrdiff_t>(at + a.blockLength));
            for (std::size_t i = 0; i < block.size(); ++i) block[i] ^= previous[i];
            previous = run(code, key, std::nullopt, Direction::Encrypt, block);
            expected.insert(expected.end(), previous.begin(), previous.end());
        }
        const Bytes cipher = run(code, key, iv, Direction::Encrypt, plain);
        EXPECT_EQ(cipher, expected);
        EXPECT_EQ(run(code, key, iv, Direction::Decrypt, cipher), plain);
    }
}

TEST(CipherEngine, UnknownCodesAndLengthsThatDoNotFitAreRefused) {
    EXPECT_EQ(algorithmFor(0x04), nullptr);
    EXPECT_EQ(algorithmFor(0xFF), nullptr);
    const Algorithm& sm4 = *algorithmFor(0x00);
    Bytes out(20);
    EXPECT_THROW(apply(sm4, Bytes(16), std::nullopt, Direction::Encrypt, Bytes(20), out),
                 std::invalid_argument);
    Bytes out16(16);
    EXPECT_THROW(apply(sm4, Bytes(8), std::nullopt, Direction::Encrypt, Bytes(16), out16),
                 std::invalid_argument);
}

}  // namespace
}  // namespace vtoken::cipher
