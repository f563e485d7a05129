#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tokenapi {

// Two lower-case hexadecimal digits per byte, as the token's serial number and ATR are shown.
inline std::string toHexLower(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

}  // namespace tokenapi
