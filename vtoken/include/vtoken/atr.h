#pragma once

#include <array>

#include "vtoken/bytes.h"
#include "vtoken/token_state.h"

namespace vtoken {

// 3B 8C 80 01, historical bytes "VT" and the serial, TCK. TD1/TD2 offer T=1 only, and the
// serial in the historical bytes gives every token its own ATR (hosts name locks after it).
Bytes makeAtr(const std::array<std::uint8_t, kSerialLength>& serial);

}  // namespace vtoken
