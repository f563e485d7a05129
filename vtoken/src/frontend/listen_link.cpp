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
        if (::listen(fd.get(), 4) != 0) io::throwErrno("cannot listen on " + describe());
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.ss_family == AF_INET6
                          ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                          : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        listener_ = std::move(fd);
        pulled_ = false;
    }

    // One host at a time: while one is connected, others wait in the backlog.
    int descriptor() const override {
        if (host_fd_) return host_fd_.get();
        return listener_ ? listener_.get() : -1;
    }

    LinkEvent service() override {
        if (!host_fd_) {
            if (!listener_) return {};
            host_fd_ = UniqueFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!host_fd_) return {};
            const int one = 1;
            ::setsockopt(host_fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return {LinkEvent::Kind::HostArrived};
        }
        io::ReadResult read = io::readSomeTcp(host_fd_.get());
        switch (read.kind) {
            case io::ReadResult::Kind::Data:
                return {LinkEvent::Kind::Data, std::move(read.data)};
            case io::ReadResult::Kind::Nothing:
                return {};
            case io::ReadResult::Kind::Closed:
                break;
        }
        host_fd_.reset();
        return {LinkEvent::Kind::HostLeft};
    }

    bool send(ByteView bytes) override {
        if (!host_fd_) return false;
        if (io::sendAll(host_fd_.get(), bytes)) return true;
        host_fd_.reset();
        return false;
    }

    void dropHost() override { host_fd_.reset(); }

    // The listener goes first: a host that sees its connection end must find no card.
    void pull() override {
        listener_.reset();
        host_fd_.reset();
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
    UniqueFd host_fd_;
    bool pulled_ = false;
};

}  // namespace

std::unique_ptr<Link> makeListenLink(std::string host, std::uint16_t port) {
    return std::make_unique<ListenLink>(std::move(host), port);
}

}  // namespace vtoken
