#include <glob.h>
#include <sys/stat.h>

#include <memory>

#include "platform/device_interfaces.h"

namespace platform {

std::optional<std::vector<DeviceInterface>> presentDeviceInterfaces(
    const DeviceInterfaceClass& deviceClass) {
    glob_t found{};
    std::unique_ptr<glob_t, decltype(&::globfree)> release(&found, ::globfree);
    const int r = ::glob(deviceClass.nodePattern.c_str(), GLOB_NOESCAPE, nullptr, &found);
    std::vector<DeviceInterface> devices;
    if (r == GLOB_NOMATCH) return devices;
    if (r != 0) return std::nullopt;
    for (std::size_t i = 0; i < found.gl_pathc; ++i) {
        struct stat node {};
        if (::lstat(found.gl_pathv[i], &node) != 0) continue;  // gone meanwhile
        devices.push_back(
            {found.gl_pathv[i],
             static_cast<std::int64_t>(node.st_ctim.tv_sec) * 1000000000 + node.st_ctim.tv_nsec});
    }
    return devices;
}

}  // namespace platform
