#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vtoken/bytes.h"

namespace vtoken {

// Hands out ordinary memory and wipes it before giving it back, also when a vector grows and
// moves its bytes elsewhere.
template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <typename U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

// Bytes that must not outlive their use: private key components, cipher keys, plaintext.
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

inline SecretBytes secretCopy(ByteView bytes) {
    return SecretBytes(bytes.begin(), bytes.end());
}

inline ByteView view(const SecretBytes& bytes) {
    return ByteView(bytes.data(), bytes.size());
}

}  // namespace vtoken
