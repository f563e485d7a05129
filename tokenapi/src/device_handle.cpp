#include "device_handle.h"

#include "transport_route.h"

DeviceHandle::DeviceHandle(int32_t number, TransportHandle* transport,
                           std::shared_ptr<platform::NamedMutex> keyApiLock)
    : number_(number), transport_(transport), keyApiLock_(std::move(keyApiLock)) {}

DeviceHandle::~DeviceHandle() {
    tokenapi::route::disconnect(transport_);
}

std::shared_ptr<platform::NamedMutex> DeviceHandle::keyApiLock() const {
    std::lock_guard guard(mutex_);
    return keyApiLock_;
}

bool DeviceHandle::lost() const {
    std::lock_guard guard(mutex_);
    return keyApiLock_ == nullptr;
}

void DeviceHandle::markLost() {
    // Declared first, destroyed last: when this was the last owner, the mutex is closed after
    // the handle's own mutex is released.
    std::shared_ptr<platform::NamedMutex> dropped;
    std::lock_guard guard(mutex_);
    dropped = std::move(keyApiLock_);
}

DeviceHandle::Verified DeviceHandle::verified() const {
    std::lock_guard guard(mutex_);
    return verified_;
}

void DeviceHandle::setVerified(Verified flags) {
    std::lock_guard guard(mutex_);
    verified_ = flags;
}

void DeviceHandle::setUserVerified(uint32_t user) {
    std::lock_guard guard(mutex_);
    verified_.user = user;
}

namespace tokenapi {

HandleRegistry<DeviceHandle>& deviceHandles() {
    // Never destroyed: handles a process still holds at exit must not disconnect their
    // transports from a static destructor, after the transport libraries may be gone.
    static auto* registry = new HandleRegistry<DeviceHandle>();
    return *registry;
}

}  // namespace tokenapi
