#pragma once

#include <string_view>

#include "vtoken/server.h"

namespace vtoken {

// A front-end from its text, "FRAMER:LINK:ADDRESS":
//   vpcd:connect:127.0.0.1:35963    connect to HOST:PORT
//   NAME:listen:127.0.0.1:4000      listen on HOST:PORT (port 0: any free one)
//   NAME:pty:/run/user/1000/token   a pseudo-terminal reached through that path
// Throws std::invalid_argument with a message naming what is wrong.
FrontEnd makeFrontEnd(std::string_view spec, Backoff backoff = {});

// HOST:PORT (the last colon splits, so that an IPv6 host keeps its own colons).
struct HostPort {
    std::string host;
    std::uint16_t port = 0;
};
HostPort parseHostPort(std::string_view text, bool portZeroAllowed);  // std::invalid_argument

}  // namespace vtoken
