// The cipher commands on the token itself: loads, the three data forms, CBC from the loaded
// initial value, and the refusals.
#include <gtest/gtest.h>

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
