// SHA-1 (FIPS 180-1): digest identifiers 2 and 4.
#pragma once

#include <cstdint>
#include <span>

#include "evp_digest.h"

namespace tokenapi::crypto {

using Sha1State = EvpDigestState<detail::EvpDigestKind::sha1, 20>;

Sha1State::Value sha1(std::span<const std::uint8_t> data);
void sha1(std::span<const std::uint8_t> data, std::span<std::uint8_t, Sha1State::kSize> out);

}  // namespace tokenapi::crypto
