// The cipher commands on the token itself: loads, the three data forms, CBC from the loaded
// initial value, and the refusals.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <memory>

#include "token_fixture.h"
#include "vtoken/cipher_engine.h"

namespace vtoken {
namespace {

using testing::hex;
using testing::statusOf;

// GB/T 32907-2016, example 1: key and plain text are the same 16 bytes.
constexpr std::string_view kSm4Key = "0123456789ABCDEFFEDCBA9876543210";
constexpr std::string_view kSm4Cipher = "681EDF34D206965E86B3E94F536E4246";

class CipherCommandTest : public testing::TokenTest {
  protected:
    void loadSm4() { ASSERT_EQ(sw("80C6000210" + std::string(kSm4Key)), sw::kSuccess); }
};

TEST_F(CipherCommandTest, RefusalsOfLoadsAndDataCommands) {
    struct Case {
        const char* name;
        bool keyLoaded;
        std::string command;
        std::uint16_t expected;
    };
    const std::string block(32, 'A');  // 16 bytes of AA
    const Case cases[] = {
        {"unknown algorithm code", false, "80C604021000112233445566778899AABBCCDDEEFF", 0x6A81},
        {"DES key of 16 bytes", false, "80C601021000112233445566778899AABBCCDDEEFF",
         sw::kWrongLength},
        {"SM4 key of 8 bytes", false, "80C60002080011223344556677", sw::kWrongLength},
        {"initial value of 8 bytes", false, "80C60003080011223344556677", sw::kWrongLength},
        {"initial value with P1 01", false,
         "80C60103"
         "10" +
             block,
         sw::kWrongP1P2},
        {"data without a key", false, "80C6000010" + block, 0x6901},
        {"wide data without a key", false, "90C600000010" + block, 0x6901},
        {"data of 20 bytes", true, "80C6000014" + block + "00112233", sw::kWrongLength},
        {"empty data", true, "80C60000", sw::kWrongLength},
        {"P1 01", true, "80C6010010" + block, sw::kWrongP1P2},
        {"P2 04", true, "80C6000410" + block, sw::kWrongP1P2},
        {"wide P2 05", true, "90C600050010" + block, sw::kWrongP1P2},
        {"wide length not matching", true, "90C600000011" + block, sw::kWrongLength},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        remake(testing::defaultOptions());
        if (c.keyLoaded) loadSm4();
        EXPECT_EQ(sw(c.command), c.expected);
    }
}

TEST_F(CipherCommandTest, EveryDataFormEnciphersWithTheLoadedKey) {
    struct Case {
        const char* name;
        std::string header;  // before the data
    };
    const Case cases[] = {
        {"short", "80C6000010"},
        {"two-byte length", "90C600000010"},
        {"four-byte length", "90C6000000000010"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        loadSm4();
        EXPECT_EQ(data(c.header + std::string(kSm4Key)), hex(kSm4Cipher));
        std::string decrypt = c.header;
        decrypt[7] = '1';  // P2 01
        EXPECT_EQ(data(decrypt + std::string(kSm4Cipher)), hex(kSm4Key));
    }
}

TEST_F(CipherCommandTest, WideFormsTakeAtMostTheReportedBlock) {
    loadSm4();
    const std::string kib(2 * 1024, '5');  // 1,024 bytes
    token().overrides().maxBlock = 1024;
    EXPECT_EQ(statusOf(send("90C600000400" + kib)), sw::kSuccess);
    EXPECT_EQ(sw("90C600000410" + kib + std::string(32, '5')), sw::kWrongLength);
    token().overrides().maxBlock = 1008;
    EXPECT_EQ(sw("90C600000400" + kib), sw::kWrongLength);
    // The short form does not depend on it.
    token().overrides().maxBlock = 16;
    EXPECT_EQ(statusOf(send("80C60000F0" + std::string(480, '5'))), sw::kSuccess);
}

TEST_F(CipherCommandTest, AnInitialValueMakesDataChainUntilTheNextKeyLoad) {
    loadSm4();
    const std::string zeros(32, '0');
    const Bytes ecb = data("80C6000020" + std::string(kSm4Key) + std::string(kSm4Key));
    ASSERT_EQ(sw("80C6000310" + zeros), sw::kSuccess);
    // With a zero initial value the first block is ECB's; the second is chained to it.
    const Bytes cbc = data("80C6000020" + std::string(kSm4Key) + std::string(kSm4Key));
    EXPECT_EQ(Bytes(cbc.begin(), cbc.begin() + 16), Bytes(ecb.begin(), ecb.begin() + 16));
    EXPECT_NE(Bytes(cbc.begin() + 16, cbc.end()), Bytes(ecb.begin() + 16, ecb.end()));
    // The register keeps its value: the same command gives the same chain again.
    EXPECT_EQ(data("80C6000020" + std::string(kSm4Key) + std::string(kSm4Key)), cbc);
    loadSm4();
    EXPECT_EQ(data("80C6000020" + std::string(kSm4Key) + std::string(kSm4Key)), ecb);
}

// OpenSSL's own DES and SM4, ECB and CBC, on the same key and data as the token.
Bytes openssl(const char* name, const Bytes& key, const Bytes& iv, const Bytes& data) {
    std::unique_ptr<OSSL_LIB_CTX, decltype(&OSSL_LIB_CTX_free)> ctx(OSSL_LIB_CTX_new(),
                                                                    OSSL_LIB_CTX_free);
    // Loaded providers hold references the context does not drop by itself: unloaded
    // before the context goes, or LeakSanitizer reports them at exit.
    using Provider = std::unique_ptr<OSSL_PROVIDER, decltype(&OSSL_PROVIDER_unload)>;
    const Provider base(OSSL_PROVIDER_load(ctx.get(), "default"), OSSL_PROVIDER_unload);
    const Provider legacy(OSSL_PROVIDER_load(ctx.get(), "legacy"), OSSL_PROVIDER_unload);
    EXPECT_NE(base, nullptr);
    EXPECT_NE(legacy, nullptr);
    std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)> cipher(
        EVP_CIPHER_fetch(ctx.get(), name, nullptr), EVP_CIPHER_free);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> c(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
    Bytes out(data.size() + 16);
    int n = 0;
    int last = 0;
    EXPECT_TRUE(cipher && c &&
                EVP_EncryptInit_ex2(c.get(), cipher.get(), key.data(),
                                    iv.empty() ? nullptr : iv.data(), nullptr) == 1 &&
                EVP_CIPHER_CTX_set_padding(c.get(), 0) == 1 &&
                EVP_EncryptUpdate(c.get(), out.data(), &n, data.data(),
                                  static_cast<int>(data.size())) == 1 &&
                EVP_EncryptFinal_ex(c.get(), out.data() + n, &last) == 1);
    out.resize(static_cast<std::size_t>(n + last));
    return out;
}

TEST_F(CipherCommandTest, DesAndSm4AgreeWithOpenSslInEcbAndCbc) {
    struct Case {
        const char* name;
        const char* loadKey;  // the key load, key included
        Bytes key;
        const char* ecb;
        const char* cbc;
    };
    const Bytes desKey = hex("133457799BBCDFF1");
    const Bytes sm4Key = hex(kSm4Key);
    const Case cases[] = {
        {"DES", "80C6010208133457799BBCDFF1", desKey, "DES-ECB", "DES-CBC"},
        {"SM4",
         "80C6000210"
         "0123456789ABCDEFFEDCBA9876543210",
         sm4Key, "SM4-ECB", "SM4-CBC"},
    };
    Bytes plain(96);
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 11 + 3);
    const std::string ivHex = "F0E1D2C3B4A5968778695A4B3C2D1E0F";
    const Bytes iv = hex(ivHex);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(sw(c.loadKey), sw::kSuccess);
        EXPECT_EQ(data("90C600000060" + toHex(plain)), openssl(c.ecb, c.key, {}, plain));
        ASSERT_EQ(sw("80C6000310" + ivHex), sw::kSuccess);
        // An 8-byte cipher chains from the first 8 bytes of the initial value.
        const Bytes chainFrom(iv.begin(), iv.begin() + static_cast<std::ptrdiff_t>(c.key.size()));
        EXPECT_EQ(data("90C6000000000060" + toHex(plain)), openssl(c.cbc, c.key, chainFrom, plain));
    }
}

TEST_F(CipherCommandTest, PowerOffAndResetForgetTheKey) {
    const std::string block(32, 'A');
    loadSm4();
    token().powerOff();
    EXPECT_EQ(sw("80C6000010" + block), 0x6901);
    loadSm4();
    token().reset();
    EXPECT_EQ(sw("80C6000010" + block), 0x6901);
}

}  // namespace
}  // namespace vtoken
