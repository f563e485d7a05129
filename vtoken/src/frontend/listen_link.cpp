#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "socket_io.h"
#include "vtoken/link.h"
#include "vtoken/unique_fd.h"

namespace vtoken {

namespace {

// One host's connection to a listening link. It lives until the host goes or the card is
// pulled; then it has no descriptor and the server forgets it.
class HostConnection : public Link {
  public:
    HostConnection(UniqueFd fd, std::string from) : fd_(std::move(fd)), from_(std::move(from)) {}

    void open() override {}
    int descriptor() const override { return fd_ ? fd_.get() : -1; }
    LinkEvent service() override {
        if (!fd_) return {};
        io::ReadResult read = io::readSomeTcp(fd_.get());
        switch (read.kind) {
            case io::ReadResult::Kind::Data:
                return {LinkEvent::Kind::Data, std::move(read.data)};
            case io::ReadResult::Kind::Nothing:
                return {};
            case io::ReadResult::Kind::Closed:
                break;
        }
        fd_.reset();
        return {LinkEvent::Kind::HostLeft};
    }
    bool send(ByteView bytes) override {
        if (!fd_) return false;
        if (io::sendAll(fd_.get(), bytes)) return true;
        fd_.reset();
        return false;
    }
    void dropHost() override { fd_.reset(); }
    void pull() override { fd_.reset(); }
    void reinsert() override {}  // a pulled card's connections are gone for good
    bool hostLossPowersOff() const override { return false; }
    std::string describe() const override { return "host of " + from_; }

  private:
    UniqueFd fd_;
    std::string from_;
};

class ListenLink : public Link {
  public:
    ListenLink(std::string host, std::uint16_t port) : host_(std::move(host)), port_(port) {}

    void open() override {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const int error =
            ::getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &found);
        if (error != 0) {
            throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                    describe() + ": " + ::gai_strerror(error));
        }
        std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, ::freeaddrinfo);
        UniqueFd fd(::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                             found->ai_protocol));
        if (!fd) io::throwErrno(describe());
        const int one = 1;
        // Reinsertion binds the same port again while old connections linger in TIME_WAIT.
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
            io::throwErrno("cannot bind " + describe());
        }
        if (::listen(fd.get(), 16) != 0) io::throwErrno("cannot listen on " + describe());
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.ss_family == AF_INET6
                          ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        listener_ = std::move(fd);
        pulled_ = false;
    }

    int descriptor() const override { return listener_ ? listener_.get() : -1; }

    // Every host gets a connection of its own.
    LinkEvent service() override {
        if (!listener_) return {};
        UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) return {};
        const int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        LinkEvent event{LinkEvent::Kind::NewHost};
        event.host = std::make_unique<HostConnection>(std::move(fd), describe());
        return event;
    }

    bool send(ByteView) override { return false; }  // hosts are served on their connections
    void dropHost() override {}

    // The server pulls the hosts' connections after this: a host that sees its connection end
    // must find no card.
    void pull() override {
        listener_.reset();
        pulled_ = true;
    }
    void reinsert() override {
        if (pulled_) open();
    }
    bool hostLossPowersOff() const override { return false; }
    std::string describe() const override {
        return "listen " + host_ + ":" + std::to_string(port_);
    }
    std::optional<std::uint16_t> listeningPort() const override { return port_; }

  private:
    std::string host_;
    std::uint16_t port_;
    UniqueFd listener_;
    bool pulled_ = false;
};

}  // namespace

std::unique_ptr<Link> makeListenLink(std::string host, std::uint16_t port) {
    return std::make_unique<ListenLink>(std::move(host), port);
}

}  // namespace vtoken
