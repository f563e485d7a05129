#include "cipher_padding.h"

namespace tokenapi::cipher {

std::optional<size_t> paddingOf(std::span<const uint8_t> lastBlock) {
    const size_t b = lastBlock.size();
    if (b == 0) return std::nullopt;
    const unsigned p = lastBlock[b - 1];
    // Every byte is looked at; `bad` collects a mismatch wherever it is.
    unsigned bad = static_cast<unsigned>(p == 0) | static_cast<unsigned>(p > b);
    for (size_t i = 0; i < b; ++i) {
        const unsigned inPadding = static_cast<unsigned>(b - i <= p);
        bad |= inPadding & static_cast<unsigned>(lastBlock[i] != p);
    }
    if (bad != 0) return std::nullopt;
    return p;
}

}  // namespace tokenapi::cipher
