// Installing and removing the service under the service control manager.
#pragma once

#include "command_line.h"

namespace diskgate::win {

inline constexpr char kServiceName[] = "diskgate";

// Registers "<system directory>\diskgate.exe" as an own-process service that starts
// automatically, with normal error control, in the system account. The program is not copied
// there and the service is not started.
ServiceHost::InstallOutcome installService();
// Deletes the service; true only if every step succeeded.
bool uninstallService();

}  // namespace diskgate::win
