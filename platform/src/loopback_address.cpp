#include <charconv>

#include "platform/loopback_stream.h"

namespace platform {

std::optional<std::uint32_t> loopbackAddress(std::string_view host) {
    if (host == "localhost") return 0x7F000001u;
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (host.empty() || host.front() != '.') return std::nullopt;
            host.remove_prefix(1);
        }
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(host.data(), host.data() + host.size(), value);
        const std::size_t used = static_cast<std::size_t>(end - host.data());
        if (ec != std::errc{} || used == 0 || used > 3 || value > 255) return std::nullopt;
        host.remove_prefix(used);
        address = address << 8 | value;
    }
    if (!host.empty() || (address >> 24) != 127) return std::nullopt;
    return address;
}

}  // namespace platform
