#include "device_status.h"

#include <algorithm>

#include "commands.h"

namespace tokenapi {

DeviceStatusReply readDeviceStatus(Session& session) {
    Response r = session.send(cmd::deviceStatus());
    if (!r.ok()) return {r.result, {}};
    // A short record is one this library does not know.
    if (r.data.size() < 15) return {-1, {}};
    DeviceStatusReply out{0, {}};
    std::copy_n(r.data.begin(), 15, out.status.raw.begin());
    return out;
}

GenerationReply readGeneration(Session& session) {
    DeviceStatusReply s = readDeviceStatus(session);
    if (s.result != 0) return {s.result, 0};
    const int gen = s.status.generation();
    if (gen == 0) return {-1, 0};
    return {0, gen};
}

}  // namespace tokenapi
