#include "sha1.h"

namespace tokenapi::crypto {

void sha1(std::span<const std::uint8_t> data, std::span<std::uint8_t, Sha1State::kSize> out) {
    Sha1State state;
    state.update(data);
    state.final(out);
}

Sha1State::Value sha1(std::span<const std::uint8_t> data) {
    Sha1State::Value v;
    sha1(data, v);
    return v;
}

}  // namespace tokenapi::crypto
