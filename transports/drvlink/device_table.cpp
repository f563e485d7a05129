#include "device_table.h"

#include <algorithm>

namespace drvlink {

std::vector<platform::DeviceInterface> buildDeviceTable(
    std::vector<platform::DeviceInterface> present,
    const std::function<bool(const std::string& path)>& opens) {
    std::vector<platform::DeviceInterface> table;
    for (platform::DeviceInterface& device : present) {
        if (table.size() == kMaxDevices) break;
        if (device.path.empty() || device.path.size() > kMaxPathLength) continue;
        // Held exclusively by another program, or gone: nothing this process could use.
        if (!opens(device.path)) continue;
        table.push_back(std::move(device));
    }
    std::stable_sort(table.begin(), table.end(),
                     [](const auto& a, const auto& b) { return a.time < b.time; });
    return table;
}

}  // namespace drvlink
