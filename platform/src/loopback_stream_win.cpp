// Loopback TCP on Windows: a non-blocking Winsock socket and select() for every wait.
// clang-format off: winsock2.h must come before windows.h
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <algorithm>
#include <mutex>

#include "platform/loopback_stream.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Winsock is started once per process and left running: a library cannot know whether its
// host still needs it when it would clean up.
bool winsockReady() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        WSADATA data;
        ready = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return ready;
}

timeval remaining(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline - Clock::now());
    const long long us = std::max<long long>(0, std::min<long long>(left.count(), 1LL << 40));
    return timeval{static_cast<long>(us / 1000000), static_cast<long>(us % 1000000)};
}

// 1 ready, 0 time-out, -1 failure.
int waitFor(SOCKET s, bool forWrite, Clock::time_point deadline) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(s, &errors);
    timeval limit = remaining(deadline);
    const int n =
        ::select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &errors, &limit);
    if (n == SOCKET_ERROR) return -1;
    if (n == 0) return 0;
    return FD_ISSET(s, &errors) && !FD_ISSET(s, &set) ? -1 : 1;
}

bool closedBy(int error) {
    return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN;
}

class WinLoopbackStream final : public LoopbackStream {
  public:
    explicit WinLoopbackStream(SOCKET s) : socket_(s) {}
    ~WinLoopbackStream() override { ::closesocket(socket_); }

    IoResult sendAll(std::span<const std::uint8_t> bytes,
                     std::chrono::milliseconds limit) override {
        const auto deadline = Clock::now() + limit;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
            const int n =
                ::send(socket_, reinterpret_cast<const char*>(bytes.data() + done), chunk, 0);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            const int error = ::WSAGetLastError();
            if (error != WSAEWOULDBLOCK)
                return closedBy(error) ? IoResult::Closed : IoResult::Failed;
            const int w = waitFor(socket_, true, deadline);
            if (w == 0) return IoResult::Timeout;
            if (w < 0) return IoResult::Failed;
        }
        return IoResult::Done;
    }

    IoResult receiveExactly(std::span<std::uint8_t> out, std::chrono::milliseconds limit) override {
        const auto deadline = Clock::now() + limit;
        std::size_t done = 0;
        while (done < out.size()) {
            std::size_t got = 0;
            const IoResult r = receiveUntil(out.subspan(done), got, deadline);
            if (r != IoResult::Done) return r;
            done += got;
        }
        return IoResult::Done;
    }

    IoResult receiveSome(std::span<std::uint8_t> out, std::size_t& received,
                         std::chrono::milliseconds limit) override {
        received = 0;
        if (out.empty()) return IoResult::Done;
        return receiveUntil(out, received, Clock::now() + limit);
    }

  private:
    IoResult receiveUntil(std::span<std::uint8_t> out, std::size_t& received,
                          Clock::time_point deadline) {
        for (;;) {
            const int chunk = static_cast<int>(std::min<std::size_t>(out.size(), 1 << 20));
            const int n = ::recv(socket_, reinterpret_cast<char*>(out.data()), chunk, 0);
            if (n > 0) {
                received = static_cast<std::size_t>(n);
                return IoResult::Done;
            }
            if (n == 0) return IoResult::Closed;
            const int error = ::WSAGetLastError();
            if (error != WSAEWOULDBLOCK)
                return closedBy(error) ? IoResult::Closed : IoResult::Failed;
            const int w = waitFor(socket_, false, deadline);
            if (w == 0) return IoResult::Timeout;
            if (w < 0) return IoResult::Failed;
        }
    }

    SOCKET socket_;
};

}  // namespace

std::unique_ptr<LoopbackStream> LoopbackStream::connect(std::string_view host, std::uint16_t port,
                                                        std::chrono::milliseconds limit) {
    const std::optional<std::uint32_t> address = loopbackAddress(host);
    if (!address || port == 0 || !winsockReady()) return nullptr;
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return nullptr;
    auto stream = std::make_unique<WinLoopbackStream>(s);
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) return nullptr;

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(*address);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        if (::WSAGetLastError() != WSAEWOULDBLOCK) return nullptr;
        if (waitFor(s, true, Clock::now() + limit) != 1) return nullptr;
        int error = 0;
        int length = sizeof error;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
            error != 0) {
            return nullptr;
        }
    }
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return stream;
}

}  // namespace platform
