// Hooks in front of a window's procedure. Several hooks can sit on one window: the newest
// sees each message first and passes it on to the next, the last one to the window's own
// procedure.
#ifndef TOKENDESK_SUBCLASS_WND_H
#define TOKENDESK_SUBCLASS_WND_H

#include <windows.h>

namespace tokendesk {

class CSubclassWnd {
  public:
    CSubclassWnd() = default;
    virtual ~CSubclassWnd() { HookWindow(nullptr); }
    CSubclassWnd(const CSubclassWnd&) = delete;
    CSubclassWnd& operator=(const CSubclassWnd&) = delete;

    // Hooks `window` (null: unhooks). Returns false when the window cannot be hooked.
    bool HookWindow(HWND window);
    HWND hookedWindow() const { return window_; }

  protected:
    // Passes the message on by default.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

  private:
    friend class CSubclassWndMap;
    void Unhook();

    HWND window_ = nullptr;
    WNDPROC previous_ = nullptr;
    CSubclassWnd* next_ = nullptr;
};

}  // namespace tokendesk

#endif
