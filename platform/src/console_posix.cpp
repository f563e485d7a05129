#include "console_posix.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

// The controlling terminal itself, not stdin: the prompt must reach a person also when stdin
// or stdout are redirected.
class Terminal {
  public:
    Terminal() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)) {}
    ~Terminal() {
        if (fd_ >= 0) ::close(fd_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

void writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<size_t>(n));
    }
}

// Echo off for one scope, the previous settings back on every path.
class EchoOff {
  public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    bool active() const { return active_; }

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

}  // namespace

namespace detail {

SecretRead readSecretOn(int fd, std::string_view prompt, SecretText& secret) {
    secret.wipe();
    EchoOff quiet(fd);
    // Never read a secret with echo on.
    if (!quiet.active()) return SecretRead::NoTerminal;
    writeAll(fd, prompt);
    const auto next = [fd]() -> std::optional<char> {
        for (;;) {
            char c = 0;
            const ssize_t n = ::read(fd, &c, 1);
            if (n == 1) return c;
            if (n < 0 && errno == EINTR) continue;
            return std::nullopt;
        }
    };
    std::size_t length = 0;
    const SecretRead outcome = collectSecretLine(next, secret.storage(), length);
    secret.setSize(outcome == SecretRead::Read ? length : 0);
    return outcome;
}

}  // namespace detail

SecretRead readSecret(std::string_view prompt, SecretText& secret) {
    secret.wipe();
    Terminal tty;
    if (tty.fd() < 0) return SecretRead::NoTerminal;
    return detail::readSecretOn(tty.fd(), prompt, secret);
}

void useBinaryStandardStreams() {}

}  // namespace platform
