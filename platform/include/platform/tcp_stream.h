// A TCP connection on the loopback network, for test stand-ins that the programs reach over
// loopback (a virtual token posing as a disk): whole messages out, exact byte counts in.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace platform {

class TcpStream {
  public:
    // Connects to host:port with Nagle off; a peer that stalls longer than `ioLimit` in the
    // middle of a read counts as gone. Null when it cannot connect.
    static std::unique_ptr<TcpStream> connect(const std::string& host, std::uint16_t port,
                                              std::chrono::milliseconds ioLimit);
    virtual ~TcpStream() = default;
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    virtual bool sendAll(std::span<const std::uint8_t> bytes) = 0;
    // False when the peer closed, failed or stalled before all bytes came.
    virtual bool receiveExactly(std::span<std::uint8_t> out) = 0;

  protected:
    TcpStream() = default;
};

}  // namespace platform
