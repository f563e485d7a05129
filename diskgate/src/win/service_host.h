// The service on Windows: the command line's three actions, and the service main function
// and control handler that the service control dispatcher calls.
#pragma once

#include "command_line.h"

namespace diskgate::win {

class WinServiceHost final : public ServiceHost {
  public:
    InstallOutcome install() override;
    bool uninstall() override;
    // Hands the service table to the dispatcher; returns when the service has stopped.
    void run() override;
    ConsoleEncoding consoleEncoding() const override { return ConsoleEncoding::Cp936; }
    void writeConsole(std::string_view bytes) override;
};

}  // namespace diskgate::win
