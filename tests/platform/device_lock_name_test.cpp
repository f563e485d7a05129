#include <gtest/gtest.h>

#include <string>

#include "platform/named_mutex.h"

namespace {

struct LockNameCase {
    const char* name;  // the case's name in test listings
    const char* identification;
    const char* lockName;
};

class DeviceLockName : public ::testing::TestWithParam<LockNameCase> {};

TEST_P(DeviceLockName, IsTheIdentificationReversedWithBackslashesAsA) {
    EXPECT_EQ(platform::deviceLockName(GetParam().identification), GetParam().lockName);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceLockName,
    ::testing::Values(
        LockNameCase{"Empty", "", ""}, LockNameCase{"OneCharacter", "a", "a"},
        // the hex identification of a PC/SC token (ATR bytes from the fifth on)
        LockNameCase{"AtrHex", "80013100", "00131008"},
        // device paths: every backslash becomes 'a', after reversal, wherever it stands
        LockNameCase{"DevicePath", "\\\\?\\usb#vid_1234", "4321_div#bsua?aa"},
        LockNameCase{"TrailingBackslash", "x\\", "ax"},
        // other characters, '/' and upper case included, stay as they are
        LockNameCase{"SlashDotAndCase", "AB/c.d", "d.c/BA"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
