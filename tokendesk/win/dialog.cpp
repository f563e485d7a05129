#include "dialog.h"

#include "wide_text.h"

namespace tokendesk {

INT_PTR CDialog::DoModal() {
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resourceId_), owner_,
                           &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

bool CDialog::OnMessage(UINT, WPARAM, LPARAM, LRESULT&) {
    return false;
}

int CDialog::ShowNotice(const Notice& notice) {
    return showNotice(window_, notice);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
        return self->OnInitDialog();
    }
    self = reinterpret_cast<CDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (self == nullptr) return FALSE;
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            self->OnOK();
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            self->OnCancel();
            return TRUE;
        }
    }
    LRESULT result = 0;
    if (!self->OnMessage(message, wParam, lParam, result)) return FALSE;
    SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
}

int showNotice(HWND owner, const Notice& notice) {
    if (notice.text == nullptr) return 0;
    const UINT icon = notice.icon == MessageIcon::Error ? MB_ICONERROR : MB_ICONINFORMATION;
    return MessageBoxW(owner, fromUtf8(notice.text).c_str(), fromUtf8(notice.caption).c_str(),
                       MB_OK | icon);
}

}  // namespace tokendesk
