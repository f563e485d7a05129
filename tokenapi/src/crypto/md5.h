// MD5 (RFC 1321): digest identifiers 1 and 4, and the key that proves a PIN to the token.
#pragma once

#include <cstdint>
#include <span>

#include "evp_digest.h"

namespace tokenapi::crypto {

using Md5State = EvpDigestState<detail::EvpDigestKind::md5, 16>;

Md5State::Value md5(std::span<const std::uint8_t> data);
// Writes straight into the caller's buffer, e.g. a SecureBytes that will hold a PIN key.
void md5(std::span<const std::uint8_t> data, std::span<std::uint8_t, Md5State::kSize> out);

}  // namespace tokenapi::crypto
