// The devices of the last enumeration, oldest first: at most 16, each a path that could be
// opened when the enumeration ran.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_interfaces.h"

namespace drvlink {

inline constexpr std::size_t kMaxDevices = 16;
// A path the table can hold with its terminator in 260 characters.
inline constexpr std::size_t kMaxPathLength = 259;

// Takes the present interfaces in the order the system listed them: drops those whose path is
// too long or cannot be opened now, keeps the first 16 of the rest, and orders them by the time
// they appeared, oldest first (equal times keep their order).
std::vector<platform::DeviceInterface> buildDeviceTable(
    std::vector<platform::DeviceInterface> present,
    const std::function<bool(const std::string& path)>& opens);

}  // namespace drvlink
