#include "device_model.h"

#include <algorithm>
#include <cstring>

namespace tokendesk {

void applyContainerInfo(ContainerEntry& container, std::uint32_t word) {
    container.hasEncryptionKeyPair = (word & 0xFFu) != 0;
    container.hasEncryptionCertificate = ((word >> 8) & 0xFFu) != 0;
    container.hasSignatureKeyPair = ((word >> 16) & 0xFFu) != 0;
    container.hasSignatureCertificate = ((word >> 24) & 0xFFu) != 0;
}

std::vector<std::string> splitContainerNames(std::span<const char> buffer, std::uint32_t length) {
    std::vector<std::string> names;
    const std::size_t end = std::min<std::size_t>(length, buffer.size());
    std::size_t position = 0;
    while (position < end) {
        const char* start = buffer.data() + position;
        const void* nul = std::memchr(start, '\0', end - position);
        const std::size_t size =
            nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - start)
                           : end - position;
        if (size == 0) break;
        names.emplace_back(start, size);
        position += size + 1;
    }
    return names;
}

std::string_view unformattedLabel() {
    // "未格式化设备" in code page 936.
    static constexpr char kBytes[] = "\xCE\xB4\xB8\xF1\xCA\xBD\xBB\xAF\xC9\xE8\xB1\xB8";
    return {kBytes, sizeof kBytes - 1};
}

bool serialListed(std::span<const DeviceEntry> devices, std::string_view serial) {
    return std::any_of(devices.begin(), devices.end(),
                       [&](const DeviceEntry& device) { return device.serial == serial; });
}

const DeviceEntry* findDevice(std::span<const DeviceEntry> devices, ItemCode code) {
    const DecodedItem item = decodeItem(code);
    if (item.node == NodeKind::None) return nullptr;
    for (const DeviceEntry& device : devices) {
        if (device.id == item.deviceId) return &device;
    }
    return nullptr;
}

const ContainerEntry* findContainer(const DeviceEntry& device, ItemCode code) {
    const DecodedItem item = decodeItem(code);
    if (item.deviceId != device.id || item.container < 1) return nullptr;
    if (item.node != NodeKind::Container && item.node != NodeKind::Leaf) return nullptr;
    const auto index = static_cast<std::size_t>(item.container - 1);
    return index < device.containers.size() ? &device.containers[index] : nullptr;
}

}  // namespace tokendesk
