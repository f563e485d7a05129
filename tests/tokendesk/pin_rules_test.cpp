#include "pin_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace tokendesk {
namespace {

TEST(PinDialogChecks, VerifyRefusesOnlyAnEmptyPin) {
    const auto empty = checkVerifyInput("");
    ASSERT_TRUE(empty.has_value());
    EXPECT_STREQ(empty->text, "口令不能为空，请重新输入！");
    EXPECT_STREQ(empty->caption, "提示");
    EXPECT_EQ(empty->icon, MessageIcon::Error);
    EXPECT_FALSE(checkVerifyInput("1").has_value());
    EXPECT_FALSE(checkVerifyInput("1234567890123456").has_value());
}

TEST(PinDialogChecks, ChangeChecksInOrder) {
    struct Case {
        const char* name;
        const char* current;
        const char* newPin;
        const char* confirmation;
        const char* message;  // nullptr: the dialog closes with OK
    };
    const Case cases[] = {
        {"all good", "1234", "5678", "5678", nullptr},
        {"current empty wins over a mismatch", "", "5678", "5679", "原口令不能为空，请重新输入！"},
        {"current empty, rest empty", "", "", "", "原口令不能为空，请重新输入！"},
        {"mismatch", "1234", "5678", "567", "两次输入的口令不一致，请重新输入！"},
        {"mismatch with empty new", "1234", "", "5678", "两次输入的口令不一致，请重新输入！"},
        {"new and confirmation empty", "1234", "", "", "新口令不能为空，请重新输入！"},
        {"comparison is by bytes", "1234", "abc", "ABC", "两次输入的口令不一致，请重新输入！"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto notice = checkChangeInput(c.current, c.newPin, c.confirmation);
        if (c.message == nullptr) {
            EXPECT_FALSE(notice.has_value());
            continue;
        }
        ASSERT_TRUE(notice.has_value());
        EXPECT_STREQ(notice->text, c.message);
        EXPECT_STREQ(notice->caption, "提示");
        EXPECT_EQ(notice->icon, MessageIcon::Error);
    }
}

TEST(PinResultMessages, TellSuccessTriesLeftLockAndFailure) {
    struct Case {
        const char* name;
        PinCommand command;
        std::uint32_t result;
        std::uint32_t retries;
        const char* text;
        const char* caption;
        MessageIcon icon;
    };
    constexpr auto V = PinCommand::Verify;
    constexpr auto C = PinCommand::Change;
    constexpr auto kInfo = MessageIcon::Information;
    constexpr auto kError = MessageIcon::Error;
    const Case cases[] = {
        {"verify ok", V, 0, 0, "验证口令成功！", "提示", kInfo},
        {"verify wrong, two left", V, 0x40001, 2, "验证口令失败，还可以重试2次！", "错误", kError},
        {"verify wrong, ten left", V, 0x40001, 10, "验证口令失败，还可以重试10次！", "错误",
         kError},
        {"verify locked", V, 0x40003, 0, "错误次数太多，口令已经锁死，请联系管理员解锁！", "错误",
         kError},
        {"verify status word", V, 0x6A82, 0, "验证口令失败！", "错误", kError},
        {"verify lost device", V, 0x10001, 0, "验证口令失败！", "错误", kError},
        {"change ok", C, 0, 0, "修改口令成功，请牢记新口令！", "提示", kInfo},
        {"change wrong current", C, 0x40001, 1, "验证原口令失败，还可以重试1次！", "错误", kError},
        {"change locked", C, 0x40003, 0, "错误次数太多，口令已经锁死，请联系管理员解锁！", "错误",
         kError},
        {"change refused new PIN", C, 0x50002, 0, "修改口令失败！", "错误", kError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        const Notice notice = pinResultNotice(c.command, c.result, c.retries, text);
        EXPECT_EQ(text, c.text);
        EXPECT_STREQ(notice.text, c.text);
        EXPECT_STREQ(notice.caption, c.caption);
        EXPECT_EQ(notice.icon, c.icon);
    }
}

}  // namespace
}  // namespace tokendesk
