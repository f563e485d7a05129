#include <gtest/gtest.h>

#include "token_fixture.h"
#include "vtoken/pin_crypto.h"

namespace vtoken {
namespace {

using testing::hex;
using testing::kAdminPin;
using testing::kUserPin;
using testing::pinBytes;

TEST(PinCrypto, CryptogramKnownAnswer) {
    // MD5("123456") = e10adc3949ba59abbe56e057f20f883e as K1|K2, DES-EDE of 0102030405060708
    const Challenge challenge{1, 2, 3, 4, 5, 6, 7, 8};
    const Challenge cryptogram = pinCryptogram(pinBytes("123456"), challenge);
    EXPECT_EQ(Bytes(cryptogram.begin(), cryptogram.end()), hex("3E4349B44D836EC8"));
}

TEST(PinCrypto, KeyRecordShiftsAndPads) {
    const KeyRecord record = keyRecordFromPin(hex("31 32 80 7F"));
    EXPECT_EQ(Bytes(record.begin(), record.end()),
              hex("0010 62 64 00 FE FFFFFFFFFFFFFFFFFFFFFFFF"));
    // The top bit is lost on the way in, so 80 comes back as 00.
    EXPECT_EQ(pinFromKeyRecord(record), hex("31 32 00 7F"));
    const KeyRecord full = keyRecordFromPin(pinBytes("0123456789abcdef"));
    EXPECT_EQ(pinFromKeyRecord(full), pinBytes("0123456789abcdef"));
}

class PinTest : public testing::TokenTest {
  protected:
    void SetUp() override {
        TokenTest::SetUp();
        ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    }
    Bytes counters() {
        Bytes both = data("BF20000102");
        const Bytes admin = data("BF20000202");
        both.insert(both.end(), admin.begin(), admin.end());
        return both;
    }
    std::uint8_t securityByte() { return data("BFC800000F")[8]; }
    // WRITE KEY for the given PIN number with a new PIN.
    std::uint16_t writeKey(std::uint8_t p1, std::uint8_t pinNumber, std::string_view pin) {
        Bytes command{0x80, 0xD4, p1, pinNumber, 0x12};
        const KeyRecord record = keyRecordFromPin(pinBytes(pin));
        command.insert(command.end(), record.begin(), record.end());
        return testing::statusOf(token().transmit(command));
    }
};

TEST_F(PinTest, UserPinVerifies) {
    EXPECT_EQ(securityByte(), 0);
    EXPECT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(securityByte(), 1);
    EXPECT_EQ(counters(), hex("0606 0606"));
}

TEST_F(PinTest, WrongPinCountsDownThenBlocks) {
    for (unsigned left = 5; left >= 1; --left) {
        EXPECT_EQ(authenticate("000000"), sw::wrongPin(left));
    }
    EXPECT_EQ(authenticate("000000"), sw::kAuthBlocked);
    EXPECT_EQ(counters(), hex("0600 0606"));
    // A blocked user PIN is not compared any more: even the right one now costs the
    // administrator PIN a try.
    EXPECT_EQ(authenticate(kUserPin), sw::wrongPin(5));
    EXPECT_EQ(counters(), hex("0600 0605"));
}

TEST_F(PinTest, RightPinRestoresTheCounter) {
    EXPECT_EQ(authenticate("000000"), sw::wrongPin(5));
    EXPECT_EQ(authenticate("000000"), sw::wrongPin(4));
    EXPECT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(counters(), hex("0606 0606"));
}

TEST_F(PinTest, FailureClearsVerification) {
    ASSERT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(authenticate("000000"), sw::wrongPin(5));
    EXPECT_EQ(securityByte(), 0);
}

TEST_F(PinTest, AdminPinVerifiesAsAdministrator) {
    ASSERT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(authenticate(kAdminPin), sw::kSuccess);
    EXPECT_EQ(securityByte(), 0);  // user verification was replaced
    ASSERT_EQ(select(0x0020), sw::kSuccess);
    EXPECT_EQ(sw("00D60000026606"), sw::kSuccess);  // counter file needs admin
}

TEST_F(PinTest, BothBlockedStaysBlocked) {
    for (int i = 0; i < 6; ++i) authenticate("000000");
    for (int i = 0; i < 6; ++i) authenticate("000000");
    EXPECT_EQ(counters(), hex("0600 0600"));
    EXPECT_EQ(authenticate(kAdminPin), sw::kAuthBlocked);
    EXPECT_EQ(authenticate("000000"), sw::kAuthBlocked);
    EXPECT_EQ(counters(), hex("0600 0600"));
}

TEST_F(PinTest, AdminUnblocksUserWithWriteKey) {
    for (int i = 0; i < 6; ++i) authenticate("000000");
    ASSERT_EQ(counters(), hex("0600 0606"));
    ASSERT_EQ(authenticate(kAdminPin), sw::kSuccess);
    EXPECT_EQ(writeKey(0x80, 1, "654321"), sw::kSuccess);
    EXPECT_EQ(counters(), hex("0606 0606"));
    EXPECT_EQ(authenticate(kUserPin), sw::wrongPin(5));
    EXPECT_EQ(authenticate("654321"), sw::kSuccess);
}

TEST_F(PinTest, WriteKeyRights) {
    EXPECT_EQ(writeKey(0x80, 1, "111111"), sw::kSecurityNotSatisfied);
    ASSERT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(writeKey(0x80, 2, "111111"), sw::kSecurityNotSatisfied);
    EXPECT_EQ(writeKey(0x80, 1, "111111"), sw::kSuccess);
    EXPECT_EQ(authenticate("111111"), sw::kSuccess);
    // Only this application directory changed.
    login(0xDDF2, kUserPin);
}

TEST_F(PinTest, WriteKeyFraming) {
    ASSERT_EQ(authenticate(kAdminPin), sw::kSuccess);
    EXPECT_EQ(writeKey(0x80, 3, "111111"), sw::kWrongP1P2);
    EXPECT_EQ(sw("80D48001110010" + std::string(30, 'F')), sw::kWrongLength);
    EXPECT_EQ(sw("80D48001120110" + std::string(32, 'F')), sw::kWrongData);
}

struct GenerationCase {
    std::uint8_t generation;
    std::uint8_t acceptedP1;
    std::uint8_t refusedP1;
};

class WriteKeyGeneration : public PinTest, public ::testing::WithParamInterface<GenerationCase> {};

TEST_P(WriteKeyGeneration, P1FollowsTheGeneration) {
    ProvisionOptions options = testing::defaultOptions();
    options.generation = GetParam().generation;
    remake(options);
    login(0xDDF1, kUserPin);
    EXPECT_EQ(writeKey(GetParam().refusedP1, 1, "222222"), sw::kWrongP1P2);
    EXPECT_EQ(writeKey(GetParam().acceptedP1, 1, "222222"), sw::kSuccess);
}

TEST_P(WriteKeyGeneration, RuntimeOverrideWins) {
    token().overrides().generation = GetParam().generation;
    ASSERT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(writeKey(GetParam().refusedP1, 1, "222222"), sw::kWrongP1P2);
    EXPECT_EQ(writeKey(GetParam().acceptedP1, 1, "222222"), sw::kSuccess);
}

INSTANTIATE_TEST_SUITE_P(Generations, WriteKeyGeneration,
                         ::testing::Values(GenerationCase{1, 0x01, 0x80},
                                           GenerationCase{2, 0x80, 0x01}),
                         [](const auto& testCase) {
                             return "Generation" + std::to_string(testCase.param.generation);
                         });

TEST_F(PinTest, CounterCommandFraming) {
    EXPECT_EQ(sw("BF20000302"), sw::kWrongP1P2);
    EXPECT_EQ(sw("BF20000104"), sw::wrongLe(2));
    EXPECT_EQ(sw("BF200001"), sw::wrongLe(2));
}

TEST_F(PinTest, OlderTokenWithoutCounterCommand) {
    ProvisionOptions options = testing::defaultOptions();
    options.pinCounterCommand = false;
    remake(options);
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    EXPECT_EQ(sw("BF20000102"), sw::kInsNotSupported);
    for (int i = 0; i < 6; ++i) authenticate("000000");
    ASSERT_EQ(authenticate(kAdminPin), sw::kSuccess);
    EXPECT_EQ(writeKey(0x80, 1, "654321"), sw::kSuccess);
    // The token leaves the counter to the host ...
    ASSERT_EQ(select(0x0020), sw::kSuccess);
    EXPECT_EQ(data("00B0000002"), hex("6066"));
    // Still blocked: the miss falls on the administrator PIN.
    EXPECT_EQ(authenticate("654321"), sw::wrongPin(5));
    // ... which resets it by writing the counter file.
    ASSERT_EQ(authenticate(kAdminPin), sw::kSuccess);
    EXPECT_EQ(sw("00D600000166"), sw::kSuccess);
    EXPECT_EQ(authenticate("654321"), sw::kSuccess);
}

TEST_F(PinTest, ChallengeRules) {
    EXPECT_EQ(sw("00820002080102030405060708"), sw::kConditionsNotSatisfied);
    EXPECT_EQ(sw("0084000004"), sw::wrongLe(8));
    const Bytes challenge = data("0084000008");
    EXPECT_EQ(challenge.size(), 8u);
    // Other commands in between keep the challenge.
    ASSERT_EQ(select(0x0020), sw::kSuccess);
    Challenge c{};
    std::copy(challenge.begin(), challenge.end(), c.begin());
    const Challenge cryptogram = pinCryptogram(pinBytes(kUserPin), c);
    Bytes command = hex("0082000208");
    command.insert(command.end(), cryptogram.begin(), cryptogram.end());
    EXPECT_EQ(testing::statusOf(token().transmit(command)), sw::kSuccess);
    // A used challenge is gone.
    EXPECT_EQ(testing::statusOf(token().transmit(command)), sw::kConditionsNotSatisfied);
    EXPECT_NE(data("0084000008"), data("0084000008"));
}

TEST_F(PinTest, ExternalAuthenticateParameters) {
    data("0084000008");
    EXPECT_EQ(sw("00820001080102030405060708"), sw::kKeyNotFound);
    EXPECT_EQ(sw("008200020401020304"), sw::kWrongLength);
}

TEST_F(PinTest, PinsBelongToTheCurrentApplication) {
    ASSERT_EQ(authenticate(kUserPin), sw::kSuccess);
    ASSERT_EQ(writeKey(0x80, 1, "777777"), sw::kSuccess);
    ASSERT_EQ(select(0xDDF2), sw::kSuccess);
    EXPECT_EQ(authenticate("777777"), sw::wrongPin(5));
    EXPECT_EQ(authenticate(kUserPin), sw::kSuccess);
    // From the MF, the last application (DDF2) is the one that answers.
    ASSERT_EQ(select(0x3F00), sw::kSuccess);
    EXPECT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(data("BF20000102"), hex("0606"));
}

}  // namespace
}  // namespace vtoken
