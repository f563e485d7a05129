// The service on Linux: "-i" and "-d" go through systemd, no argument runs the daemon in the
// foreground (as systemd starts it) until SIGTERM, SIGINT or SIGHUP.
#pragma once

#include "command_line.h"

namespace diskgate::posix {

class DaemonHost final : public ServiceHost {
  public:
    InstallOutcome install() override;
    bool uninstall() override;
    // Returns once a stop signal came and the worker has finished.
    void run() override;
    ConsoleEncoding consoleEncoding() const override { return ConsoleEncoding::Utf8; }
    void writeConsole(std::string_view bytes) override;
};

}  // namespace diskgate::posix
