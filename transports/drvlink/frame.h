// The driver's wire frame: a 3-byte header in front of the command (0xA5 and its length) and of
// the reply (0x5A and its length), lengths 16-bit little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace drvlink {

inline constexpr std::uint8_t kCommandMark = 0xA5;
inline constexpr std::uint8_t kReplyMark = 0x5A;
inline constexpr std::size_t kHeaderSize = 3;
inline constexpr std::size_t kLargestCommand = 0xFFFF;
// Reply data and status word.
inline constexpr std::size_t kReceiveSize = 51200;

std::array<std::uint8_t, kHeaderSize> commandHeader(std::uint16_t length);

// The length a reply header announces, or nothing when it is not a reply header.
std::optional<std::uint16_t> replyLength(std::span<const std::uint8_t, kHeaderSize> header);

}  // namespace drvlink
