// The tool's icon in the notification area: its menu on a right click, the main window on a
// double click, and back after the taskbar was recreated.
#ifndef TOKENDESK_TRAY_ICON_H
#define TOKENDESK_TRAY_ICON_H

#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <string>

#include "subclass_wnd.h"

namespace tokendesk {

class CTrayIcon {
  public:
    explicit CTrayIcon(UINT id);
    virtual ~CTrayIcon();
    CTrayIcon(const CTrayIcon&) = delete;
    CTrayIcon& operator=(const CTrayIcon&) = delete;

    void SetNotificationWindow(HWND window);
    // Adds, changes or (without an icon) removes the icon; the result of the shell's call.
    bool SetIcon(HICON icon, const wchar_t* tip);
    bool shown() const { return data_.hIcon != nullptr; }

    virtual LRESULT HandleTrayMessage(WPARAM wParam, LPARAM lParam);
    virtual void RestoreIcon();

    // "TaskbarCreated", registered once at program start.
    static UINT taskbarCreatedMessage();

  private:
    class CTrayHook : public CSubclassWnd {
      public:
        explicit CTrayHook(CTrayIcon& tray) : tray_(tray) {}

      protected:
        LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

      private:
        CTrayIcon& tray_;
    };

    UINT flags() const;

    NOTIFYICONDATAW data_{};
    CTrayHook windowHook_{*this};
    CTrayHook parentHook_{*this};
};

}  // namespace tokendesk

#endif
