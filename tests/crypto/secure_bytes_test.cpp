#include "crypto/secure_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace crypto_test {
namespace {

using tokenapi::crypto::WipeGuard;
using tokenapi::crypto::WipingAllocator;

using Block = std::vector<std::uint8_t>;

// Every block handed back to the heap, as it was at that moment.
std::vector<Block>& returnedBlocks() {
    static std::vector<Block> blocks;
    return blocks;
}

// Allocates like std::allocator and copies each block as it comes back, so that a test can see
// what freed memory would have held.
template <class T>
struct Inspecting {
    using value_type = T;
    Inspecting() = default;
    template <class U>
    Inspecting(const Inspecting<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(p);
        returnedBlocks().emplace_back(bytes, bytes + n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <class U>
    bool operator==(const Inspecting<U>&) const noexcept {
        return true;
    }
};

bool allZero(const Block& b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
}

TEST(WipingAllocator, EveryBlockIsClearedBeforeItGoesBackAlsoWhenTheVectorGrows) {
    // Without wiping, the inspection does see the secret in the freed block.
    returnedBlocks().clear();
    { std::vector<std::uint8_t, Inspecting<std::uint8_t>> plain(32, 0xA5); }
    ASSERT_EQ(returnedBlocks().size(), 1u);
    EXPECT_EQ(returnedBlocks()[0], Block(32, 0xA5));

    returnedBlocks().clear();
    {
        std::vector<std::uint8_t, WipingAllocator<std::uint8_t, Inspecting<std::uint8_t>>> secret(
            32, 0xA5);
        secret.resize(secret.capacity() + 1, 0x5A);  // moves to a larger block
        ASSERT_EQ(returnedBlocks().size(), 1u) << "the first block went back as it grew";
        EXPECT_EQ(secret[0], 0xA5);
    }
    ASSERT_EQ(returnedBlocks().size(), 2u);
    for (const Block& b : returnedBlocks()) {
        EXPECT_GE(b.size(), 32u);
        EXPECT_TRUE(allZero(b));
    }
}

TEST(WipeGuard, ClearsTheBufferOnEveryWayOutOfTheScope) {
    std::array<std::uint8_t, 24> secret;
    secret.fill(0xA5);
    {
        WipeGuard guard(secret);
        EXPECT_EQ(secret[0], 0xA5);  // untouched while the scope lasts
    }
    EXPECT_TRUE(std::all_of(secret.begin(), secret.end(), [](std::uint8_t b) { return b == 0; }));

    secret.fill(0x5A);
    try {
        WipeGuard guard(secret);
        throw 1;
    } catch (int) {
    }
    EXPECT_TRUE(std::all_of(secret.begin(), secret.end(), [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace crypto_test
