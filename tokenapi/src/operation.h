// The shape every device operation of the key API shares: handle checks, the optional
// user-verified gate, the key API lock taken for at most 5 s and released on every path,
// and the lost-device rule (a 0x10001 from the transport empties the handle's lock, so that
// every later call on the handle gives 0x10003 without reaching the transport).
#pragma once

#include <chrono>
#include <cstdint>
#include <new>
#include <utility>

#include "apdu.h"
#include "device_handle.h"

namespace tokenapi {

inline constexpr std::chrono::milliseconds kLockLimit{5000};

// What a device operation works with while it holds the lock.
class Session {
  public:
    explicit Session(DeviceHandle& device) : device_(device) {}
    DeviceHandle& device() { return device_; }
    TransportHandle* transport() { return device_.transport; }
    char tag() const { return device_.transport ? device_.transport->tag : '\0'; }

    Response send(const Command& command) { return transmit(device_.transport, command); }
    int32_t select(uint16_t fileId);
    // UPDATE BINARY of `data` into the current file from file offset `at`, in pieces of at
    // most 128 bytes; 0 or the first failing result.
    int32_t updateInPieces(size_t at, ByteView data);

  private:
    DeviceHandle& device_;
};

enum class Gate { None, UserVerified };

// No exception leaves the key API: an allocation failure or a broken invariant deep inside
// an operation ends that operation with -1.
template <class F>
int32_t noThrow(F&& f) noexcept {
    try {
        return std::forward<F>(f)();
    } catch (...) {
        return -1;
    }
}

// Applies the lost-device rule to a finished operation's result.
inline int32_t settle(DeviceHandle& device, int32_t result) {
    if (result == TRANSPORT_DEVICE_LOST) device.lock.reset();
    return result;
}

// True when the handle can carry an operation (alive and not lost).
inline bool usable(const DeviceHandle* device) {
    return isLiveDevice(device) && device->lock != nullptr;
}

template <class Work>
int32_t runDeviceOp(DeviceHandle* device, Gate gate, Work&& work) noexcept {
    return noThrow([&]() -> int32_t {
        if (!usable(device)) return XR_BAD_HANDLE;
        if (gate == Gate::UserVerified && device->userVerified == 0) return XR_NOT_VERIFIED;
        int32_t result;
        {
            platform::NamedMutexGuard guard(*device->lock, kLockLimit);
            if (!guard.owns()) return XR_LOCK_TIMEOUT;
            Session session(*device);
            result = work(session);
        }
        return settle(*device, result);
    });
}

}  // namespace tokenapi
