#include "item_code.h"

#include <limits>

namespace tokendesk {

ItemCode keyCode(ItemCode deviceId) {
    return deviceId;
}

std::optional<ItemCode> containerCode(ItemCode deviceId, int position) {
    if (position < 1 || position > kMaxContainers) return std::nullopt;
    return deviceId + kContainerStride * position;
}

ItemCode leafCode(ItemCode containerCode, LeafKind kind) {
    return containerCode + static_cast<ItemCode>(kind);
}

DecodedItem decodeItem(ItemCode code) {
    DecodedItem item;
    if (code <= 0) return item;
    item.deviceId = code / kDeviceStride * kDeviceStride;
    const ItemCode rest = code % kDeviceStride;
    item.container = static_cast<int>(rest / kContainerStride);
    const int leaf = static_cast<int>(rest % kContainerStride);
    if (rest == 0) {
        item.node = NodeKind::Key;
    } else if (item.container == 0 || leaf > 4) {
        item.node = NodeKind::None;  // a leaf without a container, or an unknown leaf kind
    } else if (leaf == 0) {
        item.node = NodeKind::Container;
    } else {
        item.node = NodeKind::Leaf;
        item.leaf = static_cast<LeafKind>(leaf);
    }
    return item;
}

ItemCode DeviceIdCounter::next(const std::function<bool(ItemCode)>& inUse) {
    // The largest id whose every item code still fits.
    constexpr ItemCode kLargest = (std::numeric_limits<ItemCode>::max() - (kDeviceStride - 1)) /
                                  kDeviceStride * kDeviceStride;
    // Every listed id is skipped; there are far fewer listed keys than ids, so this ends.
    do {
        last_ = last_ >= kLargest ? kDeviceStride : last_ + kDeviceStride;
    } while (inUse(last_));
    return last_;
}

}  // namespace tokendesk
