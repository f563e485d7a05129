#include <gtest/gtest.h>

#include "token_fixture.h"

namespace vtoken {
namespace {

using testing::hex;
using testing::kUserPin;

class SelectionTest : public testing::TokenTest {};

struct SelectionCase {
    const char* name;
    std::vector<std::uint16_t> before;  // selected first, each must succeed
    std::uint16_t fid;
    std::uint16_t expected;
};

class SelectionRule : public testing::TokenTest,
                      public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(SelectionRule, FollowsCurrentDfThenMf) {
    for (std::uint16_t fid : GetParam().before) ASSERT_EQ(select(fid), sw::kSuccess) << fid;
    EXPECT_EQ(select(GetParam().fid), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, SelectionRule,
    ::testing::Values(
        SelectionCase{"MfFromApplication", {0xDDF1}, 0x3F00, sw::kSuccess},
        SelectionCase{"ChildOfCurrentDf", {0xDDF1}, 0x0020, sw::kSuccess},
        SelectionCase{"MfChildFromApplication", {0xDDF1}, 0x00E1, sw::kSuccess},
        SelectionCase{"OtherApplicationFromApplication", {0xDDF1}, 0xDDF2, sw::kSuccess},
        SelectionCase{"ApplicationFileNotVisibleFromMf", {}, 0x0020, sw::kFileNotFound},
        SelectionCase{"EfInMfKeepsTheApplication", {0xDDF1, 0x00E1}, 0x0020, sw::kSuccess},
        SelectionCase{
            "MasterFileLeavesTheApplication", {0xDDF1, 0x3F00}, 0x0020, sw::kFileNotFound},
        SelectionCase{"Unknown", {0xDDF1}, 0x1234, sw::kFileNotFound}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(SelectionTest, SelectingAnEfMakesItCurrentAndItsDfCurrent) {
    ASSERT_EQ(select(0xDDF2), sw::kSuccess);
    ASSERT_EQ(select(0x0020), sw::kSuccess);
    EXPECT_EQ(data("00B0000002"), hex("6666"));
    // EF07 of the current DF by short identifier: DDF2 is current after selecting its EF.
    EXPECT_EQ(data("00B0870001"), hex("00"));
}

TEST_F(SelectionTest, FailedSelectKeepsTheCurrentFile) {
    ASSERT_EQ(select(0xFFEE), sw::kSuccess);
    EXPECT_EQ(select(0x4444), sw::kFileNotFound);
    EXPECT_EQ(data("00B0000001"), hex("08"));
}

TEST_F(SelectionTest, RequiresTwoByteIdentifier) {
    EXPECT_EQ(sw("00A40000013F"), sw::kWrongLength);
    EXPECT_EQ(sw("00A4000002"), sw::kWrongLength);
    EXPECT_EQ(sw("00A40100023F00"), sw::kWrongP1P2);
    EXPECT_EQ(sw("00A40000023F0000"), sw::kSuccess);  // Le tolerated
}

class BinaryTest : public testing::TokenTest {};

TEST_F(BinaryTest, PostConnectBlockReads) {
    ASSERT_EQ(select(0xFFEE), sw::kSuccess);
    EXPECT_EQ(data("00B0000001"), hex("08"));
    EXPECT_EQ(data("00B0000108"), Bytes({'V', 'T', 'O', 'K', 'E', 'N', '0', '1'}));
}

struct ReadCase {
    const char* name;
    std::uint16_t fid;
    std::string command;
    std::uint16_t expectedSw;
    std::size_t expectedLength;
};

class ReadBinaryEdges : public testing::TokenTest,
                        public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadBinaryEdges, AnswersLikeACard) {
    const ReadCase& c = GetParam();
    ASSERT_EQ(select(c.fid), sw::kSuccess);
    const Bytes reply = send(c.command);
    EXPECT_EQ(testing::statusOf(reply), c.expectedSw);
    EXPECT_EQ(testing::dataOf(reply).size(), c.expectedLength);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ReadBinaryEdges,
    ::testing::Values(
        // 001B holds 4 bytes
        ReadCase{"WholeFile", 0x001B, "00B0000004", sw::kSuccess, 4},
        ReadCase{"OffsetAtEnd", 0x001B, "00B0000401", sw::kOffsetBeyondEnd, 0},
        ReadCase{"OffsetBeyondEnd", 0x001B, "00B0010001", sw::kOffsetBeyondEnd, 0},
        ReadCase{"LeBeyondEnd", 0x001B, "00B0000204", sw::wrongLe(2), 0},
        ReadCase{"Le00IsAllOfSmallFile", 0x001B, "00B0000000", sw::wrongLe(4), 0},
        // 00E1 holds 128 bytes, FFEE 16
        ReadCase{"Le00On128", 0x00E1, "00B0000000", sw::wrongLe(128), 0},
        ReadCase{"TailOf128", 0x00E1, "00B0007008", sw::kSuccess, 8},
        ReadCase{"RecordFile", 0x00A0, "00B0000001", sw::kIncompatibleFile, 0},
        ReadCase{"WithData", 0xFFEE, "00B00000010000", sw::kWrongLength, 0},
        ReadCase{"BadShortIdP1", 0xFFEE, "00B0C00001", sw::kWrongP1P2, 0},
        ReadCase{"ShortIdNotInMf", 0xFFEE, "00B0870001", sw::kFileNotFound, 0}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(BinaryTest, Le00ReadsFullPieceOfLargeFile) {
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    ASSERT_EQ(select(0x0003), sw::kSuccess);
    EXPECT_EQ(data("00B0000000").size(), 256u);
    // The last 2 bytes of the 2,050-byte certificate file
    EXPECT_EQ(send("00B0080002"), hex("0000 9000"));
    EXPECT_EQ(sw("00B0080004"), sw::wrongLe(2));
}

TEST_F(BinaryTest, NoCurrentEf) {
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    EXPECT_EQ(sw("00B0000001"), sw::kNoCurrentEf);
    EXPECT_EQ(sw("00D6000001AA"), sw::kNoCurrentEf);
}

TEST_F(BinaryTest, UpdateWritesWhereAskedAndStaysInTheFile) {
    ASSERT_EQ(select(0x00E1), sw::kSuccess);  // update is free
    EXPECT_EQ(sw("00D6007E02AABB"), sw::kSuccess);
    EXPECT_EQ(data("00B0007E02"), hex("AABB"));
    EXPECT_EQ(sw("00D6007F02AABB"), sw::kWrongLength);
    EXPECT_EQ(sw("00D6008001AA"), sw::kOffsetBeyondEnd);
    EXPECT_EQ(sw("00D60000"), sw::kWrongLength);
    EXPECT_EQ(data("00B0007F01"), hex("BB"));  // the refused writes changed nothing
}

TEST_F(BinaryTest, ShortIdentifierUpdateNeedsUser) {
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    EXPECT_EQ(sw("00D6870101 01"), sw::kSecurityNotSatisfied);
    ASSERT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(sw("00D6870101 01"), sw::kSuccess);
    EXPECT_EQ(data("00B0870101"), hex("01"));
}

struct AccessCase {
    const char* name;
    std::vector<std::uint16_t> path;
    std::string update;
    std::uint16_t anonymous;  // no PIN verified
    std::uint16_t user;       // user PIN verified in DDF1
};

class AccessConditions : public testing::TokenTest,
                         public ::testing::WithParamInterface<AccessCase> {};

TEST_P(AccessConditions, UpdateNeedsTheRightPin) {
    const AccessCase& c = GetParam();
    const auto attempt = [&] {
        for (std::uint16_t fid : c.path) EXPECT_EQ(select(fid), sw::kSuccess);
        return sw(c.update);
    };
    EXPECT_EQ(attempt(), c.anonymous);
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    ASSERT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(attempt(), c.user);
}

const std::string kRecord128 = "00DC010480" + std::string(256, '0');

INSTANTIATE_TEST_SUITE_P(
    Files, AccessConditions,
    ::testing::Values(
        AccessCase{"Label", {0x3F00, 0x00E1}, "00D6000001AA", sw::kSuccess, sw::kSuccess},
        AccessCase{"Marker",
                   {0x3F00, 0xFFEE},
                   "00D6000001AA",
                   sw::kSecurityNotSatisfied,
                   sw::kSecurityNotSatisfied},
        AccessCase{"ApplicationList",
                   {0x3F00, 0x00A0},
                   kRecord128,
                   sw::kSecurityNotSatisfied,
                   sw::kSecurityNotSatisfied},
        AccessCase{"ContainerDirectory",
                   {0x3F00, 0x00E2},
                   kRecord128,
                   sw::kSecurityNotSatisfied,
                   sw::kSuccess},
        AccessCase{
            "KeyFlags", {0x3F00, 0x001A}, "00D6000001AA", sw::kSecurityNotSatisfied, sw::kSuccess},
        AccessCase{"Certificate",
                   {0x3F00, 0xDDF1, 0x0003},
                   "00D6000001AA",
                   sw::kSecurityNotSatisfied,
                   sw::kSuccess},
        AccessCase{"FileDirectory",
                   {0x3F00, 0xDDF1, 0x00EF},
                   "00DC01041B" + std::string(54, '0'),
                   sw::kSecurityNotSatisfied,
                   sw::kSuccess},
        AccessCase{"Counters",
                   {0x3F00, 0xDDF1, 0x0020},
                   "00D6000001AA",
                   sw::kSecurityNotSatisfied,
                   sw::kSecurityNotSatisfied}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(BinaryTest, SecurityStateBelongsToEachApplication) {
    login(0xDDF1, kUserPin);
    ASSERT_EQ(select(0xDDF2), sw::kSuccess);
    ASSERT_EQ(select(0x0003), sw::kSuccess);
    EXPECT_EQ(sw("00D6000001AA"), sw::kSecurityNotSatisfied);
    // MF files follow the current application, now DDF2
    ASSERT_EQ(select(0x001A), sw::kSuccess);
    EXPECT_EQ(sw("00D6000001AA"), sw::kSecurityNotSatisfied);
    // DDF1 kept its state while DDF2 was current
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    ASSERT_EQ(select(0x001A), sw::kSuccess);
    EXPECT_EQ(sw("00D6000001AA"), sw::kSuccess);
}

TEST_F(BinaryTest, PowerOffAndResetForgetVerification) {
    for (auto forget : {&Token::powerOff, &Token::reset}) {
        login(0xDDF1, kUserPin);
        ASSERT_EQ(select(0x0003), sw::kSuccess);
        ASSERT_EQ(sw("00D6000001AA"), sw::kSuccess);
        (token().*forget)();
        EXPECT_EQ(sw("00D6000001AA"), sw::kNoCurrentEf);  // selection is gone too
        ASSERT_EQ(select(0xDDF1), sw::kSuccess);
        ASSERT_EQ(select(0x0003), sw::kSuccess);
        EXPECT_EQ(sw("00D6000001AA"), sw::kSecurityNotSatisfied);
    }
}

class RecordTest : public testing::TokenTest {};

TEST_F(RecordTest, ApplicationListAsProvisioned) {
    ASSERT_EQ(select(0x00A0), sw::kSuccess);
    Bytes first = data("00B2010480");
    ASSERT_EQ(first.size(), 128u);
    EXPECT_EQ(Bytes(first.begin(), first.begin() + 5), hex("01DDF10100"));
    EXPECT_EQ(data("00B2020404"), hex("01DDF200"));
    EXPECT_EQ(data("00B2040404"), hex("00000000"));
}

TEST_F(RecordTest, ContainerDirectoryPresetIdentifiers) {
    ASSERT_EQ(select(0x00E2), sw::kSuccess);
    for (int i = 1; i <= 4; ++i) {
        const std::string command = "00B20" + std::to_string(i) + "0406";
        EXPECT_EQ(data(command),
                  Bytes({0xAD, static_cast<std::uint8_t>(0xF0 + i), 0x00, 0x00, 0xFF, 0xFF}));
    }
}

TEST_F(RecordTest, RecordEdges) {
    ASSERT_EQ(select(0x00A0), sw::kSuccess);
    EXPECT_EQ(sw("00B2050480"), sw::kRecordNotFound);
    EXPECT_EQ(sw("00B2000480"), sw::kWrongP1P2);
    EXPECT_EQ(sw("00B2010080"), sw::kWrongP1P2);
    EXPECT_EQ(sw("00B2010400"), sw::wrongLe(128));  // Le 00 asks for 256
    EXPECT_EQ(sw("00B2010481"), sw::wrongLe(128));
    ASSERT_EQ(select(0xFFEE), sw::kSuccess);
    EXPECT_EQ(sw("00B2010410"), sw::kIncompatibleFile);
}

TEST_F(RecordTest, UpdateReplacesOneWholeRecord) {
    login(0xDDF1, kUserPin);
    ASSERT_EQ(select(0x00EF), sw::kSuccess);
    const std::string record = "01EF10FF0010 03 616263" + std::string(34, '0');
    EXPECT_EQ(sw("00DC02041B" + record), sw::kSuccess);
    EXPECT_EQ(data("00B202041B"), hex(record));
    EXPECT_EQ(data("00B201041B"), Bytes(27, 0));
    EXPECT_EQ(sw("00DC02041A" + std::string(52, '0')), sw::kWrongLength);
    EXPECT_EQ(sw("00DC15041B" + record), sw::kRecordNotFound);
}

class CreateFileTest : public testing::TokenTest {
  protected:
    // 80 E0 00 03 0D with FID, size and the two access bytes.
    std::uint16_t create(std::uint16_t fid, std::uint16_t size, std::uint8_t read = 0,
                         std::uint8_t update = 0) {
        Bytes command = hex("80E000030D");
        putU16(command, fid);
        putU16(command, size);
        command.insert(command.end(), {0, 0, 0, 0, read, 0, update, 0, 0});
        return testing::statusOf(token().transmit(command));
    }
    std::size_t freeSpace() {
        const Bytes status = data("BFC800000F");
        return readU16(status, 13);
    }
};

TEST_F(CreateFileTest, NeedsUserPin) {
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    EXPECT_EQ(create(0xEF10, 10), sw::kSecurityNotSatisfied);
    ASSERT_EQ(authenticate(kUserPin), sw::kSuccess);
    EXPECT_EQ(create(0xEF10, 10), sw::kSuccess);
    ASSERT_EQ(select(0xEF10), sw::kSuccess);
    EXPECT_EQ(data("00B000000A"), Bytes(10, 0));
}

TEST_F(CreateFileTest, RefusesExistingIdentifierAndBadParameters) {
    login(0xDDF1, kUserPin);
    EXPECT_EQ(create(0x0020, 10), sw::kFileExists);
    EXPECT_EQ(create(0xEF10, 10), sw::kSuccess);
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    EXPECT_EQ(create(0xEF10, 10), sw::kFileExists);
    EXPECT_EQ(sw("80E000020D00000000000000000000000000"), sw::kWrongP1P2);
    EXPECT_EQ(sw("80E000030C000000000000000000000000"), sw::kWrongLength);
}

TEST_F(CreateFileTest, CapacityAndFreeSpaceReport) {
    ProvisionOptions options = testing::defaultOptions();
    options.capacity = 100;
    remake(options);
    login(0xDDF1, kUserPin);
    EXPECT_EQ(freeSpace(), 100u);
    EXPECT_EQ(create(0xEF10, 90), sw::kSuccess);
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    EXPECT_EQ(freeSpace(), 10u);
    EXPECT_EQ(create(0xEF11, 11), sw::kNotEnoughMemory);
    EXPECT_EQ(create(0xEF11, 10), sw::kSuccess);
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    EXPECT_EQ(freeSpace(), 0u);
    EXPECT_EQ(create(0xEF12, 1), sw::kNotEnoughMemory);
}

TEST_F(CreateFileTest, AccessBytesProtectTheNewFile) {
    login(0xDDF1, kUserPin);
    ASSERT_EQ(create(0xEF10, 4, 0x11, 0x11), sw::kSuccess);
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    ASSERT_EQ(create(0xEF11, 4, 0x00, 0x00), sw::kSuccess);
    token().reset();
    ASSERT_EQ(select(0xDDF1), sw::kSuccess);
    ASSERT_EQ(select(0xEF10), sw::kSuccess);
    EXPECT_EQ(sw("00B0000004"), sw::kSecurityNotSatisfied);
    EXPECT_EQ(sw("00D6000001AA"), sw::kSecurityNotSatisfied);
    ASSERT_EQ(select(0xEF11), sw::kSuccess);
    EXPECT_EQ(sw("00D6000001AA"), sw::kSuccess);
    EXPECT_EQ(data("00B0000001"), hex("AA"));
}

}  // namespace
}  // namespace vtoken
