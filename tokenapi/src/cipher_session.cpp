#include "cipher_session.h"

#include <unordered_map>

#include "crypto/secure_bytes.h"

CipherSession::~CipherSession() {
    tokenapi::crypto::secureWipe(held);
}

namespace tokenapi::cipher {
namespace {

HandleRegistry<CipherSession>& sessions() {
    // Never destroyed, like the other handle registries.
    static auto* registry = new HandleRegistry<CipherSession>();
    return *registry;
}

// Which session's key each device's token holds in its key register (null: a one-shot call's).
struct KeyOwners {
    std::mutex mutex;
    std::unordered_map<const DeviceHandle*, const CipherSession*> owner;
};

KeyOwners& keyOwners() {
    static auto* owners = new KeyOwners();
    return *owners;
}

}  // namespace

CipherSession* newSession(const DeviceHandle* device, const Algorithm& algorithm) {
    CipherSession* made = sessions().add(std::make_unique<CipherSession>(device, algorithm));
    noteKeyLoad(device, made);
    return made;
}

SessionLease leaseSession(const CipherSession* session) {
    return sessions().leaseExclusive(session);
}

void releaseSession(SessionLease& lease) {
    if (!lease) return;
    const CipherSession* session = lease.get();
    lease.retire();
    auto& k = keyOwners();
    std::lock_guard guard(k.mutex);
    auto owner = k.owner.find(session->device);
    if (owner != k.owner.end() && owner->second == session) owner->second = nullptr;
}

void noteKeyLoad(const DeviceHandle* device, const CipherSession* owner) {
    auto& k = keyOwners();
    std::lock_guard guard(k.mutex);
    k.owner[device] = owner;
}

bool holdsKeyRegister(const DeviceHandle* device, const CipherSession* session) {
    auto& k = keyOwners();
    std::lock_guard guard(k.mutex);
    auto it = k.owner.find(device);
    return it != k.owner.end() && it->second == session;
}

void releaseSessionsOf(const DeviceHandle* device) {
    // Records still leased by a running call are freed when that call ends.
    sessions().retireWhere([device](const CipherSession& s) { return s.device == device; });
    auto& k = keyOwners();
    std::lock_guard guard(k.mutex);
    k.owner.erase(device);
}

}  // namespace tokenapi::cipher
