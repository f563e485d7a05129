#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vtoken {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Upper-case hexadecimal without separators: the form the trace and the fault prefixes use.
std::string toHex(ByteView bytes);

// Accepts either case; nullopt for odd length or a non-hex character.
std::optional<Bytes> fromHex(std::string_view text);

inline std::uint16_t readU16(ByteView bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

inline void putU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

}  // namespace vtoken
