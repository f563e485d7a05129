// The 10-byte vendor SCSI command block that carries the token's commands and answers.
#pragma once

#include <array>
#include <cstdint>

#include "device_io.h"

namespace diskgate {

inline constexpr std::size_t kVendorBlockLength = 10;
// The most a block can announce: its length field has 16 bits.
inline constexpr std::size_t kMaxVendorTransfer = 0xFFFF;

// FF "QXKEY" direction length-low length-high FF: the length is little-endian, the reverse
// of the usual SCSI order.
constexpr std::array<std::uint8_t, kVendorBlockLength> vendorCommandBlock(Direction direction,
                                                                          std::uint16_t length) {
    return {0xFF,
            'Q',
            'X',
            'K',
            'E',
            'Y',
            static_cast<std::uint8_t>(direction),
            static_cast<std::uint8_t>(length & 0xFF),
            static_cast<std::uint8_t>(length >> 8),
            0xFF};
}

// Pass-throughs wait this long for the device before the system gives up.
inline constexpr std::uint32_t kPassThroughTimeoutSeconds = 2000;

}  // namespace diskgate
