#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/tcp_stream.h"

namespace platform {
namespace {

class PosixStream final : public TcpStream {
  public:
    explicit PosixStream(int fd) : fd_(fd) {}
    ~PosixStream() override { ::close(fd_); }

    bool sendAll(std::span<const std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool receiveExactly(std::span<std::uint8_t> out) override {
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::recv(fd_, out.data() + done, out.size() - done, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

  private:
    int fd_;
};

}  // namespace

std::unique_ptr<TcpStream> TcpStream::connect(const std::string& host, std::uint16_t port,
                                              std::chrono::milliseconds ioLimit) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return nullptr;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    for (addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        auto stream = std::make_unique<PosixStream>(fd);
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval limit{};
        limit.tv_sec = static_cast<time_t>(ioLimit.count() / 1000);
        limit.tv_usec = static_cast<suseconds_t>((ioLimit.count() % 1000) * 1000);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        return stream;
    }
    return nullptr;
}

}  // namespace platform
