#include "app.h"

#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <cwchar>

#include "dialog.h"
#include "key_access_tokenapi.h"
#include "main_dialog.h"
#include "resource.h"
#include "texts.h"
#include "wide_text.h"

namespace tokendesk {

namespace {

struct HandleCloser {
    HANDLE handle;
    ~HandleCloser() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

}  // namespace

void CTokenDeskApp::HandOver() {
    if (HWND main = FindWindowW(nullptr, fromUtf8(text::kMainCaption).c_str())) {
        SendMessageW(main, WM_COMMAND, ID_SHOW_MAIN_WINDOW, 0);
        return;
    }
    if (FindWindowW(nullptr, fromUtf8(text::kAdminToolCaption).c_str()) != nullptr) {
        showNotice(nullptr,
                   {text::kAdminToolRunning, text::kCaptionNotice, MessageIcon::Information});
    }
}

int CTokenDeskApp::InitInstance(const wchar_t* commandLine) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_TREEVIEW_CLASSES};
    InitCommonControlsEx(&controls);

    HandleCloser instance{CreateMutexW(nullptr, FALSE, L"TOKENDESK")};
    if (instance.handle == nullptr) return 1;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        HandOver();
        return 0;
    }

    const bool startVisible = commandLine == nullptr || std::wcsstr(commandLine, L"-s") == nullptr;
    TokenApiAccess keys;
    CTokenDeskDlg dialog(keys, startVisible);
    dialog.DoModal();
    return 0;
}

}  // namespace tokendesk

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    tokendesk::CTokenDeskApp app;
    return app.InitInstance(GetCommandLineW());
}
