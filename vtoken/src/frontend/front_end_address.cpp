#include "vtoken/front_end_address.h"

#include <charconv>
#include <stdexcept>
#include <string>

namespace vtoken {

HostPort parseHostPort(std::string_view text, bool portZeroAllowed) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        throw std::invalid_argument("expected HOST:PORT, got '" + std::string(text) + "'");
    }
    const std::string_view portText = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), value);
    if (error != std::errc{} || end != portText.data() + portText.size() || value > 65535 ||
        (value == 0 && !portZeroAllowed)) {
        throw std::invalid_argument("bad port in '" + std::string(text) + "'");
    }
    return {std::string(text.substr(0, colon)), static_cast<std::uint16_t>(value)};
}

FrontEnd makeFrontEnd(std::string_view spec, Backoff backoff) {
    const std::size_t first = spec.find(':');
    const std::size_t second = first == std::string_view::npos ? first : spec.find(':', first + 1);
    if (second == std::string_view::npos) {
        throw std::invalid_argument("expected FRAMER:LINK:ADDRESS, got '" + std::string(spec) +
                                    "'");
    }
    const std::string_view link = spec.substr(first + 1, second - first - 1);
    const std::string_view address = spec.substr(second + 1);
    FrontEnd frontEnd;
    frontEnd.framer = makeFramer(spec.substr(0, first));
    if (link == "connect") {
        HostPort target = parseHostPort(address, false);
        frontEnd.link = makeConnectLink(std::move(target.host), target.port, backoff);
    } else if (link == "listen") {
        HostPort local = parseHostPort(address, true);
        frontEnd.link = makeListenLink(std::move(local.host), local.port);
    } else if (link == "pty") {
        if (address.empty()) throw std::invalid_argument("pty needs a path");
        frontEnd.link = makePtyLink(std::filesystem::path(address));
    } else {
        throw std::invalid_argument("unknown link '" + std::string(link) +
                                    "' (known: connect, listen, pty)");
    }
    return frontEnd;
}

}  // namespace vtoken
