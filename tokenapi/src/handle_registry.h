// The handles the key API hands out (device and container handles now; key records, digest
// and cipher sessions next): one registry per type of the handles that are alive, and leases
// that keep one alive for as long as an operation uses it.
//
// A client holds a handle as an opaque pointer. Every call first leases it from the registry
// of its type: a pointer that was never handed out, is already freed, or was handed out as
// another type gives no lease and is refused instead of dereferenced. A lease keeps the object
// alive until the operation ends, whatever other threads do meanwhile. Retiring a handle (its
// release function) takes it out of the registry at once, so that no new call can lease it,
// then waits until every running call on it has ended; only then is the object handed back
// to be destroyed. A thread must therefore never retire a handle it holds a lease on; a call
// that frees the handle it works on (a session's final call) retires it through its lease.
//
// Handles whose calls must not overlap (a cipher session streams through one register) take
// exclusive leases: calls on one handle then take turns.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tokenapi {

template <class T>
class HandleRegistry {
    struct Entry {
        explicit Entry(std::unique_ptr<T> o) : object(std::move(o)) {}
        std::unique_ptr<T> object;  // destroyed with the entry unless a retire took it
        std::mutex turn;            // held by an exclusive lease
        std::size_t leases = 0;     // guarded by the registry's mutex
        bool retired = false;       // guarded by the registry's mutex
    };

  public:
    // The right to use one live handle; empty when the handle was refused.
    class Lease {
      public:
        Lease() = default;
        Lease(Lease&& other) noexcept
            : registry_(std::exchange(other.registry_, nullptr)),
              entry_(std::move(other.entry_)),
              turn_(std::move(other.turn_)) {}
        Lease& operator=(Lease&& other) noexcept {
            if (this != &other) {
                reset();
                registry_ = std::exchange(other.registry_, nullptr);
                entry_ = std::move(other.entry_);
                turn_ = std::move(other.turn_);
            }
            return *this;
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { reset(); }

        // Ends the lease early; a retire waiting for it may go on.
        void reset() noexcept {
            if (turn_.owns_lock()) turn_.unlock();
            turn_ = {};
            if (entry_) registry_->endLease(*entry_);
            entry_.reset();
            registry_ = nullptr;
        }

        // The handle's release function, called by a holder of a lease on it: the handle
        // leaves the registry at once (no new call can lease it, calls waiting for their turn
        // are refused), and the object is destroyed when the last lease on it ends, this one
        // included. Nothing waits.
        void retire() {
            if (entry_) registry_->retireEntry(*entry_);
        }

        explicit operator bool() const { return entry_ != nullptr; }
        T* get() const { return entry_ ? entry_->object.get() : nullptr; }
        T& operator*() const { return *entry_->object; }
        T* operator->() const { return entry_->object.get(); }

      private:
        friend class HandleRegistry;
        Lease(HandleRegistry* registry, std::shared_ptr<Entry> entry)
            : registry_(registry), entry_(std::move(entry)) {}

        HandleRegistry* registry_ = nullptr;
        std::shared_ptr<Entry> entry_;
        std::unique_lock<std::mutex> turn_;  // an exclusive lease's turn
    };

    HandleRegistry() = default;
    HandleRegistry(const HandleRegistry&) = delete;
    HandleRegistry& operator=(const HandleRegistry&) = delete;

    // Takes ownership and hands out the pointer clients will hold.
    T* add(std::unique_ptr<T> object) {
        T* handle = object.get();
        auto entry = std::make_shared<Entry>(std::move(object));
        std::lock_guard guard(mutex_);
        live_.emplace(handle, std::move(entry));
        return handle;
    }

    // A lease on a live handle of this type, or an empty one.
    Lease lease(const void* handle) {
        if (handle == nullptr) return {};
        std::lock_guard guard(mutex_);
        auto it = live_.find(handle);
        if (it == live_.end()) return {};
        ++it->second->leases;
        return Lease(this, it->second);
    }

    // A lease that also holds the handle's turn, waiting for the call before it; empty when
    // the handle is not live or was retired while this call waited.
    Lease leaseExclusive(const void* handle) {
        Lease held = lease(handle);
        if (!held) return held;
        held.turn_ = std::unique_lock(held.entry_->turn);
        bool retired = false;
        {
            std::lock_guard guard(mutex_);
            retired = held.entry_->retired;
        }
        if (retired) return {};  // `held` gives back its turn and ends
        return held;
    }

    // Takes the handle out of the registry and waits until no call uses it any longer; null
    // when it was not live (never handed out, or retired already by another thread).
    std::unique_ptr<T> retire(const void* handle) {
        if (handle == nullptr) return nullptr;
        std::unique_lock guard(mutex_);
        auto it = live_.find(handle);
        if (it == live_.end()) return nullptr;
        std::shared_ptr<Entry> entry = std::move(it->second);
        live_.erase(it);
        entry->retired = true;
        idle_.wait(guard, [&] { return entry->leases == 0; });
        return std::move(entry->object);
    }

    // Retires, without waiting, every live handle whose object satisfies `pred` (which reads
    // only what does not change after the handle was made); each object is destroyed when the
    // last lease on it ends.
    template <class Pred>
    void retireWhere(Pred pred) {
        std::vector<std::shared_ptr<Entry>> gone;  // destroyed after the mutex is released
        std::lock_guard guard(mutex_);
        for (auto it = live_.begin(); it != live_.end();) {
            if (pred(static_cast<const T&>(*it->second->object))) {
                it->second->retired = true;
                gone.push_back(std::move(it->second));
                it = live_.erase(it);
            } else {
                ++it;
            }
        }
    }

  private:
    void retireEntry(Entry& entry) {
        std::lock_guard guard(mutex_);
        if (entry.retired) return;
        entry.retired = true;
        live_.erase(entry.object.get());
    }

    void endLease(Entry& entry) noexcept {
        std::lock_guard guard(mutex_);
        if (--entry.leases == 0) idle_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable idle_;
    std::unordered_map<const void*, std::shared_ptr<Entry>> live_;
};

}  // namespace tokenapi
