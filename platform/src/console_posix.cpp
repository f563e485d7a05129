#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/console.h"

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
    void write(std::string_view text) const {
        while (!text.empty()) {
            const ssize_t n = ::write(fd_, text.data(), text.size());
            if (n <= 0) return;
            text.remove_prefix(static_cast<size_t>(n));
        }
    }

  private:
    int fd_;
};

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

std::optional<std::string> readSecret(std::string_view prompt) {
    Terminal tty;
    if (tty.fd() < 0) return std::nullopt;
    EchoOff quiet(tty.fd());
    // Never read a secret with echo on.
    if (!quiet.active()) return std::nullopt;
    tty.write(prompt);
    std::string line;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(tty.fd(), &c, 1);
        if (n <= 0) return std::nullopt;
        if (c == '\n') break;
        if (c != '\r') line.push_back(c);
    }
    return line;
}

}  // namespace platform
