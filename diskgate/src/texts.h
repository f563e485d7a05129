// The service's own texts, keyed by name. The Windows console and debugger output read code
// page 936 (GBK); a Linux terminal and the journal read UTF-8. Each text carries both, and a
// test checks that they say the same.
#pragma once

#include <string_view>

namespace diskgate {

struct Text {
    std::string_view utf8;
    std::string_view cp936;
    // A text in plain ASCII, the same in both encodings.
    static constexpr Text ascii(std::string_view s) { return {s, s}; }
};

namespace texts {

// Console lines of the command line.
inline constexpr Text kInstalled{"服务安装成功\r",
                                 "\xb7\xfe\xce\xf1\xb0\xb2\xd7\xb0\xb3\xc9\xb9\xa6\r"};
// Takes the system error code (printf "%d").
inline constexpr Text kInstallError{
    "程序安装失败错误码 %d\n",
    "\xb3\xcc\xd0\xf2\xb0\xb2\xd7\xb0\xca\xa7\xb0\xdc\xb4\xed\xce\xf3\xc2\xeb %d\n"};
inline constexpr Text kInstallFailed{"服务安装失败\r",
                                     "\xb7\xfe\xce\xf1\xb0\xb2\xd7\xb0\xca\xa7\xb0\xdc\r"};
inline constexpr Text kUninstalled{"服务卸载成功\n",
                                   "\xb7\xfe\xce\xf1\xd0\xb6\xd4\xd8\xb3\xc9\xb9\xa6\n"};
inline constexpr Text kUninstallFailed{"服务卸载失败\n",
                                       "\xb7\xfe\xce\xf1\xd0\xb6\xd4\xd8\xca\xa7\xb0\xdc\n"};
inline constexpr Text kUnknownArgument{
    "所执行的操作不认识，-i 安装操作，-d 写在操作\n",
    "\xcb\xf9\xd6\xb4\xd0\xd0\xb5\xc4\xb2\xd9\xd7\xf7\xb2\xbb\xc8\xcf\xca\xb6\xa3\xac-i "
    "\xb0\xb2\xd7\xb0\xb2\xd9\xd7\xf7\xa3\xac-d \xd0\xb4\xd4\xda\xb2\xd9\xd7\xf7\n"};

// Diagnostic lines.
inline constexpr Text kWorkerEnded{"======>结束服务函数\n",
                                   "======>\xbd\xe1\xca\xf8\xb7\xfe\xce\xf1\xba\xaf\xca\xfd\n"};
inline constexpr Text kWaitFailed = Text::ascii("wait for single object error.\n");
inline constexpr Text kUnknownCommand = Text::ascii("error type.\n");
inline constexpr Text kRegisterFailed =
    Text::ascii("--------->ServiceMain .RegisterServiceCtrlHandler Error\n");
inline constexpr Text kReportRunningFailed =
    Text::ascii("--------->ServiceMain .SetService Sattus Error\n");
inline constexpr Text kMutexFailed = Text::ascii("--------->ServiceMain.Create Mutex Error \n");
inline constexpr Text kRequestEventFailed =
    Text::ascii("--------->ServiceMain.Create req Event Error \n");
inline constexpr Text kAnswerEventFailed =
    Text::ascii("--------->ServiceMain.Create ans Event Error \n");
inline constexpr Text kMappingFailed =
    Text::ascii("--------->ServiceMain.Create FileMapping Error \n");
inline constexpr Text kViewFailed = Text::ascii("--------->ServiceMain.MapViewOfFile Error \n");
inline constexpr Text kStopReported =
    Text::ascii("=========>ServiceCtrlHandler.SetServiceStatus OK\n");
inline constexpr Text kStopControl =
    Text::ascii("=========>ServiceCtrlHandler SERVICE_CONTROL_STOP\n");
inline constexpr Text kPauseControl =
    Text::ascii("=========>ServiceCtrlHandler SERVICE_CONTROL_PAUSE\n");
inline constexpr Text kContinueControl =
    Text::ascii("=========>ServiceCtrlHandler SERVICE_CONTROL_CONTINUE\n");
inline constexpr Text kInterrogateControl =
    Text::ascii("=========>ServiceCtrlHandler SERVICE_CONTROL_INTERROGATE\n");

}  // namespace texts
}  // namespace diskgate
