// The devices of one device-interface class that are present now, each with the time it
// appeared, in the order the system lists them.
//
// Windows: the present interfaces of the class `interfaceGuid` (SetupAPI); the time is the
// last-write time of the interface's registry key, whose name under HKEY_LOCAL_MACHINE
// `registryKey` builds from the interface path (an interface whose key cannot be read is left
// out). A failure while walking the set ends the list there.
// Linux: the device nodes whose paths match `nodePattern` (shell wildcards); the time is the
// change time of the name itself (a symbolic link's own, not its target's): when it appeared.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct DeviceInterfaceClass {
    std::string_view interfaceGuid;  // "{925FAD44-E331-4116-B409-78FC2B51EA21}"
    std::function<std::string(std::string_view path)> registryKey;
    std::string nodePattern;
};

struct DeviceInterface {
    std::string path;
    std::int64_t time = 0;  // comparable within one listing: larger is later
};

// Nothing when the class cannot be listed at all.
std::optional<std::vector<DeviceInterface>> presentDeviceInterfaces(
    const DeviceInterfaceClass& deviceClass);

}  // namespace platform
