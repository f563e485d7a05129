// The CipherSession record of the key API and the registry of live sessions.
//
// Clients hold a CipherSession* as an opaque pointer made by X_EncryptInit. Every call leases
// the session from its registry (handle_registry.h) exclusively: a pointer that was never
// handed out, is already released or is a handle of another type is refused instead of
// dereferenced, two threads on one session take turns, and a release on another thread (a
// Final, a disconnect) frees the record only once the running call is done with it.
//
// The registry also remembers which session's key the token's key register holds on each
// device handle, so that a session whose key another cipher call of this process replaced
// is refused instead of silently enciphering with the other key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "cipher_algorithms.h"
#include "handle_registry.h"
#include "tokenapi.h"

struct CipherSession {
    CipherSession(const DeviceHandle* madeOn, const tokenapi::cipher::Algorithm& a)
        : device(madeOn), algorithm(&a) {}
    ~CipherSession();
    CipherSession(const CipherSession&) = delete;
    CipherSession& operator=(const CipherSession&) = delete;

    const DeviceHandle* device;  // the handle whose token holds the key
    const tokenapi::cipher::Algorithm* algorithm;
    // Input not yet sent: plain text when encrypting, so it is wiped with the record.
    std::array<uint8_t, tokenapi::cipher::kMaxBlockLength> held{};
    size_t heldCount = 0;
    // The result that broke the stream (a failed command or a reply of the wrong length), or
    // 0 while the stream is whole.
    int32_t broken = 0;
};

namespace tokenapi::cipher {

// Holds a live session for the length of one call, and the session's turn: two threads on
// one session take turns.
using SessionLease = HandleRegistry<CipherSession>::Lease;

// Allocates and registers a session for `device`, and records it as the owner of that
// device's key register.
CipherSession* newSession(const DeviceHandle* device, const Algorithm& algorithm);

// An empty lease when the pointer is not a live session.
SessionLease leaseSession(const CipherSession* session);

// The session's release, by the call that holds it (a Final): it leaves the registry and the
// device's key register at once; the record is freed when the lease ends.
void releaseSession(SessionLease& lease);

// Records that a key load went to the device's token: `owner` is the session made by it, or
// null for a one-shot call.
void noteKeyLoad(const DeviceHandle* device, const CipherSession* owner);
bool holdsKeyRegister(const DeviceHandle* device, const CipherSession* session);

// Frees every session made on the device (at disconnect) and forgets its key register.
void releaseSessionsOf(const DeviceHandle* device);

}  // namespace tokenapi::cipher
