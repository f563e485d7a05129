#include "socket_io.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

namespace vtoken::io {

bool sendAll(int fd, ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, ByteView bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

ReadResult readSome(int fd) {
    std::array<std::uint8_t, 65536> chunk;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n > 0) {
            return {ReadResult::Kind::Data,
                    Bytes(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n))};
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return {ReadResult::Kind::Nothing, {}};
        }
        return {ReadResult::Kind::Closed, {}};
    }
}

ReadResult readSomeTcp(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    return readSome(fd);
}

}  // namespace vtoken::io
