#include "tray_icon.h"

#include <cwchar>

#include "resource.h"

namespace tokendesk {

UINT CTrayIcon::taskbarCreatedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    return message;
}

CTrayIcon::CTrayIcon(UINT id) {
    data_.cbSize = sizeof data_;
    data_.uID = id;
    taskbarCreatedMessage();
}

CTrayIcon::~CTrayIcon() {
    if (shown()) {
        data_.uFlags = flags() & ~NIF_ICON;
        Shell_NotifyIconW(NIM_DELETE, &data_);
        data_.hIcon = nullptr;
    }
    windowHook_.HookWindow(nullptr);
    parentHook_.HookWindow(nullptr);
}

void CTrayIcon::SetNotificationWindow(HWND window) {
    data_.hWnd = window;
    data_.uCallbackMessage = WM_USER;
    windowHook_.HookWindow(window);
    const HWND top = GetAncestor(window, GA_ROOT);
    if (top != nullptr && top != window) parentHook_.HookWindow(top);
}

UINT CTrayIcon::flags() const {
    UINT flags = NIF_ICON;
    if (data_.szTip[0] != L'\0') flags |= NIF_TIP;
    if (data_.uCallbackMessage != 0 && data_.hWnd != nullptr) flags |= NIF_MESSAGE;
    return flags;
}

bool CTrayIcon::SetIcon(HICON icon, const wchar_t* tip) {
    DWORD operation = NIM_ADD;
    if (icon != nullptr) {
        operation = shown() ? NIM_MODIFY : NIM_ADD;
        data_.hIcon = icon;
    } else {
        if (!shown()) return true;
        operation = NIM_DELETE;
    }
    if (tip != nullptr) {
        wcsncpy(data_.szTip, tip, std::size(data_.szTip) - 1);
        data_.szTip[std::size(data_.szTip) - 1] = L'\0';
    }
    data_.uFlags = flags();
    const bool ok = Shell_NotifyIconW(operation, &data_) != FALSE;
    if (operation == NIM_DELETE || !ok) data_.hIcon = nullptr;
    return ok;
}

LRESULT CTrayIcon::HandleTrayMessage(WPARAM wParam, LPARAM lParam) {
    if (wParam != data_.uID || (lParam != WM_RBUTTONUP && lParam != WM_LBUTTONDBLCLK)) return 0;
    const HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAY_MENU));
    if (menu == nullptr) return 0;
    const HMENU popup = GetSubMenu(menu, 0);
    if (popup == nullptr) {
        DestroyMenu(menu);
        return 0;
    }
    if (lParam == WM_RBUTTONUP) {
        SetMenuDefaultItem(popup, 0, TRUE);
        POINT cursor{};
        GetCursorPos(&cursor);
        SetForegroundWindow(data_.hWnd);
        TrackPopupMenu(popup, TPM_LEFTBUTTON, cursor.x, cursor.y, 0, data_.hWnd, nullptr);
        PostMessageW(data_.hWnd, WM_NULL, 0, 0);
    } else {
        SendMessageW(data_.hWnd, WM_COMMAND, GetMenuItemID(popup, 0), 0);
    }
    DestroyMenu(menu);
    return 1;
}

void CTrayIcon::RestoreIcon() {
    if (!shown()) return;
    data_.uFlags = flags();
    if (!Shell_NotifyIconW(NIM_ADD, &data_)) data_.hIcon = nullptr;
}

LRESULT CTrayIcon::CTrayHook::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == tray_.data_.uCallbackMessage && hookedWindow() == tray_.data_.hWnd) {
        tray_.HandleTrayMessage(wParam, lParam);
    } else if (message == taskbarCreatedMessage()) {
        tray_.RestoreIcon();
    }
    return CSubclassWnd::WindowProc(message, wParam, lParam);
}

}  // namespace tokendesk
