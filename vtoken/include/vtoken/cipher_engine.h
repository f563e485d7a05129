#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "vtoken/bytes.h"

namespace vtoken::cipher {

// The token's block ciphers by the algorithm code of the key load. Codes 02 and 03 stand for
// SSF33 and SM1, which are unpublished: the virtual token runs published ciphers with the
// same key and block lengths in their place (see docs/virtual-token.md).
struct Algorithm {
    std::uint8_t code;
    std::size_t keyLength;
    std::size_t blockLength;
    const char* name;  // what the token's cipher is, for people
};

inline constexpr std::size_t kInitialValueLength = 16;
using InitialValue = std::array<std::uint8_t, kInitialValueLength>;

// Null for a code the token does not know.
const Algorithm* algorithmFor(std::uint8_t code);

enum class Direction { Encrypt, Decrypt };

// Enciphers or deciphers `in` (a whole number of blocks) into `out` (as long as `in`): block
// by block (ECB), or, with an initial value, chained from it (CBC; an 8-byte block cipher
// chains from its first 8 bytes). Throws std::runtime_error when OpenSSL cannot.
void apply(const Algorithm& algorithm, ByteView key, const std::optional<InitialValue>& iv,
           Direction direction, ByteView in, std::span<std::uint8_t> out);

}  // namespace vtoken::cipher
