#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "vtoken/card_session.h"
#include "vtoken/framer.h"
#include "vtoken/link.h"

namespace vtoken {

// One way the card is reached: a link crossed with the protocol spoken over it.
struct FrontEnd {
    std::unique_ptr<Link> link;
    std::unique_ptr<Framer> framer;
};

struct ServerOptions {
    std::optional<std::filesystem::path> controlSocket;
};

// Serves the card through its front-ends and answers the control channel, on one thread with
// poll(). A drop fault pulls the card from every front-end until "reinsert".
class Server {
  public:
    // Opens every link and the control socket; throws std::system_error when one cannot be had.
    Server(CardSession& session, std::vector<FrontEnd> frontEnds, ServerOptions options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Runs until requestStop().
    void run();
    // Safe from a signal handler and from other threads.
    void requestStop() noexcept;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vtoken
