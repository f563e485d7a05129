// Where the token's devices are found: the device-interface class its driver registers (Windows)
// or the device nodes it makes (Linux).
#pragma once

#include <string>
#include <string_view>

#include "platform/device_interfaces.h"

namespace drvlink {

inline constexpr std::string_view kInterfaceGuid = "{925FAD44-E331-4116-B409-78FC2B51EA21}";
// Device nodes on Linux, unless TOKEN_DRIVER_DEVICES names another pattern.
inline constexpr std::string_view kDefaultNodePattern = "/dev/tarvexkey*";
inline constexpr const char* kNodePatternVariable = "TOKEN_DRIVER_DEVICES";

// The interface's registry key under HKEY_LOCAL_MACHINE: the class's key, then the interface
// path with its first, second and fourth characters replaced by '#', then "\Control".
std::string controlKeyOf(std::string_view interfacePath);

// The class as the platform's discovery takes it, with the node pattern in force now.
platform::DeviceInterfaceClass tokenDeviceClass();

}  // namespace drvlink
