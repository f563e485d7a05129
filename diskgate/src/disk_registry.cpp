#include "disk_registry.h"

namespace diskgate {

std::string interfaceKeyOf(std::string_view devicePath) {
    std::string path(devicePath);
    for (std::size_t i : {0u, 1u, 3u}) {
        if (i < path.size()) path[i] = '#';
    }
    return "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + std::string(kDiskClassGuid) +
           "\\" + path + "\\Control";
}

std::string upperCased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

PlugIn placeAmongTokenDevices(const std::vector<std::string>& listedIds,
                              std::string_view parentId) {
    const std::string parent = upperCased(parentId);
    long place = -1;
    for (const std::string& listed : listedIds) {
        const std::string id = upperCased(listed);
        if (id.rfind(kTokenUsbIdentity, 0) == 0) ++place;
        if (id == parent) {
            if (place < 0) break;
            return {PlugIn::Kind::Position, static_cast<std::uint64_t>(place), kSuccess};
        }
    }
    return {PlugIn::Kind::Unknown, 0, kSuccess};
}

}  // namespace diskgate
