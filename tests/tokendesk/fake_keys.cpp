#include "fake_keys.h"

#include <algorithm>
#include <cstring>

namespace tokendesk::testing {

namespace {
constexpr std::int32_t kLost = 0x10001;
constexpr std::int32_t kFail = 0x6A82;
}  // namespace

std::int32_t FakeKeys::enumDevices(std::uint32_t& count) {
    if (enumFails) return kFail;
    count = static_cast<std::uint32_t>(
        std::count_if(keys.begin(), keys.end(), [](const FakeKey& key) { return key.present; }));
    return 0;
}

std::int32_t FakeKeys::connect(int index, DeviceHandle*& device) {
    int seen = -1;
    for (std::size_t at = 0; at < keys.size(); ++at) {
        if (!keys[at].present || ++seen != index) continue;
        if (keys[at].connectFails) return kFail;
        auto cell = std::make_unique<std::size_t>(at);
        device = reinterpret_cast<DeviceHandle*>(cell.get());
        handles_[device] = std::move(cell);
        return 0;
    }
    return kLost;
}

std::int32_t FakeKeys::disconnect(DeviceHandle* device) {
    return handles_.erase(device) == 1 ? 0 : 0x10003;
}

FakeKey* FakeKeys::keyOf(DeviceHandle* device) {
    const auto it = handles_.find(device);
    if (it == handles_.end()) return nullptr;
    FakeKey& key = keys.at(*it->second);
    return key.present ? &key : nullptr;
}

std::int32_t FakeKeys::deviceInfo(DeviceHandle* device, std::uint32_t type,
                                  std::span<std::uint8_t> buffer, std::uint32_t& length) {
    FakeKey* key = keyOf(device);
    if (key == nullptr) return kLost;
    if ((type == 0 && key->labelFails) || (type == 7 && key->serialFails)) return kFail;
    const std::string& text = type == 0 ? key->label : key->serial;
    if (text.size() > length || text.size() > buffer.size()) return 0x50002;
    std::memcpy(buffer.data(), text.data(), text.size());
    length = static_cast<std::uint32_t>(text.size());
    return 0;
}

std::int32_t FakeKeys::enumContainers(DeviceHandle* device, std::span<char> buffer,
                                      std::uint32_t& length) {
    FakeKey* key = keyOf(device);
    if (key == nullptr) return kLost;
    std::string list;
    for (const FakeContainer& container : key->containers) {
        list += container.name;
        list.push_back('\0');
    }
    if (list.size() > buffer.size()) return 0x50002;
    std::memcpy(buffer.data(), list.data(), list.size());
    length = static_cast<std::uint32_t>(list.size());
    return 0;
}

std::int32_t FakeKeys::openContainer(DeviceHandle* device, const char* name,
                                     ContainerHandle*& container) {
    FakeKey* key = keyOf(device);
    if (key == nullptr) return kLost;
    for (std::size_t at = 0; at < key->containers.size(); ++at) {
        if (key->containers[at].name != name) continue;
        if (key->containers[at].openFails) return kFail;
        auto cell = std::make_unique<std::size_t>(at);
        container = reinterpret_cast<ContainerHandle*>(cell.get());
        containers_[container] = std::move(cell);
        ++openContainers_;
        return 0;
    }
    return kFail;
}

const FakeContainer* FakeKeys::containerOf(DeviceHandle* device, ContainerHandle* container) {
    FakeKey* key = keyOf(device);
    const auto it = containers_.find(container);
    if (key == nullptr || it == containers_.end()) return nullptr;
    return &key->containers.at(*it->second);
}

std::int32_t FakeKeys::containerInfo(DeviceHandle* device, ContainerHandle* container,
                                     std::uint32_t& word) {
    const FakeContainer* entry = containerOf(device, container);
    if (entry == nullptr) return kLost;
    if (entry->infoFails) return kFail;
    word = entry->infoWord;
    return 0;
}

std::int32_t FakeKeys::closeContainer(DeviceHandle*, ContainerHandle* container) {
    if (containers_.erase(container) != 1) return 0x10003;
    --openContainers_;
    return 0;
}

std::int32_t FakeKeys::exportCertificate(DeviceHandle* device, ContainerHandle* container,
                                         std::uint32_t type, std::span<std::uint8_t> buffer,
                                         std::uint32_t& length) {
    const FakeContainer* entry = containerOf(device, container);
    if (entry == nullptr) return kLost;
    const auto& der = type == 1 ? entry->encryptionCertificate : entry->signatureCertificate;
    if (der.empty()) return kFail;  // the word claims a certificate the key cannot give
    if (der.size() > length || der.size() > buffer.size()) return 0x50002;
    std::memcpy(buffer.data(), der.data(), der.size());
    length = static_cast<std::uint32_t>(der.size());
    return 0;
}

std::int32_t FakeKeys::probe(DeviceHandle* device) {
    return keyOf(device) ? 0 : kLost;
}

}  // namespace tokendesk::testing
