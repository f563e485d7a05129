#include "device_list.h"

#include <array>
#include <mutex>

#include "transport_route.h"

namespace tokenapi {
namespace {

struct Numbering {
    std::mutex mutex;
    std::array<int32_t, route::kEnumerationOrder.size()> counts{};
    int64_t total = 0;
};

Numbering& numbering() {
    static Numbering n;
    return n;
}

}  // namespace

uint32_t enumerateDevices() {
    std::array<int32_t, route::kEnumerationOrder.size()> counts{};
    int64_t total = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        int32_t count = 0;
        if (route::enumerate(route::kEnumerationOrder[i], &count) != 0 || count < 0) count = 0;
        counts[i] = count;
        total += count;
    }
    auto& n = numbering();
    std::lock_guard g(n.mutex);
    n.counts = counts;
    n.total = total;
    return static_cast<uint32_t>(total);
}

DeviceSlot slotOf(int32_t number) {
    auto& n = numbering();
    std::lock_guard g(n.mutex);
    if (number < 0 || number >= n.total) return {};
    int32_t local = number;
    for (size_t i = 0; i < n.counts.size(); ++i) {
        if (local < n.counts[i]) return {route::kEnumerationOrder[i], local};
        local -= n.counts[i];
    }
    return {};
}

}  // namespace tokenapi
