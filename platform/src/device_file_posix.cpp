// Device files on POSIX: a non-blocking descriptor and poll() for every wait. A terminal (the
// virtual token's pseudo-terminal) reads as end of file or EIO once its other side is gone.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "platform/device_file.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// 1 ready, 0 time-out, -1 failure; a hang-up counts as ready (the read or write then says so).
int waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int ms =
            left.count() <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left.count(), 1 << 30));
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, ms);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        return n == 0 ? 0 : 1;
    }
}

bool gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE;
}

class PosixDeviceFile final : public DeviceFile {
  public:
    explicit PosixDeviceFile(int fd) : fd_(fd) {}
    ~PosixDeviceFile() override { ::close(fd_); }

    IoResult writeAll(std::span<const std::uint8_t> bytes,
                      std::chrono::milliseconds limit) override {
        const auto deadline = Clock::now() + limit;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
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
            return n < 0 && gone(errno) ? IoResult::Closed : IoResult::Failed;
        }
        return IoResult::Done;
    }

    IoResult readExactly(std::span<std::uint8_t> out, std::chrono::milliseconds limit) override {
        const auto deadline = Clock::now() + limit;
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::read(fd_, out.data() + done, out.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n == 0) return IoResult::Closed;
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return gone(errno) ? IoResult::Closed : IoResult::Failed;
            }
            const int w = waitFor(fd_, POLLIN, deadline);
            if (w == 0) return IoResult::Timeout;
            if (w < 0) return IoResult::Failed;
        }
        return IoResult::Done;
    }

  private:
    int fd_;
};

}  // namespace

std::unique_ptr<DeviceFile> DeviceFile::open(const std::string& path) {
    // Never the caller's controlling terminal, even when the device is one.
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    return std::make_unique<PosixDeviceFile>(fd);
}

}  // namespace platform
