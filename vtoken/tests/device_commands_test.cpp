#include <gtest/gtest.h>

#include "token_fixture.h"
#include "vtoken/atr.h"

namespace vtoken {
namespace {

using testing::hex;
using testing::kUserPin;

class DeviceTest : public testing::TokenTest {};

TEST_F(DeviceTest, StatusRecordOfGenerationTwo) {
    const Bytes record = data("BFC800000F");
    ASSERT_EQ(record.size(), 15u);
    EXPECT_EQ(record[3], 0x02);
    EXPECT_EQ(record[4], 0x00);
    EXPECT_EQ(record[8], 0x00);
    EXPECT_EQ(readU16(record, 13), 32768);
    login(0xDDF1, kUserPin);
    EXPECT_EQ(data("BFC800000F")[8], 0x01);
    // The security byte follows the current application.
    ASSERT_EQ(select(0xDDF2), sw::kSuccess);
    EXPECT_EQ(data("BFC800000F")[8], 0x00);
}

TEST_F(DeviceTest, StatusRecordOfGenerationOne) {
    ProvisionOptions options = testing::defaultOptions();
    options.generation = 1;
    remake(options);
    login(0xDDF1, kUserPin);
    const Bytes record = data("BFC800000F");
    EXPECT_EQ(record[3], 0x01);
    EXPECT_EQ(record[4], 0x02);
    EXPECT_EQ(record[8], 0x00);  // generation 1 has no security byte
    token().overrides().generation = 2;
    EXPECT_EQ(data("BFC800000F")[3], 0x02);
}

TEST_F(DeviceTest, SerialAndMaxBlock) {
    EXPECT_EQ(data("BFC400000A"), hex("0102030405060708090A"));
    EXPECT_EQ(data("BFC0000004"), hex("00000400"));
    token().overrides().maxBlock = 0x12345;
    EXPECT_EQ(data("BFC0000004"), hex("00012345"));
    ProvisionOptions options = testing::defaultOptions();
    options.largestBlockQuery = false;
    remake(options);
    EXPECT_EQ(sw("BFC0000004"), sw::kInsNotSupported);
}

TEST_F(DeviceTest, FixedReadsWithWrongLe) {
    EXPECT_EQ(sw("BFC8000010"), sw::wrongLe(15));
    EXPECT_EQ(sw("BFC8000000"), sw::wrongLe(15));
    EXPECT_EQ(sw("BFC40000"), sw::wrongLe(10));
    EXPECT_EQ(sw("BFC0000002"), sw::wrongLe(4));
    EXPECT_EQ(sw("BFC40000020000"), sw::kWrongLength);
    EXPECT_EQ(sw("BFC401000A"), sw::kWrongP1P2);
}

TEST_F(DeviceTest, ClearDeviceForgetsPinsAndLabel) {
    for (const char* command : {"BF64000100", "BF74000100"}) {
        login(0xDDF1, kUserPin);
        ASSERT_EQ(select(0x00E1), sw::kSuccess);
        ASSERT_EQ(sw("00D6000003010141"), sw::kSuccess);
        EXPECT_EQ(sw(command), sw::kSuccess);
        EXPECT_EQ(data("BFC800000F")[8], 0x00);
        EXPECT_EQ(data("00B0000080"), Bytes(128, 0));
    }
    EXPECT_EQ(sw("BF64000000"), sw::kWrongP1P2);
}

TEST_F(DeviceTest, AtrOffersT1AndCarriesTheSerial) {
    const Bytes atr = token().atr();
    ASSERT_GE(atr.size(), 5u);
    EXPECT_EQ(atr[0], 0x3B);
    const std::size_t historical = atr[1] & 0x0F;
    EXPECT_EQ(atr[2], 0x80);  // TD1: TD2 follows
    EXPECT_EQ(atr[3], 0x01);  // TD2: T=1
    ASSERT_EQ(atr.size(), 4 + historical + 1);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    EXPECT_EQ(check, 0) << "TCK";
    EXPECT_NE(toHex(atr).find("0102030405060708090A"), std::string::npos);

    ProvisionOptions options = testing::defaultOptions();
    options.serial[9] = 0x0B;
    EXPECT_NE(Token(provision(options)).atr(), atr);
}

TEST_F(DeviceTest, GetResponseHandsOutDeferredReplyInPieces) {
    EXPECT_EQ(sw("00C0000010"), sw::kConditionsNotSatisfied);
    // A command answering 61xx, as the later bulk commands do.
    Bytes payload(300);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
    token().commands().add(0x80, 0xC6, [&payload](CommandContext& context, const Apdu&) {
        return context.deferResponse(payload);
    });
    EXPECT_EQ(sw("80C6000000"), sw::moreData(0));  // 256 or more waiting
    const Bytes first = send("00C0000000");
    EXPECT_EQ(testing::statusOf(first), sw::moreData(44));
    EXPECT_EQ(testing::dataOf(first), Bytes(payload.begin(), payload.begin() + 256));
    EXPECT_EQ(sw("00C0000030"), sw::wrongLe(44));
    EXPECT_EQ(data("00C000002C"), Bytes(payload.begin() + 256, payload.end()));
    EXPECT_EQ(sw("00C0000001"), sw::kConditionsNotSatisfied);

    // Any other command drops what was waiting.
    EXPECT_EQ(sw("80C6000000"), sw::moreData(0));
    ASSERT_EQ(select(0x3F00), sw::kSuccess);
    EXPECT_EQ(sw("00C0000010"), sw::kConditionsNotSatisfied);
}

}  // namespace
}  // namespace vtoken
