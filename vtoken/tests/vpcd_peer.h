#pragma once

// The test's side of the vpcd link: it listens like vpcd and speaks its framing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "vtoken/bytes.h"
#include "vtoken/unique_fd.h"

namespace vtoken::testing {

inline bool readable(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(timeout.count())) == 1;
}

class VpcdPeer {
  public:
    // Listens on 127.0.0.1; port 0 picks a free one.
    explicit VpcdPeer(std::uint16_t port = 0) {
        listener_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int one = 1;
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << std::strerror(errno);
        EXPECT_EQ(::listen(listener_.get(), 4), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }

    std::uint16_t port() const { return port_; }

    // Waits for the card to connect.
    bool accept(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        if (!readable(listener_.get(), timeout)) return false;
        card_ = UniqueFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return bool(card_);
    }

    void send(const Bytes& payload) {
        Bytes frame;
        putU16(frame, static_cast<std::uint16_t>(payload.size()));
        frame.insert(frame.end(), payload.begin(), payload.end());
        ASSERT_EQ(::send(card_.get(), frame.data(), frame.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(frame.size()));
    }

    // The next frame, or nullopt when the card closed the link (or stayed silent).
    std::optional<Bytes> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::uint8_t header[2];
        if (!receiveExactly(header, 2, timeout)) return std::nullopt;
        Bytes payload(readU16(header, 0));
        if (!receiveExactly(payload.data(), payload.size(), timeout)) return std::nullopt;
        return payload;
    }

    std::optional<Bytes> exchange(const Bytes& apdu) {
        send(apdu);
        return receive();
    }

    void closeCard() { card_.reset(); }

  private:
    bool receiveExactly(std::uint8_t* out, std::size_t length, std::chrono::milliseconds timeout) {
        std::size_t done = 0;
        while (done < length) {
            if (!readable(card_.get(), timeout)) return false;
            const ssize_t n = ::recv(card_.get(), out + done, length - done, 0);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    UniqueFd listener_;
    UniqueFd card_;
    std::uint16_t port_ = 0;
};

// A line-oriented client of the control socket.
class ControlClient {
  public:
    explicit ControlClient(const std::string& path) {
        fd_ = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ADD_FAILURE() << "control socket " << path << " never accepted";
    }

    std::string request(const std::string& line) {
        const std::string text = line + "\n";
        ::send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL);
        std::string answer;
        char c;
        while (readable(fd_.get(), std::chrono::seconds(5)) && ::recv(fd_.get(), &c, 1, 0) == 1) {
            if (c == '\n') return answer;
            answer.push_back(c);
        }
        return "(no answer)";
    }

  private:
    UniqueFd fd_;
};

}  // namespace vtoken::testing
