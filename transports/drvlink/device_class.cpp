#include "device_class.h"

#include <cstdlib>

namespace drvlink {

std::string controlKeyOf(std::string_view interfacePath) {
    std::string path(interfacePath);
    for (std::size_t at : {0, 1, 3}) {
        if (at < path.size()) path[at] = '#';
    }
    return "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
           "{925fad44-e331-4116-b409-78fc2b51ea21}\\" +
           path + "\\Control";
}

platform::DeviceInterfaceClass tokenDeviceClass() {
    const char* pattern = std::getenv(kNodePatternVariable);
    return {kInterfaceGuid, controlKeyOf,
            pattern != nullptr && *pattern != '\0' ? std::string(pattern)
                                                   : std::string(kDefaultNodePattern)};
}

}  // namespace drvlink
