#include "subclass_wnd.h"

#include <unordered_map>

namespace tokendesk {

// The first hook of each hooked window. Touched only from the user-interface thread.
class CSubclassWndMap {
  public:
    static std::unordered_map<HWND, CSubclassWnd*>& map() {
        static std::unordered_map<HWND, CSubclassWnd*> hooks(10);
        return hooks;
    }

    static LRESULT CALLBACK HookProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto& hooks = map();
        const auto it = hooks.find(window);
        if (it == hooks.end()) return DefWindowProcW(window, message, wParam, lParam);
        CSubclassWnd* first = it->second;
        if (message == WM_NCDESTROY) {
            const WNDPROC original = first->previous_;
            while (hooks.count(window) != 0) hooks[window]->Unhook();
            return CallWindowProcW(original, window, message, wParam, lParam);
        }
        return first->WindowProc(message, wParam, lParam);
    }
};

bool CSubclassWnd::HookWindow(HWND window) {
    if (window_ != nullptr) Unhook();
    if (window == nullptr) return true;
    auto& hooks = CSubclassWndMap::map();
    const auto it = hooks.find(window);
    if (it != hooks.end()) {
        next_ = it->second;
        previous_ = next_->previous_;
        it->second = this;
    } else {
        previous_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
            window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CSubclassWndMap::HookProc)));
        if (previous_ == nullptr) return false;
        next_ = nullptr;
        hooks[window] = this;
    }
    window_ = window;
    return true;
}

void CSubclassWnd::Unhook() {
    auto& hooks = CSubclassWndMap::map();
    const auto it = hooks.find(window_);
    if (it != hooks.end()) {
        if (it->second == this) {
            if (next_ != nullptr) {
                it->second = next_;
            } else {
                hooks.erase(it);
                SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
            }
        } else {
            for (CSubclassWnd* hook = it->second; hook != nullptr; hook = hook->next_) {
                if (hook->next_ == this) {
                    hook->next_ = next_;
                    break;
                }
            }
        }
    }
    window_ = nullptr;
    next_ = nullptr;
    previous_ = nullptr;
}

LRESULT CSubclassWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return Default(message, wParam, lParam);
}

LRESULT CSubclassWnd::Default(UINT message, WPARAM wParam, LPARAM lParam) {
    if (next_ != nullptr) return next_->WindowProc(message, wParam, lParam);
    return CallWindowProcW(previous_, window_, message, wParam, lParam);
}

}  // namespace tokendesk
