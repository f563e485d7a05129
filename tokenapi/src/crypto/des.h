// DES (FIPS 46-3) and two-key triple DES (ANSI X9.52, E(K1) D(K2) E(K1)) on single 8-byte
// blocks, no chaining: the PIN proof enciphers one challenge block under MD5(PIN).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tokenapi::crypto {

inline constexpr std::size_t kDesBlockSize = 8;
inline constexpr std::size_t kDesKeySize = 8;         // single DES
inline constexpr std::size_t kTripleDesKeySize = 16;  // K1 then K2

// The key length decides the cipher: 8 bytes single DES, 16 bytes two-key triple DES.
// Parity bits are ignored. in and out may be the same buffer. Returns false, leaving out
// untouched, for any other key length or when OpenSSL cannot provide the cipher.
[[nodiscard]] bool desEncryptBlock(std::span<const std::uint8_t> key,
                                   std::span<const std::uint8_t, kDesBlockSize> in,
                                   std::span<std::uint8_t, kDesBlockSize> out);

// The inverse: single DES decryption, or D(K1) E(K2) D(K1) for a 16-byte key.
[[nodiscard]] bool desDecryptBlock(std::span<const std::uint8_t> key,
                                   std::span<const std::uint8_t, kDesBlockSize> in,
                                   std::span<std::uint8_t, kDesBlockSize> out);

}  // namespace tokenapi::crypto
