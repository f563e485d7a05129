// The service channel inside the test process: a byte vector and two auto-reset signals.
#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/service_channel.h"

namespace fake {

class MemoryChannel final : public platform::ServiceChannel {
  public:
    explicit MemoryChannel(std::size_t size) : ServiceChannel(size), memory_(size) {}

    bool read(std::size_t offset, std::span<std::uint8_t> out) override {
        std::lock_guard lock(mutex_);
        std::copy_n(memory_.begin() + offset, out.size(), out.begin());
        return true;
    }
    bool write(std::size_t offset, std::span<const std::uint8_t> bytes) override {
        std::lock_guard lock(mutex_);
        std::copy(bytes.begin(), bytes.end(), memory_.begin() + offset);
        return true;
    }
    bool signalRequest() override { return set(request_); }
    bool signalAnswer() override { return set(answer_); }
    platform::SignalWait waitRequest(std::optional<std::chrono::milliseconds> limit) override {
        return wait(request_, limit);
    }
    platform::SignalWait waitAnswer(std::optional<std::chrono::milliseconds> limit) override {
        return wait(answer_, limit);
    }

  private:
    bool set(bool& flag) {
        std::lock_guard lock(mutex_);
        flag = true;
        changed_.notify_all();
        return true;
    }
    platform::SignalWait wait(bool& flag, std::optional<std::chrono::milliseconds> limit) {
        std::unique_lock lock(mutex_);
        const auto ready = [&] { return flag; };
        if (limit) {
            if (!changed_.wait_for(lock, *limit, ready)) return platform::SignalWait::Timeout;
        } else {
            changed_.wait(lock, ready);
        }
        flag = false;
        return platform::SignalWait::Signalled;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::uint8_t> memory_;
    bool request_ = false;
    bool answer_ = false;
};

}  // namespace fake
