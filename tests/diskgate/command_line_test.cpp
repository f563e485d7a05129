// The program's command line as a person sees it: which action each argument takes and the
// console line it prints, in the console's own encoding.
#include "command_line.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "texts.h"

namespace {

using diskgate::ConsoleEncoding;
using diskgate::ServiceHost;

class FakeHost : public ServiceHost {
  public:
    explicit FakeHost(ConsoleEncoding e) : encoding(e) {}
    InstallOutcome install() override {
        actions.push_back("install");
        return installOutcome;
    }
    bool uninstall() override {
        actions.push_back("uninstall");
        return uninstalls;
    }
    void run() override { actions.push_back("run"); }
    ConsoleEncoding consoleEncoding() const override { return encoding; }
    void writeConsole(std::string_view bytes) override { console += bytes; }

    ConsoleEncoding encoding;
    InstallOutcome installOutcome{true, std::nullopt};
    bool uninstalls = true;
    std::vector<std::string> actions;
    std::string console;
};

int run(FakeHost& host, std::vector<std::string_view> args) {
    return diskgate::runCommandLine(args, host);
}

struct Case {
    std::string name;
    std::vector<std::string_view> args;
    ServiceHost::InstallOutcome install;
    bool uninstalls;
    std::vector<std::string> actions;
    std::string utf8;  // the console line
};

std::vector<Case> cases() {
    return {
        {"NoArgumentRuns", {}, {}, true, {"run"}, ""},
        {"InstallSucceeds", {"-i"}, {true, std::nullopt}, true, {"install"}, "服务安装成功\r"},
        {"InstallWhenTheServiceExists",
         {"-i"},
         {false, 1073},
         true,
         {"install"},
         "程序安装失败错误码 1073\n服务安装失败\r"},
        {"InstallFailsBeforeCreating",
         {"-i"},
         {false, std::nullopt},
         true,
         {"install"},
         "服务安装失败\r"},
        {"UninstallSucceeds", {"-d"}, {}, true, {"uninstall"}, "服务卸载成功\n"},
        {"UninstallFails", {"-d"}, {}, false, {"uninstall"}, "服务卸载失败\n"},
        {"UnknownArgument", {"-x"}, {}, true, {}, "所执行的操作不认识，-i 安装操作，-d 写在操作\n"},
        {"ArgumentIsComparedWhole",
         {"-install"},
         {},
         true,
         {},
         "所执行的操作不认识，-i 安装操作，-d 写在操作\n"},
        {"OnlyTheFirstArgumentCounts", {"-d", "-i"}, {}, true, {"uninstall"}, "服务卸载成功\n"},
    };
}

// The same text in code page 936, by the C library's own converter.
std::string toGbk(const std::string& utf8) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string in = utf8;
    std::string out(in.size() * 2 + 8, '\0');
    char* inp = in.data();
    char* outp = out.data();
    std::size_t inLeft = in.size();
    std::size_t outLeft = out.size();
    EXPECT_NE(iconv(cd, &inp, &inLeft, &outp, &outLeft), static_cast<std::size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

class CommandLine : public ::testing::TestWithParam<Case> {};

TEST_P(CommandLine, ActsAndSays) {
    const Case& c = GetParam();
    for (ConsoleEncoding encoding : {ConsoleEncoding::Utf8, ConsoleEncoding::Cp936}) {
        FakeHost host(encoding);
        host.installOutcome = c.install;
        host.uninstalls = c.uninstalls;
        EXPECT_EQ(run(host, c.args), 0);
        EXPECT_EQ(host.actions, c.actions);
        EXPECT_EQ(host.console, encoding == ConsoleEncoding::Utf8 ? c.utf8 : toGbk(c.utf8));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLine, ::testing::ValuesIn(cases()),
                         [](const auto& p) { return p.param.name; });

TEST(Texts, EachCodePage936TextSaysWhatItsUtf8TextSays) {
    using namespace diskgate::texts;
    for (const diskgate::Text& t : {kInstalled, kInstallError, kInstallFailed, kUninstalled,
                                    kUninstallFailed, kUnknownArgument, kWorkerEnded}) {
        EXPECT_EQ(std::string(t.cp936), toGbk(std::string(t.utf8))) << t.utf8;
    }
}

}  // namespace
