#include "md5.h"

namespace tokenapi::crypto {

void md5(std::span<const std::uint8_t> data, std::span<std::uint8_t, Md5State::kSize> out) {
    Md5State state;
    state.update(data);
    state.final(out);
}

Md5State::Value md5(std::span<const std::uint8_t> data) {
    Md5State::Value v;
    md5(data, v);
    return v;
}

}  // namespace tokenapi::crypto
