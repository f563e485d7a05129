// PC/SC codes (0x8010xxxx) travel up as the transport's 32-bit results unchanged bit for bit.
#pragma once

#include <cstdint>

#include "pcsc_adapter.h"

namespace pcsclink {

inline std::int32_t toResult(pcsc::Long rv) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(rv));
}

}  // namespace pcsclink
