// The application: one instance per user session, the main window run modally.
#ifndef TOKENDESK_APP_H
#define TOKENDESK_APP_H

#include <windows.h>

namespace tokendesk {

class CTokenDeskApp {
  public:
    // Start-up checks, then the main window; the program's exit code.
    int InitInstance(const wchar_t* commandLine);

  private:
    // Another instance runs: show its window (or tell that the administrator tool runs).
    static void HandOver();
};

}  // namespace tokendesk

#endif
