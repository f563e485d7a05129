// The device handle of the key API and the registry of handles that are alive, so that a
// stale or foreign pointer is refused with 0x10003 instead of being dereferenced.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/named_mutex.h"
#include "tokenapi.h"
#include "transports/transport.h"

struct DeviceHandle {
    int32_t number = 0;
    TransportHandle* transport = nullptr;
    uint32_t userVerified = 0;
    uint32_t adminVerified = 0;
    // This handle's own handle to the key API lock; empty once the device has been lost.
    std::unique_ptr<platform::NamedMutex> lock;
};

namespace tokenapi {

void registerDevice(DeviceHandle* device);
void unregisterDevice(DeviceHandle* device);
// True while the pointer is a handle that X_ConnectDEV handed out and that is not freed yet.
bool isLiveDevice(const DeviceHandle* device);

// The one lock that serialises every device operation of every process.
inline constexpr const char* kKeyApiLockName = "Global\\TOKENAPI_MUTEX";

}  // namespace tokenapi
