// Expected values of the cipher tests, computed by OpenSSL in the test itself: single DES and
// SM4, in ECB and CBC, with or without PKCS #5 padding.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace reference {

using Bytes = std::vector<uint8_t>;

enum class Cipher { Des, Sm4 };

// Encrypts (or decrypts) `data` under `key`: ECB without an initial value, CBC with one.
// Throws std::runtime_error when OpenSSL cannot, or refuses the data (wrong padding).
Bytes run(Cipher cipher, bool encrypt, const Bytes& key, const std::optional<Bytes>& iv,
          const Bytes& data, bool padding);

}  // namespace reference
