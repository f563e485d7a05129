// The device handle of the key API: what X_ConnectDEV hands out and X_DisConnectDEV frees.
//
// Several threads of a process may use one handle at once (every CryptoAPI application is
// such a process). Each call holds a lease on the handle for its whole duration, so a
// disconnect on another thread waits until the running calls have ended before it closes the
// transport and frees the handle. The state that calls change (the verified flags, the lost
// mark) lives behind the handle's own mutex, and the handle's key API lock is shared with every
// call waiting on it, so that marking the device lost never destroys a mutex under a waiter.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "handle_registry.h"
#include "platform/named_mutex.h"
#include "tokenapi.h"
#include "transports/transport.h"

struct DeviceHandle {
  public:
    // 1 after a successful verification of that side's PIN (or the token's own report).
    struct Verified {
        uint32_t user = 0;
        uint32_t admin = 0;
    };

    // Takes ownership of the transport connection, which the destructor releases.
    DeviceHandle(int32_t number, TransportHandle* transport,
                 std::shared_ptr<platform::NamedMutex> keyApiLock);
    ~DeviceHandle();
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    int32_t number() const { return number_; }
    // Fixed from connect to free: calls may read it without the handle's mutex.
    TransportHandle* transport() const { return transport_; }
    char tag() const { return transport_ != nullptr ? transport_->tag : '\0'; }

    // The handle's own handle to the key API lock, or null once the device was lost. The
    // caller's copy keeps the mutex object alive while it waits and holds it.
    std::shared_ptr<platform::NamedMutex> keyApiLock() const;
    bool lost() const;
    // After a 0x10001: every later call on this handle gives 0x10003 without reaching the
    // transport, until the client disconnects and connects again.
    void markLost();

    Verified verified() const;
    void setVerified(Verified flags);
    bool userVerified() const { return verified().user != 0; }
    // The token's own report of its security state (information type 8).
    void setUserVerified(uint32_t user);

  private:
    const int32_t number_;
    TransportHandle* const transport_;
    mutable std::mutex mutex_;
    std::shared_ptr<platform::NamedMutex> keyApiLock_;  // guarded by mutex_
    Verified verified_;                                 // guarded by mutex_
};

namespace tokenapi {

using DeviceLease = HandleRegistry<DeviceHandle>::Lease;

// The registry of the device handles that are alive.
HandleRegistry<DeviceHandle>& deviceHandles();

// The one lock that serialises every device operation of every process.
inline constexpr const char* kKeyApiLockName = "Global\\TOKENAPI_MUTEX";

}  // namespace tokenapi
