#include "device_status.h"

#include <algorithm>

#include "commands.h"

namespace tokenapi {

Result<DeviceStatus> readDeviceStatus(LockedDevice& device) {
    Response r = device.send(cmd::deviceStatus());
    if (!r.ok()) return {r.result};
    // A short record is one this library does not know.
    if (r.value.size() < 15) return {-1};
    Result<DeviceStatus> out{0, {}};
    std::copy_n(r.value.begin(), 15, out.value.raw.begin());
    return out;
}

Result<int> readGeneration(LockedDevice& device) {
    Result<DeviceStatus> s = readDeviceStatus(device);
    if (!s.ok()) return {s.result};
    const int gen = s.value.generation();
    if (gen == 0) return {-1};
    return {0, gen};
}

}  // namespace tokenapi
