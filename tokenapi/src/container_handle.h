// The 7-byte container handle of the key API and the registry of handles that are alive.
//
// Clients hold a ContainerHandle* as an opaque pointer. Every call leases it from the
// registry first, so that a pointer that was never handed out, one already closed or
// destroyed, or a handle of another type is refused with 0x30003 instead of being
// dereferenced; the lease keeps it alive while the call runs. Its bytes are read and changed
// under the handle's own mutex, so an import on one thread and an information query on
// another never see half an update.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "handle_registry.h"
#include "tokenapi.h"

namespace tokenapi {

// The handle's bytes and what they mean.
struct ContainerBytes {
    std::array<uint8_t, 7> raw{};

    static constexpr size_t kCert1 = 2;  // 0x10: certificate of type 1 present
    static constexpr size_t kKey1 = 3;   // key flag of slot 1
    static constexpr size_t kCert2 = 4;  // 0x10: certificate of type 2 present
    static constexpr size_t kKey2 = 5;   // key flag of slot 2
    static constexpr size_t kRoot = 6;   // 0x10: root certificate present
    static constexpr uint8_t kPresent = 0x10;

    uint16_t identifier() const { return static_cast<uint16_t>(raw[0] << 8 | raw[1]); }
    // The container number n that names its flag bytes and certificate files.
    uint8_t number() const { return raw[1] & 0x0F; }
    bool opened() const { return raw[0] == 0xDD; }
};

// The information word of X_GetContainerInfo: bit 0 key pair in slot 1, bit 8 certificate of
// type 1, bit 16 key pair in slot 2, bit 24 certificate of type 2.
uint32_t containerInfoWord(const ContainerBytes& handle);

}  // namespace tokenapi

struct ContainerHandle {
  public:
    explicit ContainerHandle(const tokenapi::ContainerBytes& bytes) : bytes_(bytes) {}
    ContainerHandle(const ContainerHandle&) = delete;
    ContainerHandle& operator=(const ContainerHandle&) = delete;

    tokenapi::ContainerBytes bytes() const {
        std::lock_guard guard(mutex_);
        return bytes_;
    }
    void setByte(size_t index, uint8_t value) {
        std::lock_guard guard(mutex_);
        if (index < bytes_.raw.size()) bytes_.raw[index] = value;
    }

  private:
    mutable std::mutex mutex_;
    tokenapi::ContainerBytes bytes_;
};

namespace tokenapi {

using ContainerLease = HandleRegistry<ContainerHandle>::Lease;

// The registry of the container handles that are alive.
HandleRegistry<ContainerHandle>& containerHandles();

// Allocates and registers a handle holding `bytes`.
ContainerHandle* newContainer(const ContainerBytes& bytes);

// Leases a container handle for one call: 0 with `lease` set, 0x10003 for null, 0x30003 for
// a pointer that is not a live container handle.
int32_t leaseContainer(const ContainerHandle* handle, ContainerLease& lease);

}  // namespace tokenapi
