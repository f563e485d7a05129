// The handles a stand-in library handed out. A pointer that is not among them (closed already,
// never handed out) is refused instead of being used.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

namespace standin {

template <typename T>
class HandleRegistry {
  public:
    void* add(std::unique_ptr<T> object) {
        std::lock_guard guard(mutex_);
        void* key = object.get();
        objects_.emplace(key, std::move(object));
        return key;
    }
    // The object, kept alive for the caller even if another thread removes it meanwhile.
    std::shared_ptr<T> find(void* handle) {
        std::lock_guard guard(mutex_);
        const auto it = objects_.find(handle);
        return it == objects_.end() ? nullptr : it->second;
    }
    bool remove(void* handle) {
        std::shared_ptr<T> gone;
        std::lock_guard guard(mutex_);
        const auto it = objects_.find(handle);
        if (it == objects_.end()) return false;
        gone = std::move(it->second);
        objects_.erase(it);
        return true;
    }

  private:
    std::mutex mutex_;
    std::unordered_map<void*, std::shared_ptr<T>> objects_;
};

}  // namespace standin
