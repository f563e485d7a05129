// PKCS #5 padding of the symmetric calls: p bytes of value p fill the last block, with a whole
// block of padding when the data already ends on a block boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tokenapi::cipher {

// 1 to blockLength.
inline size_t padLength(size_t dataLength, size_t blockLength) {
    return blockLength - dataLength % blockLength;
}

// The padding length p that the last deciphered block carries, or nothing when its last byte
// is not 1 to the block length or the p - 1 bytes before it are not all p. The time taken
// does not depend on where the padding is wrong, so the check tells nothing about the
// deciphered bytes beyond the one answer.
std::optional<size_t> paddingOf(std::span<const uint8_t> lastBlock);

}  // namespace tokenapi::cipher
