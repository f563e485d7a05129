#include "vtoken/server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <system_error>
#include <utility>

#include "socket_io.h"
#include "vtoken/status_word.h"
#include "vtoken/unique_fd.h"

namespace vtoken {

namespace {

// Room for a "reply" request carrying the longest reply of any transport (51,200 bytes) in hex.
constexpr std::size_t kMaxControlLine = 128 * 1024;

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
    if (!fd) io::throwErrno("control socket");
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        io::throwErrno("cannot bind control socket " + text);
    }
    if (::listen(fd.get(), 8) != 0) io::throwErrno("cannot listen on control socket " + text);
    return fd;
}

ByteView textBytes(std::string_view text) {
    return ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// The card as the framers see it: the session behind trace and faults. Remembers a pull.
class SessionPort : public CardPort {
  public:
    explicit SessionPort(CardSession& session) : session_(session) {}

    std::optional<Bytes> command(ByteView apdu) override {
        try {
            CardSession::Outcome outcome = session_.exchange(apdu);
            if (outcome.dropped) {
                pulled_ = true;
                return std::nullopt;
            }
            return std::move(outcome.reply);
        } catch (...) {
            // The token answers its own failures; this is the trace or memory. The card
            // answers and goes on.
            Bytes reply;
            putU16(reply, sw::kNoPreciseDiagnosis);
            return reply;
        }
    }
    void powerOn() override {}
    void powerOff() override { session_.token().powerOff(); }
    void reset() override { session_.token().reset(); }
    Bytes atr() override { return session_.token().atr(); }

    bool takePull() { return std::exchange(pulled_, false); }

  private:
    CardSession& session_;
    bool pulled_ = false;
};

}  // namespace

struct Server::Impl {
    struct ControlClient {
        UniqueFd fd;
        std::string buffer;
    };

    CardSession& session;
    SessionPort port;
    std::vector<FrontEnd> frontEnds;
    // Hosts that a front-end gave connections of their own (a listening link's hosts).
    std::list<FrontEnd> hosts;
    ServerOptions options;
    UniqueFd stopEvent;
    UniqueFd control;
    std::list<ControlClient> clients;
    bool pulled = false;

    Impl(CardSession& s, std::vector<FrontEnd> f, ServerOptions o)
        : session(s), port(s), frontEnds(std::move(f)), options(std::move(o)) {
        stopEvent = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!stopEvent) io::throwErrno("eventfd");
        for (FrontEnd& frontEnd : frontEnds) frontEnd.link->open();
        if (options.controlSocket) control = listenUnix(*options.controlSocket);
    }

    ~Impl() {
        if (options.controlSocket && control) ::unlink(options.controlSocket->c_str());
    }

    // The card left the reader: volatile state goes with it, and no host reaches it. The
    // front-end whose host pulled it goes last, so that by the time that host sees its
    // connection end the card is gone from every other front-end too.
    void pullCard(FrontEnd& trigger) {
        pulled = true;
        for (FrontEnd& frontEnd : frontEnds) {
            if (&frontEnd != &trigger) frontEnd.link->pull();
        }
        for (FrontEnd& host : hosts) {
            if (&host != &trigger) host.link->pull();
        }
        trigger.link->pull();
        for (FrontEnd& frontEnd : frontEnds) frontEnd.framer->restart();
        session.token().powerOff();
    }

    void reinsertCard() {
        if (!pulled) return;
        pulled = false;
        for (FrontEnd& frontEnd : frontEnds) {
            frontEnd.framer->restart();
            frontEnd.link->reinsert();
        }
    }

    void hostLeft(FrontEnd& frontEnd) {
        frontEnd.framer->restart();
        if (frontEnd.link->hostLossPowersOff()) session.token().powerOff();
    }

    void serve(FrontEnd& frontEnd) {
        LinkEvent event = frontEnd.link->service();
        switch (event.kind) {
            case LinkEvent::Kind::Nothing:
                return;
            case LinkEvent::Kind::HostArrived:
                frontEnd.framer->restart();
                return;
            case LinkEvent::Kind::HostLeft:
                return hostLeft(frontEnd);
            case LinkEvent::Kind::NewHost:
                if (event.host)
                    hosts.push_back(FrontEnd{std::move(event.host), frontEnd.framer->another()});
                return;
            case LinkEvent::Kind::Data:
                break;
        }
        Bytes out;
        try {
            out = frontEnd.framer->receive(event.data, port);
        } catch (const FramingError&) {
            // Not this protocol: end the connection, as a reader would on garbage.
            frontEnd.link->dropHost();
            return hostLeft(frontEnd);
        }
        if (port.takePull()) return pullCard(frontEnd);
        if (!out.empty() && !frontEnd.link->send(out)) hostLeft(frontEnd);
    }

    std::string handleRequest(std::string_view line) {
        try {
            const ControlRequest request = parseControlRequest(line);
            if (std::holds_alternative<control::Reinsert>(request)) {
                reinsertCard();
            } else {
                session.apply(request);
            }
            return "ok\n";
        } catch (const ControlSyntaxError& e) {
            return std::string("error: ") + e.what() + "\n";
        } catch (const std::exception& e) {
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
            if (!io::sendAll(client.fd.get(), textBytes(answer))) return false;
        }
        if (client.buffer.size() > kMaxControlLine) {
            io::sendAll(client.fd.get(), textBytes("error: request line too long\n"));
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
            std::vector<pollfd> fds;
            fds.push_back({stopEvent.get(), POLLIN, 0});
            // Front-end i (the configured ones, then the hosts) is watched at fds[watched[i]]
            // when it has a descriptor.
            std::vector<FrontEnd*> served;
            for (FrontEnd& frontEnd : frontEnds) served.push_back(&frontEnd);
            for (FrontEnd& host : hosts) served.push_back(&host);
            std::vector<std::optional<std::size_t>> watched;
            std::optional<LinkClock::time_point> wake;
            for (const FrontEnd* frontEnd : served) {
                const int fd = frontEnd->link->descriptor();
                watched.push_back(fd >= 0 ? std::optional(fds.size()) : std::nullopt);
                if (fd >= 0) fds.push_back({fd, POLLIN, 0});
                if (auto due = frontEnd->link->deadline())
                    wake = wake ? std::min(*wake, *due) : *due;
            }
            const std::size_t controlAt = fds.size();
            if (control) fds.push_back({control.get(), POLLIN, 0});
            const std::size_t firstClient = fds.size();
            for (const ControlClient& client : clients) fds.push_back({client.fd.get(), POLLIN, 0});

            int timeout = -1;
            if (wake) {
                const auto wait =
                    std::chrono::ceil<std::chrono::milliseconds>(*wake - LinkClock::now());
                timeout = static_cast<int>(std::max<std::int64_t>(0, wait.count()));
            }
            if (::poll(fds.data(), fds.size(), timeout) < 0) {
                if (errno == EINTR) continue;
                io::throwErrno("poll");
            }
            if (fds[0].revents) return;

            const auto now = LinkClock::now();
            for (std::size_t i = 0; i < served.size(); ++i) {
                const bool ready = watched[i] && fds[*watched[i]].revents;
                const auto due = served[i]->link->deadline();
                if (ready || (due && *due <= now)) serve(*served[i]);
            }
            hosts.remove_if([](const FrontEnd& host) { return host.link->descriptor() < 0; });
            if (control && fds[controlAt].revents) acceptClients();
            auto client = clients.begin();
            for (std::size_t i = firstClient; i < fds.size(); ++i) {
                const bool alive = !fds[i].revents || serveClient(*client);
                client = alive ? std::next(client) : clients.erase(client);
            }
        }
    }
};

Server::Server(CardSession& session, std::vector<FrontEnd> frontEnds, ServerOptions options)
    : impl_(std::make_unique<Impl>(session, std::move(frontEnds), std::move(options))) {}

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
