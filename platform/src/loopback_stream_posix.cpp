// Loopback TCP on POSIX: a non-blocking socket and poll() for every wait.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/loopback_stream.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
}

// Waits for `events` until the deadline: 1 ready, 0 time-out, -1 failure.
int waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, remainingMs(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        return n == 0 ? 0 : 1;
    }
}

class PosixLoopbackStream final : public LoopbackStream {
  public:
    explicit PosixLoopbackStream(int fd) : fd_(fd) {}
    ~PosixLoopbackStream() override { ::close(fd_); }

    IoResult sendAll(std::span<const std::uint8_t> bytes,
                     std::chrono::milliseconds limit) override {
        const auto deadline = Clock::now() + limit;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                const int w = waitFor(fd_, POLLOUT, deadline);
                if (w == 0) return IoResult::Timeout;
                if (w < 0) return IoResult::Failed;
                continue;
            }
            return errno == EPIPE || errno == ECONNRESET ? IoResult::Closed : IoResult::Failed;
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
            // The peer writes header and payload separately; a delayed ACK would cost tens of
            // milliseconds per message.
            const int one = 1;
            ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            const ssize_t n = ::recv(fd_, out.data(), out.size(), 0);
            if (n > 0) {
                received = static_cast<std::size_t>(n);
                return IoResult::Done;
            }
            if (n == 0) return IoResult::Closed;
            if (errno == EINTR) continue;
            if (errno == ECONNRESET) return IoResult::Closed;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return IoResult::Failed;
            const int w = waitFor(fd_, POLLIN, deadline);
            if (w == 0) return IoResult::Timeout;
            if (w < 0) return IoResult::Failed;
        }
    }

    int fd_;
};

}  // namespace

std::unique_ptr<LoopbackStream> LoopbackStream::connect(std::string_view host, std::uint16_t port,
                                                        std::chrono::milliseconds limit) {
    const std::optional<std::uint32_t> address = loopbackAddress(host);
    if (!address || port == 0) return nullptr;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return nullptr;
    auto stream = std::make_unique<PosixLoopbackStream>(fd);

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(*address);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS) return nullptr;
        if (waitFor(fd, POLLOUT, Clock::now() + limit) != 1) return nullptr;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return nullptr;
        }
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return stream;
}

}  // namespace platform
