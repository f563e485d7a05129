// The shape every call of the key API on a device shares, in one place:
//
//   1. faults of the arguments that need no device;
//   2. the device handle: null, never handed out, freed or lost gives 0x10003; from here on
//      the call holds a lease on it, so a disconnect on another thread waits for it;
//   3. faults of the arguments that are told only for a good handle;
//   4. the other handles the call names (a container): refused, or leased for the call;
//   5. the user-verified gate (0x40005) for calls that need it;
//   6. the key API lock, taken for at most 5 s (0x10005) and released on every path; a handle
//      found lost once the lock is held gives 0x10003, and a user no longer verified 0x40005,
//      without reaching the transport;
//   7. the work;
//   8. the lost-device rule, before the lock is released: a 0x10001 marks the handle lost, so
//      that every later call on it gives 0x10003 without reaching the transport.
//
// Calls that never reach the token (closing a container, reading a handle's flags) take steps
// 1 to 5 and skip the lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <new>
#include <utility>

#include "apdu.h"
#include "device_handle.h"

namespace tokenapi {

inline constexpr std::chrono::milliseconds kLockLimit{5000};

// What a device operation works with while it holds the key API lock.
class LockedDevice {
  public:
    explicit LockedDevice(DeviceHandle& device) : device_(device) {}
    DeviceHandle& device() { return device_; }
    TransportHandle* transport() { return device_.transport(); }
    char tag() const { return device_.tag(); }

    Response send(const Command& command) { return transmit(device_.transport(), command); }
    int32_t select(uint16_t fileId);
    // UPDATE BINARY of `data` into the current file from file offset `at`, in pieces of at
    // most 128 bytes; 0 or the first failing result.
    int32_t updateInPieces(size_t at, ByteView data);

  private:
    DeviceHandle& device_;
};

enum class Gate { None, UserVerified };

// The checks of steps 1, 3, 4 and 5, each already worked out by the caller (0 when fine).
// They are pure, so working them out early changes nothing: which one is told is decided by
// the order above, never by the caller.
struct Checks {
    int32_t arguments = 0;    // step 1
    int32_t afterHandle = 0;  // step 3
    int32_t objects = 0;      // step 4
    Gate gate = Gate::None;   // step 5
};

// Whether a call that never reaches the token accepts a handle whose device was lost.
enum class LostDevice { Refused, Accepted };

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

// Steps 3 to 8 on a device the caller holds a lease on already (a call made of several
// operations keeps one lease across them).
template <class Work>
int32_t runLeasedOp(DeviceHandle& device, const Checks& checks, Work&& work) {
    if (checks.afterHandle != 0) return checks.afterHandle;
    if (checks.objects != 0) return checks.objects;
    if (checks.gate == Gate::UserVerified && !device.userVerified()) return XR_NOT_VERIFIED;
    // A copy of the handle's lock: marking the device lost on another thread never destroys
    // the mutex this call waits on.
    const std::shared_ptr<platform::NamedMutex> lock = device.keyApiLock();
    if (!lock) return XR_BAD_HANDLE;
    platform::NamedMutexGuard guard(*lock, kLockLimit);
    if (!guard.owns()) return XR_LOCK_TIMEOUT;
    // Another call may have lost the device, or cleared the verified state, while this one
    // waited: the state that counts is the one under the lock.
    if (device.lost()) return XR_BAD_HANDLE;
    if (checks.gate == Gate::UserVerified && !device.userVerified()) return XR_NOT_VERIFIED;
    LockedDevice locked(device);
    const int32_t result = work(locked);
    // Marked while the lock is still held: a call that waited for it sees the loss as soon as
    // it gets the lock.
    if (result == TRANSPORT_DEVICE_LOST) device.markLost();
    return result;
}

// Steps 1 and 2: the handle leased for the whole call; empty when refused.
inline int32_t leaseDevice(DeviceHandle* device, LostDevice lost, DeviceLease& lease) {
    lease = deviceHandles().lease(device);
    if (!lease) return XR_BAD_HANDLE;
    if (lost == LostDevice::Refused && lease->lost()) return XR_BAD_HANDLE;
    return 0;
}

// True when the handle is live and not lost, for a call that must tell a bad handle among its
// own checks. Only a hint: the operation that follows leases the handle and checks again.
inline bool usable(DeviceHandle* device) {
    DeviceLease lease;
    return leaseDevice(device, LostDevice::Refused, lease) == 0;
}

// The whole pattern, for a call that is one device operation.
template <class Work>
int32_t runDeviceOp(DeviceHandle* device, const Checks& checks, Work&& work) noexcept {
    return noThrow([&]() -> int32_t {
        if (checks.arguments != 0) return checks.arguments;
        DeviceLease lease;
        if (int32_t r = leaseDevice(device, LostDevice::Refused, lease); r != 0) return r;
        return runLeasedOp(*lease, checks, std::forward<Work>(work));
    });
}

// Steps 1 to 5 for a call that never reaches the token; `work` gets the device handle.
template <class Work>
int32_t runHandleCall(DeviceHandle* device, LostDevice lost, const Checks& checks,
                      Work&& work) noexcept {
    return noThrow([&]() -> int32_t {
        if (checks.arguments != 0) return checks.arguments;
        DeviceLease lease;
        if (int32_t r = leaseDevice(device, lost, lease); r != 0) return r;
        if (checks.afterHandle != 0) return checks.afterHandle;
        if (checks.objects != 0) return checks.objects;
        if (checks.gate == Gate::UserVerified && !lease->userVerified()) return XR_NOT_VERIFIED;
        return work(*lease);
    });
}

}  // namespace tokenapi
