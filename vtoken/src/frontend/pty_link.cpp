#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "socket_io.h"
#include "vtoken/link.h"
#include "vtoken/unique_fd.h"

namespace vtoken {

namespace {

constexpr std::chrono::seconds kSendLimit{2};

class PtyLink : public Link {
  public:
    explicit PtyLink(std::filesystem::path path) : path_(std::move(path)) {}
    ~PtyLink() override { removePath(); }

    void open() override {
        UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
        if (!master) io::throwErrno("cannot open a pseudo-terminal");
        if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
            io::throwErrno("cannot unlock the pseudo-terminal");
        }
        char name[128];
        if (::ptsname_r(master.get(), name, sizeof name) != 0) io::throwErrno("ptsname");
        // The card keeps the device side open itself: the terminal's settings stay as set here
        // and the card side never sees a hang-up between hosts.
        UniqueFd device(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!device) io::throwErrno(std::string("cannot open ") + name);
        termios raw{};
        if (::tcgetattr(device.get(), &raw) != 0) io::throwErrno("tcgetattr");
        ::cfmakeraw(&raw);
        if (::tcsetattr(device.get(), TCSANOW, &raw) != 0) io::throwErrno("tcsetattr");

        std::error_code ignored;
        std::filesystem::remove(path_, ignored);  // a link left by an earlier run
        std::filesystem::create_symlink(name, path_);
        master_ = std::move(master);
        device_ = std::move(device);
        pulled_ = false;
    }

    int descriptor() const override { return master_ ? master_.get() : -1; }

    LinkEvent service() override {
        if (!master_) return {};
        io::ReadResult read = io::readSome(master_.get());
        if (read.kind != io::ReadResult::Kind::Data) return {};
        // A host asks, then reads the answer before it asks again. A reply still unread when
        // new bytes come was left by a host that gave up: the next host must not read it.
        ::tcflush(device_.get(), TCIFLUSH);
        return {LinkEvent::Kind::Data, std::move(read.data)};
    }

    bool send(ByteView bytes) override {
        if (!master_) return false;
        // The master is non-blocking so that reads never stall the loop. A large reply can fill
        // the terminal's buffer: wait for the host to make room, but not for ever.
        const auto giveUp = LinkClock::now() + kSendLimit;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(giveUp - LinkClock::now());
            if (n < 0 && errno == EAGAIN && left.count() > 0) {
                pollfd room{master_.get(), POLLOUT, 0};
                ::poll(&room, 1, static_cast<int>(left.count()));
                continue;
            }
            return false;
        }
        return true;
    }

    // A terminal has no connection to end: what the host sent and what waits for it go.
    void dropHost() override {
        if (device_) ::tcflush(device_.get(), TCIOFLUSH);
        if (master_) ::tcflush(master_.get(), TCIOFLUSH);
    }

    void pull() override {
        removePath();
        device_.reset();
        master_.reset();
        pulled_ = true;
    }
    void reinsert() override {
        if (pulled_) open();
    }
    bool hostLossPowersOff() const override { return false; }
    std::string describe() const override { return "pty " + path_.string(); }

  private:
    void removePath() {
        std::error_code ignored;
        if (master_) std::filesystem::remove(path_, ignored);
    }

    std::filesystem::path path_;
    UniqueFd master_;
    UniqueFd device_;
    bool pulled_ = false;
};

}  // namespace

std::unique_ptr<Link> makePtyLink(std::filesystem::path link) {
    return std::make_unique<PtyLink>(std::move(link));
}

}  // namespace vtoken
