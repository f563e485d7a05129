#include "cipher_session.h"

#include <unordered_map>
#include <vector>

#include "crypto/secure_bytes.h"

CipherSession::~CipherSession() {
    tokenapi::crypto::secureWipe(held);
}

namespace tokenapi::cipher {

struct SessionLease::Entry {
    std::mutex turn;
    std::unique_ptr<CipherSession> record;
};

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<const CipherSession*, std::shared_ptr<SessionLease::Entry>> live;
    std::unordered_map<const DeviceHandle*, const CipherSession*> keyOwner;
};

Registry& registry() {
    static Registry r;
    return r;
}

bool isLive(const CipherSession* session) {
    auto& r = registry();
    std::lock_guard g(r.mutex);
    return r.live.count(session) != 0;
}

}  // namespace

CipherSession& SessionLease::operator*() const {
    return *entry_->record;
}

void SessionLease::release() {
    if (!entry_) return;
    auto& r = registry();
    std::lock_guard g(r.mutex);
    const CipherSession* key = entry_->record.get();
    r.live.erase(key);
    auto owner = r.keyOwner.find(entry_->record->device);
    if (owner != r.keyOwner.end() && owner->second == key) owner->second = nullptr;
}

CipherSession* newSession(const DeviceHandle* device, const Algorithm& algorithm) {
    auto entry = std::make_shared<SessionLease::Entry>();
    entry->record = std::make_unique<CipherSession>(device, algorithm);
    CipherSession* raw = entry->record.get();
    auto& r = registry();
    std::lock_guard g(r.mutex);
    r.live.emplace(raw, std::move(entry));
    r.keyOwner[device] = raw;
    return raw;
}

SessionLease leaseSession(const CipherSession* session) {
    SessionLease lease;
    if (session == nullptr) return lease;
    {
        auto& r = registry();
        std::lock_guard g(r.mutex);
        auto it = r.live.find(session);
        if (it == r.live.end()) return lease;
        lease.entry_ = it->second;
    }
    lease.turn_ = std::unique_lock(lease.entry_->turn);
    // Released while this call waited for its turn.
    if (!isLive(session)) return SessionLease{};
    return lease;
}

void noteKeyLoad(const DeviceHandle* device, const CipherSession* owner) {
    auto& r = registry();
    std::lock_guard g(r.mutex);
    r.keyOwner[device] = owner;
}

bool holdsKeyRegister(const DeviceHandle* device, const CipherSession* session) {
    auto& r = registry();
    std::lock_guard g(r.mutex);
    auto it = r.keyOwner.find(device);
    return it != r.keyOwner.end() && it->second == session;
}

void releaseSessionsOf(const DeviceHandle* device) {
    std::vector<std::shared_ptr<SessionLease::Entry>> gone;
    {
        auto& r = registry();
        std::lock_guard g(r.mutex);
        for (auto it = r.live.begin(); it != r.live.end();) {
            if (it->second->record->device == device) {
                gone.push_back(std::move(it->second));
                it = r.live.erase(it);
            } else {
                ++it;
            }
        }
        r.keyOwner.erase(device);
    }
    // Records still leased by a running call are freed when that call ends.
}

}  // namespace tokenapi::cipher
