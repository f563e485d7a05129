#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "platform/tcp_stream.h"

namespace platform {
namespace {

// Winsock is started once per process and left running: it is torn down with the process.
bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

class WinStream final : public TcpStream {
  public:
    explicit WinStream(SOCKET s) : s_(s) {}
    ~WinStream() override { ::closesocket(s_); }

    bool sendAll(std::span<const std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const int n = ::send(s_, reinterpret_cast<const char*>(bytes.data() + done),
                                 static_cast<int>(bytes.size() - done), 0);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool receiveExactly(std::span<std::uint8_t> out) override {
        std::size_t done = 0;
        while (done < out.size()) {
            const int n = ::recv(s_, reinterpret_cast<char*>(out.data() + done),
                                 static_cast<int>(out.size() - done), 0);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

  private:
    SOCKET s_;
};

}  // namespace

std::unique_ptr<TcpStream> TcpStream::connect(const std::string& host, std::uint16_t port,
                                              std::chrono::milliseconds ioLimit) {
    if (!startWinsock()) return nullptr;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return nullptr;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    for (addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        auto stream = std::make_unique<WinStream>(s);
        if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) continue;
        const BOOL one = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        const DWORD limit = static_cast<DWORD>(ioLimit.count());
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                     sizeof limit);
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
                     sizeof limit);
        return stream;
    }
    return nullptr;
}

}  // namespace platform
