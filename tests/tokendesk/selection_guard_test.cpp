#include "selection_guard.h"

#include <gtest/gtest.h>

#include <string>

#include "texts.h"

namespace tokendesk {
namespace {

struct GuardCase {
    const char* name;
    SelectedItem item;
    bool deviceListed;
    GuardVerdict verdict;
    const char* message;  // nullptr: nothing shown
    MessageIcon icon;
};

class SelectionGuard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(SelectionGuard, AcceptsOrExplains) {
    const GuardCase& c = GetParam();
    const GuardVerdict verdict = guardSelection(c.item, c.deviceListed);
    EXPECT_EQ(verdict, c.verdict);
    const Notice notice = guardNotice(verdict);
    if (c.message == nullptr) {
        EXPECT_EQ(notice.text, nullptr);
        return;
    }
    ASSERT_NE(notice.text, nullptr);
    EXPECT_STREQ(notice.text, c.message);
    EXPECT_STREQ(notice.caption, "提示");
    EXPECT_EQ(notice.icon, c.icon);
}

SelectedItem root(std::string text, ItemCode code) {
    return {true, true, std::move(text), code};
}
SelectedItem child(std::string text, ItemCode code) {
    return {true, false, std::move(text), code};
}

constexpr auto kInfo = MessageIcon::Information;
constexpr auto kError = MessageIcon::Error;

INSTANTIATE_TEST_SUITE_P(
    Rules, SelectionGuard,
    ::testing::Values(
        GuardCase{"NothingSelected", SelectedItem{}, true, GuardVerdict::NothingSelected,
                  "请在列表中选择需要操作的Key！", kInfo},
        GuardCase{"UnformattedKey", root("未格式化设备", 10000), true, GuardVerdict::UnformattedKey,
                  "选定的Key可能尚未格式化，请选择其他Key！", kError},
        GuardCase{"Placeholder", root("Key不存在", 0), false, GuardVerdict::NoKeyPlaceholder,
                  nullptr, kInfo},
        GuardCase{"KeyNoLongerListed", root("Token A", 10000), false, GuardVerdict::UnknownKey,
                  "选定的Key无法访问，请尝试刷新！", kError},
        GuardCase{"StaleLeaf", child("签名证书", 10013), false, GuardVerdict::UnknownKey,
                  "选定的Key无法访问，请尝试刷新！", kError},
        GuardCase{"ListedKey", root("Token A", 10000), true, GuardVerdict::Proceed, nullptr, kInfo},
        GuardCase{"ContainerOfUnformattedKey", child("容器一", 10010), true, GuardVerdict::Proceed,
                  nullptr, kInfo},
        // A container's name is the user's: only the root's texts mean "no key" or
        // "unformatted".
        GuardCase{"ContainerNamedLikePlaceholder", child("Key不存在", 10010), true,
                  GuardVerdict::Proceed, nullptr, kInfo},
        GuardCase{"ContainerNamedUnformatted", child("未格式化设备", 10020), true,
                  GuardVerdict::Proceed, nullptr, kInfo},
        // Close is not equal.
        GuardCase{"LabelStartingLikeUnformatted", root("未格式化设备2", 10000), true,
                  GuardVerdict::Proceed, nullptr, kInfo}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tokendesk
