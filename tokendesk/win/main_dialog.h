// The main window: the tree of listed keys, their label and serial, the five buttons, the
// device-change handling and the tray icon.
#ifndef TOKENDESK_MAIN_DIALOG_H
#define TOKENDESK_MAIN_DIALOG_H

#include <windows.h>
// after windows.h
#include <commctrl.h>

#include "device_list.h"
#include "dialog.h"
#include "tray_icon.h"

namespace tokendesk {

class CTokenDeskDlg : public CDialog {
  public:
    CTokenDeskDlg(KeyAccess& keys, bool startVisible);
    ~CTokenDeskDlg() override;

  protected:
    BOOL OnInitDialog() override;
    void OnOK() override {}  // Enter does not close the window
    void OnCancel() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

  private:
    // Keeps the window hidden while the window-visible flag is clear.
    class CVisibilityHook : public CSubclassWnd {
      public:
        explicit CVisibilityHook(CTokenDeskDlg& dialog) : dialog_(dialog) {}

      protected:
        LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

      private:
        CTokenDeskDlg& dialog_;
    };

    void BuildImageList();
    void FullBuild(bool registerCertificates);
    void InsertDevice(const DeviceEntry& device, bool registerCertificates);
    void InsertPlaceholder();
    HTREEITEM InsertItem(HTREEITEM parent, const std::wstring& text, int image, LPARAM code);
    void OnDeviceChange();
    void ShowDeviceOf(HTREEITEM item);
    void ClearDeviceFields();
    // The selection guard; the listed key of the selected item, or null after its message.
    const DeviceEntry* GuardSelection(ItemCode& code);
    void OnRegister();
    void OnVerifyPin();
    void OnChangePin();
    void OnTreeDoubleClick();
    void ShowMainWindow();
    void HideMainWindow();
    void Exit();

    DeviceList devices_;
    KeyAccess& keys_;
    bool visible_;
    HWND tree_ = nullptr;
    HIMAGELIST images_ = nullptr;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;
    CTrayIcon tray_;
    CVisibilityHook visibility_{*this};
};

}  // namespace tokendesk

#endif
