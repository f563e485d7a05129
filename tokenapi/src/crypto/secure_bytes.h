// Buffers for keys, PINs and intermediate cipher blocks: their contents must not linger in
// freed memory or on the stack after use, where a later allocation or a crash dump could
// reveal them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tokenapi::crypto {

// Overwrites the bytes with zeros in a way the optimiser cannot drop (OPENSSL_cleanse).
void secureWipe(void* data, std::size_t size) noexcept;
inline void secureWipe(std::span<std::uint8_t> bytes) noexcept {
    secureWipe(bytes.data(), bytes.size());
}

// Wipes every block before handing it back, so that a vector's old buffer is cleared also
// when it grows and moves its contents elsewhere, not only at destruction. `Base` does the
// allocating (a test puts one there that looks at each block as it comes back).
template <class T, class Base = std::allocator<T>>
struct WipingAllocator {
    using value_type = T;
    template <class U>
    struct rebind {
        using other =
            WipingAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
    };

    WipingAllocator() = default;
    template <class U, class B>
    constexpr WipingAllocator(const WipingAllocator<U, B>&) noexcept {}

    T* allocate(std::size_t n) { return Base{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        secureWipe(p, n * sizeof(T));
        Base{}.deallocate(p, n);
    }

    template <class U, class B>
    bool operator==(const WipingAllocator<U, B>&) const noexcept {
        return true;
    }
};

// A byte vector whose storage is wiped when released. A vector rather than a string: a
// string keeps short contents inside the object, outside the allocator's reach.
using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// Wipes a fixed buffer (a stack array, a member) when the scope ends, on every path.
class WipeGuard {
  public:
    explicit WipeGuard(std::span<std::uint8_t> bytes) noexcept : bytes_(bytes) {}
    ~WipeGuard() { secureWipe(bytes_); }
    WipeGuard(const WipeGuard&) = delete;
    WipeGuard& operator=(const WipeGuard&) = delete;

  private:
    std::span<std::uint8_t> bytes_;
};

}  // namespace tokenapi::crypto
