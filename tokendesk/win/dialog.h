// A modal dialog from a resource, with its messages going to a member function: the little that
// the tool's dialogs need of a framework.
#ifndef TOKENDESK_DIALOG_H
#define TOKENDESK_DIALOG_H

#include <windows.h>

#include "selection_guard.h"

namespace tokendesk {

class CDialog {
  public:
    CDialog(int resourceId, HWND owner) : resourceId_(resourceId), owner_(owner) {}
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the dialog; the id it ended with (IDOK, IDCANCEL), or -1 when it could not start.
    INT_PTR DoModal();
    HWND window() const { return window_; }

  protected:
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK() { EndDialog(window_, IDOK); }
    virtual void OnCancel() { EndDialog(window_, IDCANCEL); }
    // Messages not handled here; returns whether it handled the message (and sets *result).
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

    // A message box owned by this dialog.
    int ShowNotice(const Notice& notice);

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    int resourceId_;
    HWND owner_;
    HWND window_ = nullptr;
};

// A message box with the tool's texts (UTF-8) and icon.
int showNotice(HWND owner, const Notice& notice);

}  // namespace tokendesk

#endif
