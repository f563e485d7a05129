// Bytes that must not outlive their use (a cipher key, deciphered data): wiped when they go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tokenctl {

inline void wipeBytes(std::span<uint8_t> bytes) {
    volatile uint8_t* p = bytes.data();
    for (size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
}

class SecretBuffer {
  public:
    SecretBuffer() = default;
    explicit SecretBuffer(size_t size) : bytes_(size) {}
    explicit SecretBuffer(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    ~SecretBuffer() { wipeBytes(bytes_); }
    SecretBuffer(SecretBuffer&& other) noexcept : bytes_(std::move(other.bytes_)) {}
    SecretBuffer& operator=(SecretBuffer&&) = delete;
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    size_t size() const { return bytes_.size(); }
    std::span<uint8_t> span() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

}  // namespace tokenctl
