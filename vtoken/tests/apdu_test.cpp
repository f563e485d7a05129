#include "vtoken/apdu.h"

#include <gtest/gtest.h>

#include "token_fixture.h"

namespace vtoken {
namespace {

using testing::hex;

struct FramingCase {
    const char* name;
    std::string command;
    LengthForm form;
    std::size_t dataLength;
    std::optional<std::size_t> le;
    std::size_t trailing;
    std::size_t dataOffset = 4;
};

class ApduFraming : public ::testing::TestWithParam<FramingCase> {};

TEST_P(ApduFraming, SplitsHeaderDataAndLe) {
    const FramingCase& c = GetParam();
    const Bytes raw = hex(c.command);
    const Apdu apdu = parseApdu(raw, c.form);
    EXPECT_EQ(apdu.cla, raw[0]);
    EXPECT_EQ(apdu.ins, raw[1]);
    EXPECT_EQ(apdu.p1, raw[2]);
    EXPECT_EQ(apdu.p2, raw[3]);
    EXPECT_EQ(apdu.data.size(), c.dataLength);
    EXPECT_EQ(apdu.le, c.le);
    EXPECT_EQ(apdu.trailing, c.trailing);
    if (c.dataLength != 0) {
        // The data sits where the parser says: the trace masks secrets by that position.
        EXPECT_EQ(apdu.dataOffset, c.dataOffset);
        EXPECT_TRUE(std::equal(apdu.data.begin(), apdu.data.end(),
                               raw.begin() + static_cast<std::ptrdiff_t>(c.dataOffset)));
    }
}

const std::string k256(512, 'A');
const std::string k100(200, 'B');

INSTANTIATE_TEST_SUITE_P(
    Forms, ApduFraming,
    ::testing::Values(
        FramingCase{"case1", "BF640001", LengthForm::Iso, 0, std::nullopt, 0},
        FramingCase{"case2", "00B0000010", LengthForm::Iso, 0, 16, 0},
        FramingCase{"case2Le00Is256", "00B0000000", LengthForm::Iso, 0, 256, 0},
        FramingCase{"case3", "00D6000003AABBCC", LengthForm::Iso, 3, std::nullopt, 0, 5},
        FramingCase{"case4", "00A40000023F0000", LengthForm::Iso, 2, 256, 0, 5},
        FramingCase{"trailingAfterLe", "00A40000023F000000", LengthForm::Iso, 2, 256, 1, 5},
        FramingCase{"extendedFixed256", "80D20000 000100" + k256, LengthForm::Iso, 256,
                    std::nullopt, 0, 7},
        FramingCase{"extendedWithLe", "80FA0000 000003 AABBCC 0100", LengthForm::Iso, 3, 256, 0, 7},
        FramingCase{"extendedLeOnly", "80FA0000 000100", LengthForm::Iso, 0, 256, 0},
        FramingCase{"twoByteLength", "90C600000003AABBCC", LengthForm::Wide, 3, std::nullopt, 0, 6},
        FramingCase{"fourByteLength", "90C6000000000003AABBCC", LengthForm::Wide, 3, std::nullopt,
                    0, 8},
        // The fixed field 00 01 00 marks the form whatever the length of the data after it.
        FramingCase{"fixedFieldWith256", "80F60000 000100" + k256, LengthForm::FixedExtended, 256,
                    std::nullopt, 0, 7},
        FramingCase{"fixedFieldWith100", "80F80000 000100" + k100, LengthForm::FixedExtended, 100,
                    std::nullopt, 0, 7},
        FramingCase{"fixedFieldWith1", "80D20000 000100 AA", LengthForm::FixedExtended, 1,
                    std::nullopt, 0, 7},
        FramingCase{"fixedFormTakesShort", "80F6840003AABBCC", LengthForm::FixedExtended, 3,
                    std::nullopt, 0, 5},
        // Generate commands: five bytes on one transport, six on the others.
        FramingCase{"generateFourBytes", "80D08080", LengthForm::NoData, 0, std::nullopt, 0},
        FramingCase{"generateFiveBytes", "80D0808000", LengthForm::NoData, 0, std::nullopt, 0},
        FramingCase{"generateSixBytes", "80D0A0800000", LengthForm::NoData, 0, std::nullopt, 0}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

struct MalformedCase {
    const char* name;
    std::string command;
    LengthForm form;
};

class ApduMalformed : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(ApduMalformed, AnswersWrongLength) {
    const MalformedCase& c = GetParam();
    try {
        parseApdu(hex(c.command), c.form);
        FAIL() << "parsed a malformed command";
    } catch (const StatusError& e) {
        EXPECT_EQ(e.code(), sw::kWrongLength);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ApduMalformed,
    ::testing::Values(
        MalformedCase{"tooShort", "00A400", LengthForm::Iso},
        MalformedCase{"lcBeyondData", "00D6000005AABB", LengthForm::Iso},
        MalformedCase{"extendedTruncatedHeader", "80D20000 0001", LengthForm::Iso},
        MalformedCase{"extendedShortData", "80D2000000 0004 AABB", LengthForm::Iso},
        MalformedCase{"extendedZeroLengthWithData", "80D2000000 0000 AA", LengthForm::Iso},
        MalformedCase{"wideLengthMismatch", "90C600000004AABBCC", LengthForm::Wide},
        MalformedCase{"wideTooShort", "90C60000 00", LengthForm::Wide},
        MalformedCase{"fixedFieldWithoutData", "80F60000 000100", LengthForm::FixedExtended},
        MalformedCase{"generateWithData", "80D0808001AA", LengthForm::NoData},
        MalformedCase{"generateThreeZeros", "80D08080000000", LengthForm::NoData},
        MalformedCase{"generateNonZero", "80D0808002", LengthForm::NoData}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// Dispatch answers for commands the token does not know or cannot frame.
class DispatchTest : public testing::TokenTest {};

TEST_F(DispatchTest, UnknownInstructionAndClass) {
    EXPECT_EQ(sw("00FE000000"), sw::kInsNotSupported);
    EXPECT_EQ(sw("80FE000000"), sw::kInsNotSupported);
    EXPECT_EQ(sw("A0A40000023F00"), sw::kClaNotSupported);
    EXPECT_EQ(sw("00A4"), sw::kWrongLength);
}

TEST_F(DispatchTest, TrailingBytesOnlyForTolerantCommands) {
    EXPECT_EQ(sw("00A40000023F00 00 FF"), sw::kSuccess);  // SELECT tolerates them
    ASSERT_EQ(select(0x00E1), sw::kSuccess);
    EXPECT_EQ(sw("00D6000001AA 00 FF"), sw::kWrongLength);
}

}  // namespace
}  // namespace vtoken
