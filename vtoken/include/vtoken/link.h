#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "vtoken/bytes.h"

namespace vtoken {

using LinkClock = std::chrono::steady_clock;

class Link;

// What servicing a link brought.
struct LinkEvent {
    enum class Kind {
        Nothing,      // nothing for the framer (a failed attempt, a spurious wake-up)
        HostArrived,  // a new connection: the framer starts afresh
        Data,         // bytes from the host
        HostLeft,     // the connection ended
        NewHost,      // a host connected on a link of its own (`host`), beside the others
    };
    Kind kind = Kind::Nothing;
    Bytes data = {};
    // NewHost: the host's own connection. The server gives it a framer of its own, serves it
    // like any front-end and forgets it once it has no descriptor left (the host went, or the
    // card was pulled).
    std::unique_ptr<Link> host = {};
};

// The byte stream between the host and the card, and what "pulling the card" means for it.
// A link is driven by the server's poll loop: it names a descriptor to wait on (and, when it
// has to retry something, a deadline) and is serviced when either comes.
class Link {
  public:
    virtual ~Link() = default;

    // Opens the link's endpoint (listening socket, pseudo-terminal) or starts connecting.
    // Throws std::system_error when the endpoint cannot be had.
    virtual void open() = 0;
    // The descriptor to wait for readability on, or -1 when there is none right now.
    virtual int descriptor() const = 0;
    // When service() is due although the descriptor stays quiet.
    virtual std::optional<LinkClock::time_point> deadline() const { return std::nullopt; }
    virtual LinkEvent service() = 0;
    // Sends bytes to the host; false (and the connection is closed) when the host is gone.
    virtual bool send(ByteView bytes) = 0;
    // Ends the current host's connection (it spoke another protocol); the next may come.
    virtual void dropHost() = 0;

    // The card leaves: the connection ends and the host cannot reach the card again until
    // reinsert() (the listening socket or the pseudo-terminal goes away too).
    virtual void pull() = 0;
    virtual void reinsert() = 0;

    // Whether a host that goes away takes the card's power with it (a reader that disappears),
    // or the card stays powered for the next host (a device that another program opens).
    virtual bool hostLossPowersOff() const = 0;

    // For messages: "connect 127.0.0.1:35963", "pty /tmp/token", ...
    virtual std::string describe() const = 0;
    // The TCP port a listening link took (after open()), for callers that asked for any port.
    virtual std::optional<std::uint16_t> listeningPort() const { return std::nullopt; }
};

struct Backoff {
    std::chrono::milliseconds first{100};
    std::chrono::milliseconds max{800};
};

// Connects to a host that listens (vpcd): retries with a doubling back-off while the host is
// not there, and again after it went away. Losing the host powers the card off (the reader is
// gone).
std::unique_ptr<Link> makeConnectLink(std::string host, std::uint16_t port, Backoff backoff = {});

// Listens on a TCP address (port 0: any free port; the one taken stays for reinsertion) for any
// number of hosts at once, each on a connection of its own (NewHost): several programs may use
// the card at the same time, as they may a card in a reader. The card stays powered when a host
// leaves. Pulling closes the listening socket and every connection, so a host's connect is
// refused until reinsert.
std::unique_ptr<Link> makeListenLink(std::string host, std::uint16_t port);

// A pseudo-terminal in raw mode whose device the path `link` points to (a symbolic link
// replaced when it exists): the host opens that path. The card stays powered while hosts come
// and go; pulling closes the pseudo-terminal and removes the path, reinsertion makes a new one.
std::unique_ptr<Link> makePtyLink(std::filesystem::path link);

}  // namespace vtoken
