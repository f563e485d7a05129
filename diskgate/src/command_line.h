// The program's command line: "-i" installs the service, "-d" removes it, no argument runs
// it, anything else is refused with a line that says what is understood. The exit code is
// always 0; the console line says how it went.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "device_io.h"
#include "texts.h"

namespace diskgate {

enum class ConsoleEncoding { Utf8, Cp936 };

// What installing, removing and running mean on one system.
class ServiceHost {
  public:
    virtual ~ServiceHost() = default;

    struct InstallOutcome {
        bool installed = false;
        // Set when creating the service itself failed: printed before the failure line.
        std::optional<SystemError> createError;
    };
    virtual InstallOutcome install() = 0;
    virtual bool uninstall() = 0;
    // Runs the service until it is stopped.
    virtual void run() = 0;

    virtual ConsoleEncoding consoleEncoding() const = 0;
    virtual void writeConsole(std::string_view bytes) = 0;
};

int runCommandLine(std::span<const std::string_view> args, ServiceHost& host);

}  // namespace diskgate
