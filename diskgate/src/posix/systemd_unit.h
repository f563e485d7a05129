// Installing the daemon as a systemd service, the way "-i" and "-d" do on Linux: the unit file
// is written and enabled (not started, and the program is not copied: it must already be
// where the unit says), or disabled and removed.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "command_line.h"

namespace diskgate::posix {

inline constexpr char kUnitName[] = "diskgate.service";
inline constexpr char kInstalledProgram[] = "/usr/local/sbin/diskgate";

struct SystemdSetup {
    std::filesystem::path unitDirectory = "/etc/systemd/system";
    std::string program = kInstalledProgram;
    // Runs systemctl with these arguments and returns its exit code (127: not there).
    std::function<int(const std::vector<std::string>&)> systemctl;
};

// The unit file's text.
std::string unitText(const std::string& program);

// ERROR_SERVICE_EXISTS (1073) when the unit is there already; the mapped error when it cannot
// be written; systemctl's exit code when it refuses to enable it. No code (failure without
// the error line) when systemd is not there to ask.
ServiceHost::InstallOutcome installUnit(const SystemdSetup& setup);
// True when the unit was there and is now disabled and gone.
bool uninstallUnit(const SystemdSetup& setup);

// systemctl itself, as a child process with the caller's output.
int runSystemctl(const std::vector<std::string>& args);

}  // namespace diskgate::posix
