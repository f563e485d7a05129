#include "device_handle.h"

#include <mutex>
#include <unordered_set>

namespace tokenapi {
namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_set<const DeviceHandle*> live;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void registerDevice(DeviceHandle* device) {
    auto& r = registry();
    std::lock_guard g(r.mutex);
    r.live.insert(device);
}

void unregisterDevice(DeviceHandle* device) {
    auto& r = registry();
    std::lock_guard g(r.mutex);
    r.live.erase(device);
}

bool isLiveDevice(const DeviceHandle* device) {
    if (device == nullptr) return false;
    auto& r = registry();
    std::lock_guard g(r.mutex);
    return r.live.count(device) != 0;
}

}  // namespace tokenapi
