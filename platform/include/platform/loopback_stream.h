// A TCP connection to a port on this machine's loopback interface, with a time limit on every
// wait. The SD-card stand-in libraries reach their virtual cards this way; nothing else may be
// reached, so only numeric loopback addresses (127.x.x.x) and "localhost" are accepted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "platform/io_result.h"

namespace platform {

class LoopbackStream {
  public:
    // Connects within the limit; null when the address is not a loopback address or nothing
    // accepts there.
    static std::unique_ptr<LoopbackStream> connect(std::string_view host, std::uint16_t port,
                                                   std::chrono::milliseconds limit);

    virtual ~LoopbackStream() = default;

    virtual IoResult sendAll(std::span<const std::uint8_t> bytes,
                             std::chrono::milliseconds limit) = 0;
    // Fills `out` completely, continuing short reads, within the limit.
    virtual IoResult receiveExactly(std::span<std::uint8_t> out,
                                    std::chrono::milliseconds limit) = 0;
    // Waits at most `limit` for bytes to arrive, then takes what is there (at most out.size()).
    // Done with received > 0, or Timeout with received == 0.
    virtual IoResult receiveSome(std::span<std::uint8_t> out, std::size_t& received,
                                 std::chrono::milliseconds limit) = 0;

    LoopbackStream(const LoopbackStream&) = delete;
    LoopbackStream& operator=(const LoopbackStream&) = delete;

  protected:
    LoopbackStream() = default;
};

// The IPv4 address in host byte order when `host` names the loopback interface, else nothing.
std::optional<std::uint32_t> loopbackAddress(std::string_view host);

}  // namespace platform
