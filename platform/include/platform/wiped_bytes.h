// Bytes that may be secret (a token's reply can carry deciphered data or key material), in a
// buffer of fixed size that is wiped before its memory goes back to the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "platform/secure_wipe.h"

namespace platform {

class WipedBytes {
  public:
    WipedBytes() = default;
    explicit WipedBytes(std::size_t size)
        : bytes_(size ? std::make_unique_for_overwrite<std::uint8_t[]>(size) : nullptr),
          size_(size) {}
    ~WipedBytes() { wipe(); }
    WipedBytes(WipedBytes&& other) noexcept
        : bytes_(std::move(other.bytes_)), size_(std::exchange(other.size_, 0)) {}
    WipedBytes& operator=(WipedBytes&& other) noexcept {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;

    std::uint8_t* data() { return bytes_.get(); }
    const std::uint8_t* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }
    std::span<std::uint8_t> span() { return {bytes_.get(), size_}; }
    std::span<const std::uint8_t> span() const { return {bytes_.get(), size_}; }

  private:
    void wipe() noexcept {
        if (bytes_) secureWipe(bytes_.get(), size_);
    }
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

}  // namespace platform
