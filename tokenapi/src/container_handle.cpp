#include "container_handle.h"

#include <memory>

namespace tokenapi {

uint32_t containerInfoWord(const ContainerBytes& h) {
    uint32_t word = 0;
    if (h.raw[ContainerBytes::kKey1] != 0) word |= 1u << 0;
    if (h.raw[ContainerBytes::kCert1] == ContainerBytes::kPresent) word |= 1u << 8;
    if (h.raw[ContainerBytes::kKey2] != 0) word |= 1u << 16;
    if (h.raw[ContainerBytes::kCert2] == ContainerBytes::kPresent) word |= 1u << 24;
    return word;
}

HandleRegistry<ContainerHandle>& containerHandles() {
    static auto* registry = new HandleRegistry<ContainerHandle>();
    return *registry;
}

ContainerHandle* newContainer(const ContainerBytes& bytes) {
    return containerHandles().add(std::make_unique<ContainerHandle>(bytes));
}

int32_t leaseContainer(const ContainerHandle* handle, ContainerLease& lease) {
    if (handle == nullptr) return XR_BAD_HANDLE;
    lease = containerHandles().lease(handle);
    return lease ? 0 : XR_BAD_CONTAINER;
}

}  // namespace tokenapi
