#include "container_handle.h"

#include <memory>
#include <mutex>
#include <unordered_map>

namespace tokenapi {
namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<const ContainerHandle*, std::unique_ptr<ContainerHandle>> live;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

uint32_t containerInfoWord(const ContainerBytes& h) {
    uint32_t word = 0;
    if (h.raw[ContainerBytes::kKey1] != 0) word |= 1u << 0;
    if (h.raw[ContainerBytes::kCert1] == ContainerBytes::kPresent) word |= 1u << 8;
    if (h.raw[ContainerBytes::kKey2] != 0) word |= 1u << 16;
    if (h.raw[ContainerBytes::kCert2] == ContainerBytes::kPresent) word |= 1u << 24;
    return word;
}

ContainerHandle* newContainer(const ContainerBytes& bytes) {
    auto handle = std::make_unique<ContainerHandle>();
    handle->bytes = bytes.raw;
    ContainerHandle* raw = handle.get();
    auto& r = registry();
    std::lock_guard g(r.mutex);
    r.live.emplace(raw, std::move(handle));
    return raw;
}

bool freeContainer(ContainerHandle* handle) {
    std::unique_ptr<ContainerHandle> owned;
    {
        auto& r = registry();
        std::lock_guard g(r.mutex);
        auto it = r.live.find(handle);
        if (it == r.live.end()) return false;
        owned = std::move(it->second);
        r.live.erase(it);
    }
    return true;
}

ContainerLookup lookupContainer(const ContainerHandle* handle) {
    if (handle == nullptr) return {XR_BAD_HANDLE, {}};
    auto& r = registry();
    std::lock_guard g(r.mutex);
    auto it = r.live.find(handle);
    if (it == r.live.end()) return {XR_BAD_CONTAINER, {}};
    return {0, ContainerBytes{it->second->bytes}};
}

void setContainerByte(ContainerHandle* handle, size_t index, uint8_t value) {
    auto& r = registry();
    std::lock_guard g(r.mutex);
    auto it = r.live.find(handle);
    if (it != r.live.end() && index < it->second->bytes.size()) it->second->bytes[index] = value;
}

}  // namespace tokenapi
