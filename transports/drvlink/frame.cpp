#include "frame.h"

namespace drvlink {

std::array<std::uint8_t, kHeaderSize> commandHeader(std::uint16_t length) {
    return {kCommandMark, static_cast<std::uint8_t>(length & 0xFF),
            static_cast<std::uint8_t>(length >> 8)};
}

std::optional<std::uint16_t> replyLength(std::span<const std::uint8_t, kHeaderSize> header) {
    if (header[0] != kReplyMark) return std::nullopt;
    return static_cast<std::uint16_t>(header[1] | header[2] << 8);
}

}  // namespace drvlink
