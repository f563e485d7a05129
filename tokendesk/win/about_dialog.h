// The about box.
#ifndef TOKENDESK_ABOUT_DIALOG_H
#define TOKENDESK_ABOUT_DIALOG_H

#include "dialog.h"
#include "resource.h"

namespace tokendesk {

class CAboutDlg : public CDialog {
  public:
    explicit CAboutDlg(HWND owner) : CDialog(IDD_ABOUTBOX, owner) {}
};

}  // namespace tokendesk

#endif
