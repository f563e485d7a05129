#include "vtoken/server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <system_error>

#include "vtoken/unique_fd.h"

namespace vtoken {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxControlLine = 4096;
constexpr std::uint8_t kPowerOff = 0x00;
constexpr std::uint8_t kPowerOn = 0x01;
constexpr std::uint8_t kReset = 0x02;
constexpr std::uint8_t kGetAtr = 0x04;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

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

// vpcd writes the length and the payload separately; without QUICKACK before every read
// the delayed ACK costs tens of milliseconds per message.
bool receiveExactly(int fd, std::uint8_t* out, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        const ssize_t n = ::recv(fd, out + done, length - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

UniqueFd connectTcp(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return {};
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
    for (addrinfo* a = list.get(); a; a = a->ai_next) {
        UniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd) continue;
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) continue;
        const int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A peer that stalls in the middle of a message counts as gone.
        timeval timeout{2, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return fd;
    }
    return {};
}

UniqueFd listenUnix(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) {
        throw std::system_error(std::make_error_code(std::errc::filename_too_long),
                                "control socket path " + text);
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    ::unlink(text.c_str());  // a socket left by a killed run
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) throwErrno("control socket");
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throwErrno("cannot bind control socket " + text);
    }
    if (::listen(fd.get(), 8) != 0) throwErrno("cannot listen on control socket " + text);
    return fd;
}

}  // namespace

struct Server::Impl {
    enum class Link { Waiting, Connected, Pulled };

    struct ControlClient {
        UniqueFd fd;
        std::string buffer;
    };

    CardSession& session;
    ServerOptions options;
    UniqueFd stopEvent;
    UniqueFd control;
    std::list<ControlClient> clients;
    UniqueFd vpcd;
    Link link = Link::Waiting;
    Clock::time_point nextAttempt = Clock::now();
    std::chrono::milliseconds backoff;

    Impl(CardSession& s, ServerOptions o)
        : session(s), options(std::move(o)), backoff(options.firstBackoff) {
        stopEvent = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!stopEvent) throwErrno("eventfd");
        if (options.controlSocket) control = listenUnix(*options.controlSocket);
    }

    ~Impl() {
        if (options.controlSocket && control) ::unlink(options.controlSocket->c_str());
    }

    void tryConnect() {
        vpcd = connectTcp(options.vpcdHost, options.vpcdPort);
        if (vpcd) {
            link = Link::Connected;
            backoff = options.firstBackoff;
            return;
        }
        nextAttempt = Clock::now() + backoff;
        backoff = std::min(backoff * 2, options.maxBackoff);
    }

    // The card left the reader: volatile state goes with it.
    void disconnect(Link next) {
        vpcd.reset();
        session.token().powerOff();
        link = next;
        nextAttempt = Clock::now() + backoff;
    }

    bool sendFrame(ByteView payload) {
        Bytes frame;
        putU16(frame, static_cast<std::uint16_t>(payload.size()));
        frame.insert(frame.end(), payload.begin(), payload.end());
        return sendAll(vpcd.get(), frame);
    }

    void serveVpcd() {
        std::uint8_t header[2];
        if (!receiveExactly(vpcd.get(), header, sizeof header)) return disconnect(Link::Waiting);
        Bytes payload(readU16(header, 0));
        if (!receiveExactly(vpcd.get(), payload.data(), payload.size())) {
            return disconnect(Link::Waiting);
        }
        if (payload.size() == 1) {
            switch (payload[0]) {
                case kPowerOff:
                    session.token().powerOff();
                    break;
                case kPowerOn:
                    break;
                case kReset:
                    session.token().reset();
                    break;
                case kGetAtr:
                    if (!sendFrame(session.token().atr())) disconnect(Link::Waiting);
                    break;
                default:
                    break;
            }
            return;
        }
        if (payload.empty()) return;
        const CardSession::Outcome outcome = session.exchange(payload);
        if (outcome.dropped) return disconnect(Link::Pulled);
        if (!sendFrame(outcome.reply)) disconnect(Link::Waiting);
    }

    std::string handleRequest(std::string_view line) {
        try {
            const ControlRequest request = parseControlRequest(line);
            if (std::holds_alternative<control::Reinsert>(request)) {
                if (link == Link::Pulled) {
                    link = Link::Waiting;
                    backoff = options.firstBackoff;
                    nextAttempt = Clock::now();
                }
            } else {
                session.apply(request);
            }
            return "ok\n";
        } catch (const ControlSyntaxError& e) {
            return std::string("error: ") + e.what() + "\n";
        }
    }

    // False when the client is gone.
    bool serveClient(ControlClient& client) {
        char chunk[1024];
        const ssize_t n = ::recv(client.fd.get(), chunk, sizeof chunk, 0);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        if (n == 0) return false;
        client.buffer.append(chunk, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = client.buffer.find('\n')) != std::string::npos) {
            const std::string answer =
                handleRequest(std::string_view(client.buffer).substr(0, newline));
            client.buffer.erase(0, newline + 1);
            if (!sendAll(client.fd.get(),
                         ByteView(reinterpret_cast<const std::uint8_t*>(answer.data()),
                                  answer.size()))) {
                return false;
            }
        }
        if (client.buffer.size() > kMaxControlLine) {
            const std::string_view answer = "error: request line too long\n";
            sendAll(client.fd.get(),
                    ByteView(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size()));
            return false;
        }
        return true;
    }

    void acceptClients() {
        for (;;) {
            UniqueFd fd(::accept4(control.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!fd) return;
            clients.push_back(ControlClient{std::move(fd), {}});
        }
    }

    void run() {
        for (;;) {
            if (link == Link::Waiting && Clock::now() >= nextAttempt) tryConnect();

            std::vector<pollfd> fds;
            fds.push_back({stopEvent.get(), POLLIN, 0});
            const bool watchVpcd = link == Link::Connected;
            if (watchVpcd) fds.push_back({vpcd.get(), POLLIN, 0});
            if (control) fds.push_back({control.get(), POLLIN, 0});
            const std::size_t firstClient = fds.size();
            for (const ControlClient& client : clients) fds.push_back({client.fd.get(), POLLIN, 0});

            int timeout = -1;
            if (link == Link::Waiting) {
                const auto wait =
                    std::chrono::ceil<std::chrono::milliseconds>(nextAttempt - Clock::now());
                timeout = static_cast<int>(std::max<std::int64_t>(0, wait.count()));
            }
            if (::poll(fds.data(), fds.size(), timeout) < 0) {
                if (errno == EINTR) continue;
                throwErrno("poll");
            }
            if (fds[0].revents) return;

            std::size_t next = 1;
            if (watchVpcd && fds[next++].revents) serveVpcd();
            if (control && fds[next++].revents) acceptClients();
            auto client = clients.begin();
            for (std::size_t i = firstClient; i < fds.size(); ++i) {
                const bool alive = !fds[i].revents || serveClient(*client);
                client = alive ? std::next(client) : clients.erase(client);
            }
        }
    }
};

Server::Server(CardSession& session, ServerOptions options)
    : impl_(std::make_unique<Impl>(session, std::move(options))) {}

Server::~Server() = default;

void Server::run() {
    impl_->run();
}

void Server::requestStop() noexcept {
    const std::uint64_t one = 1;
    // Nothing to do on failure: the counter is already non-zero then.
    [[maybe_unused]] const ssize_t n = ::write(impl_->stopEvent.get(), &one, sizeof one);
}

}  // namespace vtoken
