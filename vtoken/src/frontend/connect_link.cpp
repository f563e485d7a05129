#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include "socket_io.h"
#include "vtoken/link.h"
#include "vtoken/unique_fd.h"

namespace vtoken {

namespace {

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
        return fd;
    }
    return {};
}

class ConnectLink : public Link {
  public:
    ConnectLink(std::string host, std::uint16_t port, Backoff backoff)
        : host_(std::move(host)), port_(port), backoff_(backoff), delay_(backoff.first) {}

    void open() override {
        state_ = State::Waiting;
        nextAttempt_ = LinkClock::now();
    }
    int descriptor() const override { return state_ == State::Connected ? fd_.get() : -1; }
    std::optional<LinkClock::time_point> deadline() const override {
        if (state_ != State::Waiting) return std::nullopt;
        return nextAttempt_;
    }

    LinkEvent service() override {
        if (state_ == State::Waiting) {
            if (LinkClock::now() < nextAttempt_) return {};
            fd_ = connectTcp(host_, port_);
            if (!fd_) {
                retryLater();
                return {};
            }
            state_ = State::Connected;
            delay_ = backoff_.first;
            return {LinkEvent::Kind::HostArrived};
        }
        if (state_ != State::Connected) return {};
        io::ReadResult read = io::readSomeTcp(fd_.get());
        switch (read.kind) {
            case io::ReadResult::Kind::Data:
                return {LinkEvent::Kind::Data, std::move(read.data)};
            case io::ReadResult::Kind::Nothing:
                return {};
            case io::ReadResult::Kind::Closed:
                break;
        }
        hostGone();
        return {LinkEvent::Kind::HostLeft};
    }

    bool send(ByteView bytes) override {
        if (state_ != State::Connected) return false;
        if (io::sendAll(fd_.get(), bytes)) return true;
        hostGone();
        return false;
    }

    void dropHost() override {
        if (state_ == State::Connected) hostGone();
    }

    void pull() override {
        fd_.reset();
        state_ = State::Pulled;
    }
    void reinsert() override {
        if (state_ != State::Pulled) return;
        delay_ = backoff_.first;
        open();
    }
    bool hostLossPowersOff() const override { return true; }
    std::string describe() const override {
        return "connect " + host_ + ":" + std::to_string(port_);
    }

  private:
    enum class State { Closed, Waiting, Connected, Pulled };

    void retryLater() {
        nextAttempt_ = LinkClock::now() + delay_;
        delay_ = std::min(delay_ * 2, backoff_.max);
    }
    void hostGone() {
        fd_.reset();
        state_ = State::Waiting;
        retryLater();
    }

    std::string host_;
    std::uint16_t port_;
    Backoff backoff_;
    std::chrono::milliseconds delay_;
    State state_ = State::Closed;
    UniqueFd fd_;
    LinkClock::time_point nextAttempt_{};
};

}  // namespace

std::unique_ptr<Link> makeConnectLink(std::string host, std::uint16_t port, Backoff backoff) {
    return std::make_unique<ConnectLink>(std::move(host), port, backoff);
}

}  // namespace vtoken
