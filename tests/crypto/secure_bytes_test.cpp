#include "crypto/secure_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace crypto_test {
namespace {

using tokenapi::crypto::WipeGuard;

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
